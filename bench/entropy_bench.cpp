// Speed of the innermost loops: bits written and read, symbols coded and
// decoded with both coder precisions.
#include <benchmark/benchmark.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "arithmeticcodec.h"
#include "bitstream.h"
#include "symbolstats.h"

namespace {

constexpr unsigned bitsPerRun = 1u << 22;

// Discards what the writer emits, so the figures are those of the bit
// operations and not of a growing string.
class NullBuf : public std::streambuf {
protected:
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

// Skewed symbols, as move-to-front output is: mostly 0 and 1.
std::vector<unsigned> mtfLikeSymbols(std::size_t n, unsigned alphabet) {
    std::mt19937 rng(42);
    std::geometric_distribution<unsigned> g(0.45);
    std::vector<unsigned> s(n);
    for (unsigned& v : s) v = std::min(g(rng), alphabet - 1);
    return s;
}

void BM_PutBit(benchmark::State& state) {
    std::mt19937 rng(1);
    std::vector<bool> bits(4096);
    for (std::size_t i = 0; i < bits.size(); ++i) bits[i] = rng() & 1;
    for (auto _ : state) {
        NullBuf sink;
        std::ostream out(&sink);
        StreamOutBitStream w(out, bitStreamBufferWords);
        w.reset();
        for (unsigned i = 0; i < bitsPerRun; ++i) w.putBit(bits[i & 4095]);
        w.flush();
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * bitsPerRun);
    state.SetBytesProcessed(state.iterations() * bitsPerRun / 8);
}
BENCHMARK(BM_PutBit);

void BM_PutBits(benchmark::State& state) {
    const unsigned width = static_cast<unsigned>(state.range(0));
    const unsigned fields = bitsPerRun / width;
    for (auto _ : state) {
        NullBuf sink;
        std::ostream out(&sink);
        StreamOutBitStream w(out, bitStreamBufferWords);
        w.reset();
        for (unsigned i = 0; i < fields; ++i) w.putBits(i * 0x9E3779B9u, width);
        w.flush();
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * fields);
    state.SetBytesProcessed(state.iterations() * fields * width / 8);
}
BENCHMARK(BM_PutBits)->Arg(5)->Arg(13)->Arg(32);

std::string randomPayload(std::size_t bytes) {
    std::mt19937 rng(2);
    std::string s(bytes, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

void BM_GetBit(benchmark::State& state) {
    const std::string payload = randomPayload(bitsPerRun / 8);
    for (auto _ : state) {
        std::istringstream in(payload);
        StreamInBitStream r(in, bitStreamBufferWords);
        unsigned sum = 0;
        for (unsigned i = 0; i < bitsPerRun; ++i) sum += r.getBit();
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * bitsPerRun);
    state.SetBytesProcessed(state.iterations() * bitsPerRun / 8);
}
BENCHMARK(BM_GetBit);

void BM_GetBits(benchmark::State& state) {
    const unsigned width = static_cast<unsigned>(state.range(0));
    const unsigned fields = bitsPerRun / width;
    const std::string payload = randomPayload(bitsPerRun / 8);
    for (auto _ : state) {
        std::istringstream in(payload);
        StreamInBitStream r(in, bitStreamBufferWords);
        unsigned sum = 0;
        for (unsigned i = 0; i < fields; ++i) sum += r.getBits(width);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * fields);
    state.SetBytesProcessed(state.iterations() * fields * width / 8);
}
BENCHMARK(BM_GetBits)->Arg(5)->Arg(13)->Arg(32);

constexpr std::size_t symbolsPerRun = 1u << 20;

// 16-bit coder with the adaptive model of 256 symbols, limit 16384.
std::string encodeAdaptive(const std::vector<unsigned>& symbols) {
    std::ostringstream out;
    StreamOutBitStream w(out, bitStreamBufferWords);
    w.reset();
    ArithmeticCoder<unsigned, unsigned, 16> c(w);
    AdaptiveSymbolStats<unsigned> m(256);
    for (unsigned s : symbols) {
        const SymbolRange r = m.getRangeThenUpdateAndLimit(s, 16384);
        c.encode(r.symbolLow, r.symbolHigh, r.symbolTotal);
    }
    c.flush();
    w.flush();
    return out.str();
}

void BM_EncodeAdaptive16(benchmark::State& state) {
    const auto symbols = mtfLikeSymbols(symbolsPerRun, 256);
    std::size_t size = 0;
    for (auto _ : state) size = encodeAdaptive(symbols).size();
    state.SetItemsProcessed(state.iterations() * symbols.size());
    state.SetBytesProcessed(state.iterations() * symbols.size());
    state.counters["bits/sym"] = 8.0 * size / symbols.size();
}
BENCHMARK(BM_EncodeAdaptive16);

void BM_DecodeAdaptive16(benchmark::State& state) {
    const auto symbols = mtfLikeSymbols(symbolsPerRun, 256);
    const std::string code = encodeAdaptive(symbols);
    for (auto _ : state) {
        std::istringstream in(code);
        StreamInBitStream r(in, bitStreamBufferWords);
        ArithmeticDecoder<unsigned, unsigned, 16> d(r);
        d.start();
        AdaptiveSymbolStats<unsigned> m(256);
        unsigned sum = 0;
        for (std::size_t i = 0; i < symbols.size(); ++i) {
            const unsigned s = m.getSymbol(d.decode(m.getMax()));
            const SymbolRange rg = m.getRangeThenUpdateAndLimit(s, 16384);
            d.decodeExtract(rg.symbolLow, rg.symbolHigh, rg.symbolTotal);
            sum += s;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * symbols.size());
    state.SetBytesProcessed(state.iterations() * symbols.size());
}
BENCHMARK(BM_DecodeAdaptive16);

// 18-bit coder with a static cumulative table of 256 symbols, total 0xFFFF.
std::vector<unsigned> staticTable(const std::vector<unsigned>& symbols) {
    std::vector<unsigned long long> freq(256, 0);
    for (unsigned s : symbols) ++freq[s];
    std::vector<unsigned> cum(257, 0);
    // Scale to a total near 0xFFFF, every count at least 1.
    const unsigned budget = 0xFFFF - 256;
    for (unsigned i = 0; i < 256; ++i)
        cum[i + 1] = cum[i] + 1 + static_cast<unsigned>(freq[i] * budget / symbols.size());
    return cum;
}

std::string encodeStatic(const std::vector<unsigned>& symbols, const std::vector<unsigned>& cum) {
    std::ostringstream out;
    StreamOutBitStream w(out, bitStreamBufferWords);
    w.reset();
    ArithmeticCoder<unsigned, unsigned long long, 18> c(w);
    const unsigned total = cum[256];
    for (unsigned s : symbols) c.encode(cum[s], cum[s + 1], total);
    c.flush();
    w.flush();
    return out.str();
}

void BM_EncodeStatic18(benchmark::State& state) {
    const auto symbols = mtfLikeSymbols(symbolsPerRun, 256);
    const auto cum = staticTable(symbols);
    std::size_t size = 0;
    for (auto _ : state) size = encodeStatic(symbols, cum).size();
    state.SetItemsProcessed(state.iterations() * symbols.size());
    state.SetBytesProcessed(state.iterations() * symbols.size());
    state.counters["bits/sym"] = 8.0 * size / symbols.size();
}
BENCHMARK(BM_EncodeStatic18);

void BM_DecodeStatic18(benchmark::State& state) {
    const auto symbols = mtfLikeSymbols(symbolsPerRun, 256);
    const auto cum = staticTable(symbols);
    const std::string code = encodeStatic(symbols, cum);
    const unsigned total = cum[256];
    for (auto _ : state) {
        std::istringstream in(code);
        StreamInBitStream r(in, bitStreamBufferWords);
        ArithmeticDecoder<unsigned, unsigned long long, 18> d(r);
        d.start();
        unsigned sum = 0;
        for (std::size_t i = 0; i < symbols.size(); ++i) {
            const unsigned v = d.decode(total);
            unsigned s = 0;
            while (cum[s + 1] <= v) ++s;  // skewed: usually one or two steps
            d.decodeExtract(cum[s], cum[s + 1], total);
            sum += s;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * symbols.size());
    state.SetBytesProcessed(state.iterations() * symbols.size());
}
BENCHMARK(BM_DecodeStatic18);

}  // namespace
