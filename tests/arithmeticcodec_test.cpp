// Arithmetic coder: known code bytes, and round trips with random models
// for both precisions in use.
#include "arithmeticcodec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace {

struct Sym {
    unsigned low, high, total;
};

// Codes the symbols with a fresh coder, flushes it, optionally puts `tail`
// bits after the code, and returns the bytes of the payload.
template <class Coder>
std::string encodeAll(const std::vector<Sym>& syms, const std::vector<bool>& tail = {}) {
    std::ostringstream out;
    StreamOutBitStream w(out, bitStreamBufferWords);
    w.reset();
    Coder c(w);
    for (const Sym& s : syms) c.encode(s.low, s.high, s.total);
    c.flush();
    for (bool b : tail) w.putBit(b);
    w.flush();
    return out.str();
}

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s.push_back(static_cast<char>(c));
    return s;
}

template <class R, class W, unsigned P>
struct Codec {
    using Coder = ArithmeticCoder<R, W, P>;
    using Decoder = ArithmeticDecoder<R, W, P>;
    static constexpr unsigned quarter = Coder::QUARTER;
};
using Codec16 = Codec<unsigned, unsigned, 16>;
using Codec18 = Codec<unsigned, unsigned long long, 18>;

template <class T>
class ArithmeticCodecTest : public testing::Test {};
using Codecs = testing::Types<Codec16, Codec18>;
TYPED_TEST_SUITE(ArithmeticCodecTest, Codecs);

TYPED_TEST(ArithmeticCodecTest, KnownBytes) {
    using C = typename TypeParam::Coder;
    EXPECT_EQ(encodeAll<C>({{0, 1, 2}}), bytes({0x04}));  // bits 0 0 1
    EXPECT_EQ(encodeAll<C>({{1, 2, 2}}), bytes({0x05}));  // bits 1 0 1
    EXPECT_EQ(encodeAll<C>({}), bytes({0x02}));           // bits 0 1
    EXPECT_EQ(encodeAll<C>({{0, 1, 1}, {0, 1, 1}}), bytes({0x02}));
}

TEST(ArithmeticCoder16, PendingBitsPaidAtFlush) {
    const std::vector<Sym> syms(5, Sym{1, 2, 3});
    // 0 then eight ones.
    EXPECT_EQ(encodeAll<Codec16::Coder>(syms), bytes({0xFE, 0x01}));
}

TYPED_TEST(ArithmeticCodecTest, DecodeOfTotalOneIsZero) {
    std::mt19937 rng(3);
    for (int round = 0; round < 20; ++round) {
        std::string junk;
        for (int i = 0; i < 64; ++i) junk.push_back(static_cast<char>(rng()));
        std::istringstream in(junk);
        StreamInBitStream r(in, 16);
        typename TypeParam::Decoder d(r);
        d.start();
        for (int i = 0; i < 50; ++i) {
            ASSERT_EQ(d.decode(1), 0u);
            d.decodeExtract(0, 1, 1);
            const unsigned total = 2 + rng() % 100;
            const unsigned v = d.decode(total);
            ASSERT_LT(v, total);
            d.decodeExtract(v, v + 1, total);
        }
    }
}

// A random model: `n` symbols with positive counts summing to `total`.
std::vector<unsigned> randomCumulative(std::mt19937& rng, unsigned total) {
    const unsigned n = 1 + rng() % std::min(total, 300u);
    std::vector<unsigned> cuts;
    // n - 1 distinct cut points in 1..total-1.
    std::vector<unsigned> pool;
    if (total <= 4096) {
        for (unsigned i = 1; i < total; ++i) pool.push_back(i);
        std::shuffle(pool.begin(), pool.end(), rng);
        pool.resize(n - 1);
    } else {
        while (pool.size() < n - 1) {
            const unsigned c = 1 + rng() % (total - 1);
            if (std::find(pool.begin(), pool.end(), c) == pool.end()) pool.push_back(c);
        }
    }
    std::sort(pool.begin(), pool.end());
    std::vector<unsigned> cum{0};
    cum.insert(cum.end(), pool.begin(), pool.end());
    cum.push_back(total);
    return cum;
}

// Random symbol sequences over random models, some biased to the narrowest
// or the middle symbols (long runs of settled and deferred bits), decode to
// the same symbols whatever bits follow the code.
TYPED_TEST(ArithmeticCodecTest, RandomModelsRoundTrip) {
    using C = typename TypeParam::Coder;
    using D = typename TypeParam::Decoder;
    const unsigned quarter = TypeParam::quarter;
    std::mt19937 rng(2024);
    for (int round = 0; round < 120; ++round) {
        const unsigned kind = round % 4;
        // Totals: tiny, up to 2^14, and the largest accepted (QUARTER).
        unsigned total = kind == 3 ? quarter : 1 + rng() % (round % 2 ? 16384 : 20);
        const std::vector<unsigned> cum = randomCumulative(rng, total);
        const unsigned n = static_cast<unsigned>(cum.size() - 1);
        std::vector<unsigned> symbols(1 + rng() % 3000);
        for (unsigned& s : symbols) {
            switch (kind) {
                case 0: s = rng() % n; break;
                case 1: s = n / 2; break;  // middle symbol: deferred bits pile up
                case 2: s = rng() % 8 ? n - 1 : 0; break;
                default: s = rng() % 2 ? rng() % n : 0; break;
            }
        }
        std::vector<Sym> syms;
        for (unsigned s : symbols) syms.push_back({cum[s], cum[s + 1], total});

        std::vector<bool> tail(rng() % 3 ? rng() % 80 : 0);
        for (std::size_t i = 0; i < tail.size(); ++i) tail[i] = rng() & 1;
        const std::string code = encodeAll<C>(syms, tail);

        std::istringstream in(code);
        StreamInBitStream r(in, bitStreamBufferWords);
        D d(r);
        d.start();
        for (std::size_t i = 0; i < symbols.size(); ++i) {
            const unsigned v = d.decode(total);
            ASSERT_LT(v, total);
            const unsigned s = static_cast<unsigned>(
                std::upper_bound(cum.begin(), cum.end(), v) - cum.begin() - 1);
            ASSERT_EQ(s, symbols[i]) << "round " << round << " symbol " << i;
            d.decodeExtract(cum[s], cum[s + 1], total);
        }
    }
}

// The textbook coder, one shift and one bit at a time, with the bits packed
// first-lowest: the coder that settles and holds bits in batches must give
// exactly its bytes.
template <class W, unsigned P>
std::string encodeOneBitAtATime(const std::vector<Sym>& syms) {
    const std::uint64_t top = (std::uint64_t(1) << P) - 1, half = std::uint64_t(1) << (P - 1), quarter = half / 2;
    std::uint64_t low = 0, high = top, pending = 0;
    std::vector<bool> bits;
    auto output = [&](bool b) {
        bits.push_back(b);
        for (; pending > 0; --pending) bits.push_back(!b);
    };
    for (const Sym& s : syms) {
        const W range = static_cast<W>(high - low) + 1;
        high = low + range * s.high / s.total - 1;
        low = low + range * s.low / s.total;
        for (;;) {
            if (high < half) {
                output(false);
            } else if (low >= half) {
                output(true);
                low -= half;
                high -= half;
            } else if (low >= quarter && high < 3 * quarter) {
                ++pending;
                low -= quarter;
                high -= quarter;
            } else {
                break;
            }
            low = 2 * low;
            high = 2 * high + 1;
        }
    }
    const bool b = (low & quarter) != 0;
    bits.push_back(b);
    for (std::uint64_t i = 0; i <= pending; ++i) bits.push_back(!b);
    std::string out((bits.size() + 7) / 8, '\0');
    for (std::size_t i = 0; i < bits.size(); ++i)
        if (bits[i]) out[i / 8] = static_cast<char>(out[i / 8] | 1 << (i % 8));
    return out;
}

// Random models, and runs of middle symbols whose deferred bits pile up past
// a word and past two.
TYPED_TEST(ArithmeticCodecTest, SameBytesAsOneBitAtATime) {
    using C = typename TypeParam::Coder;
    std::mt19937 rng(77);
    for (int round = 0; round < 60; ++round) {
        const unsigned total = round % 3 == 0 ? TypeParam::quarter : 3 + rng() % 5000;
        const std::vector<unsigned> cum = randomCumulative(rng, total);
        const unsigned n = static_cast<unsigned>(cum.size() - 1);
        std::vector<Sym> syms;
        for (int i = 0, count = 1 + static_cast<int>(rng() % 2000); i < count; ++i) {
            if (round % 2 && rng() % 200 == 0) {
                for (unsigned k = 0, run = 20 + rng() % 150; k < run; ++k) syms.push_back({1, 2, 3});
            }
            const unsigned s = rng() % n;
            syms.push_back({cum[s], cum[s + 1], total});
        }
        if (round % 4 == 1) syms.insert(syms.end(), 100, Sym{1, 2, 3});  // deferred bits up to the flush
        using W = std::conditional_t<std::is_same_v<TypeParam, Codec16>, unsigned, unsigned long long>;
        ASSERT_EQ(encodeAll<C>(syms), (encodeOneBitAtATime<W, TypeParam::Coder::TOP == 0xFFFF ? 16 : 18>(syms)))
            << "round " << round;
    }
}

// Every count of pending bits up to past a word, each followed by symbols
// that settle from none to all of the register's bits: the coder takes the
// pending bits with the settled ones in one batch up to some count and one
// at a time beyond it.
TYPED_TEST(ArithmeticCodecTest, EveryPendingCountBeforeEverySettleWidth) {
    using C = typename TypeParam::Coder;
    using W = std::conditional_t<std::is_same_v<TypeParam, Codec16>, unsigned, unsigned long long>;
    constexpr unsigned P = TypeParam::Coder::TOP == 0xFFFF ? 16 : 18;
    const unsigned total = TypeParam::quarter;
    for (unsigned run = 0; run <= 40; ++run) {
        std::vector<Sym> syms{{0, 1, 2}};
        for (unsigned width = 0; width <= P - 2; ++width) {
            // The middle half of a full register: one pending bit each.
            syms.insert(syms.end(), run, Sym{1, 3, 4});
            // A symbol of about 2^-width of the total settles about width bits.
            const unsigned size = std::max(1u, total >> width);
            syms.push_back({(width * 7919u) % (total - size + 1), 0, total});
            syms.back().high = syms.back().low + size;
        }
        ASSERT_EQ(encodeAll<C>(syms), (encodeOneBitAtATime<W, P>(syms))) << "run " << run;
    }
}

// Models that change per symbol (as the adaptive ones do), with totals up to
// QUARTER: encoder and decoder must follow the same intervals.
TYPED_TEST(ArithmeticCodecTest, ChangingTotalsRoundTrip) {
    using C = typename TypeParam::Coder;
    using D = typename TypeParam::Decoder;
    std::mt19937 rng(99);
    for (int round = 0; round < 20; ++round) {
        std::vector<Sym> syms(2000);
        for (Sym& s : syms) {
            s.total = 1 + rng() % TypeParam::quarter;
            s.low = rng() % s.total;
            s.high = s.low + 1 + rng() % (s.total - s.low);
        }
        const std::string code = encodeAll<C>(syms);
        std::istringstream in(code);
        StreamInBitStream r(in, bitStreamBufferWords);
        D d(r);
        d.start();
        for (std::size_t i = 0; i < syms.size(); ++i) {
            const unsigned v = d.decode(syms[i].total);
            ASSERT_GE(v, syms[i].low) << "round " << round << " symbol " << i;
            ASSERT_LT(v, syms[i].high) << "round " << round << " symbol " << i;
            d.decodeExtract(syms[i].low, syms[i].high, syms[i].total);
        }
    }
}

// A damaged code stream still yields counts inside the total, so a decoder
// that follows the protocol never trips a check.
TYPED_TEST(ArithmeticCodecTest, GarbageStreamGivesValidCounts) {
    std::mt19937 rng(5);
    for (int round = 0; round < 20; ++round) {
        std::string junk(1000, '\0');
        for (char& c : junk) c = static_cast<char>(rng());
        std::istringstream in(junk);
        StreamInBitStream r(in, 64);
        typename TypeParam::Decoder d(r);
        d.start();
        for (int i = 0; i < 5000; ++i) {
            const unsigned total = 1 + rng() % std::min(TypeParam::quarter, maxModelTotal);
            const unsigned v = d.decode(total);
            ASSERT_LT(v, total);
            d.decodeExtract(v, v + 1, total);
            ASSERT_LE(d.lowValue(), d.codeValue());
            ASSERT_LE(d.codeValue(), d.highValue());
        }
    }
}

// The decoder's renormalisation takes settled and straddling bits in one
// shift; the textbook decoder moves one bit at a time. On any stream (code or
// junk), with symbols from the widest down to a single count of QUARTER,
// both must hold the same low, high and value after every symbol.
TYPED_TEST(ArithmeticCodecTest, DecoderStateMatchesOneBitAtATime) {
    constexpr unsigned P = TypeParam::Coder::TOP == 0xFFFF ? 16 : 18;
    constexpr std::uint64_t top = (std::uint64_t(1) << P) - 1, half = std::uint64_t(1) << (P - 1),
                            quarter = half / 2;
    std::mt19937 rng(31);
    for (int round = 0; round < 12; ++round) {
        std::string junk(2000, '\0');
        for (char& c : junk) c = static_cast<char>(round % 3 == 0 ? 0 : round % 3 == 1 ? -1 : static_cast<int>(rng()));
        std::size_t bitPos = 0;
        auto nextBit = [&]() -> std::uint64_t {
            const std::size_t i = bitPos++;
            return i / 8 < junk.size() ? (static_cast<unsigned char>(junk[i / 8]) >> (i % 8)) & 1 : 0;
        };
        std::istringstream in(junk);
        StreamInBitStream r(in, 64);
        typename TypeParam::Decoder d(r);
        d.start();
        std::uint64_t low = 0, high = top, value = 0;
        for (unsigned i = 0; i < P; ++i) value = 2 * value + nextBit();
        for (int i = 0; i < 3000; ++i) {
            // Wide, narrow and single-count symbols of small and largest totals.
            const unsigned total = rng() % 2 ? static_cast<unsigned>(quarter) : 2 + rng() % 300;
            const unsigned v = d.decode(total);
            const unsigned kind = rng() % 3;
            const unsigned sLow = kind == 0 ? v : kind == 1 ? v / 2 : 0;
            const unsigned sHigh = kind == 0 ? v + 1 : kind == 1 ? std::min(total, v + 1 + (total - v) / 2) : total;
            d.decodeExtract(sLow, sHigh, total);
            const std::uint64_t range = high - low + 1;
            high = low + range * sHigh / total - 1;
            low = low + range * sLow / total;
            for (;;) {
                if (low >= half) {
                    low -= half, high -= half, value -= half;
                } else if (high >= half) {
                    if (low < quarter || high >= 3 * quarter) break;
                    low -= quarter, high -= quarter, value -= quarter;
                }
                low = 2 * low;
                high = 2 * high + 1;
                value = 2 * value + nextBit();
            }
            ASSERT_EQ(d.lowValue(), low) << "round " << round << " symbol " << i;
            ASSERT_EQ(d.highValue(), high) << "round " << round << " symbol " << i;
            ASSERT_EQ(d.codeValue(), value) << "round " << round << " symbol " << i;
        }
    }
}

TEST(ArithmeticCoderDeathTest, EmptyRange) {
    std::ostringstream out;
    StreamOutBitStream w(out, 4);
    w.reset();
    Codec16::Coder c(w);
    EXPECT_DEATH(c.encode(1, 1, 2),
                 "\\(symbolLow < symbolHigh\\) && \\(symbolHigh <= symbolTotal\\).*arithmeticcodec");
}

}  // namespace

namespace {

// Quotients by a fixed divisor equal plain division over the dividends the
// coders form (up to 2^18 x 2^16), at and around every kind of boundary.
TEST(FixedDivisor, EqualsDivision) {
    std::mt19937_64 rng(3);
    for (unsigned d : {1u, 2u, 3u, 7u, 255u, 256u, 257u, 4095u, 4096u, 65277u, 65278u, 65535u, 65536u}) {
        const FixedDivisor f(d);
        EXPECT_EQ(f.divisor(), d);
        const std::uint64_t top = std::uint64_t(1) << 35;
        std::vector<std::uint64_t> xs = {0, 1, top - 1};
        for (std::uint64_t q : {std::uint64_t(1), std::uint64_t(2), top / d - 1, top / d / 3})
            for (std::uint64_t x : {q * d - 1, q * d, q * d + 1, q * d + d - 1}) xs.push_back(x);
        for (int i = 0; i < 2000; ++i) xs.push_back(rng() % top);
        for (std::uint64_t x : xs) ASSERT_EQ(f.divide(x), x / d) << x << " / " << d;
    }
}

// With a fixed total the coder writes the same bytes as with plain division,
// and the decoder, dividing the same way, gets the symbols back.
TYPED_TEST(ArithmeticCodecTest, FixedTotalGivesTheSameCode) {
    using C = typename TypeParam::Coder;
    using D = typename TypeParam::Decoder;
    std::mt19937 rng(5);
    for (unsigned total : {1u, 2u, 3u, 1000u, TypeParam::quarter - 1, TypeParam::quarter}) {
        // A random cumulative table over the total, every range non-empty.
        std::vector<unsigned> cut = {0, total};
        for (unsigned i = 0; i < 40 && total > 1; ++i) cut.push_back(1 + rng() % (total - 1));
        std::sort(cut.begin(), cut.end());
        cut.erase(std::unique(cut.begin(), cut.end()), cut.end());
        std::vector<Sym> syms;
        for (int i = 0; i < 3000; ++i) {
            const unsigned k = rng() % (cut.size() - 1);
            syms.push_back({cut[k], cut[k + 1], total});
        }
        const std::string plain = encodeAll<C>(syms);
        const FixedDivisor fixed(total);
        std::ostringstream out;
        {
            StreamOutBitStream w(out, bitStreamBufferWords);
            w.reset();
            C c(w);
            for (const Sym& s : syms) c.encode(s.low, s.high, fixed);
            c.flush();
            w.flush();
        }
        ASSERT_EQ(out.str(), plain) << "total " << total;

        std::istringstream in(plain);
        StreamInBitStream r(in, bitStreamBufferWords);
        D d(r);
        d.start();
        for (const Sym& s : syms) {
            const unsigned v = d.decode(total);
            ASSERT_TRUE(s.low <= v && v < s.high) << "total " << total;
            d.decodeExtract(s.low, s.high, fixed);
        }
    }
}

// Values of n bits through the shift paths interleaved with ordinary symbols
// (which carry pending bits into them): the same bytes as the general
// division path, and the values come back.
TYPED_TEST(ArithmeticCodecTest, PowerOfTwoTotalsGiveTheSameCode) {
    using C = typename TypeParam::Coder;
    using D = typename TypeParam::Decoder;
    constexpr unsigned maxBits = TypeParam::quarter == (1u << 14) ? 14 : 16;
    std::mt19937 rng(11);
    struct Item {
        Sym sym;
        unsigned bits;  // 0: an ordinary symbol
    };
    std::vector<Item> items;
    for (int i = 0; i < 20000; ++i) {
        if (rng() % 3 == 0) {
            // Narrow and wide symbols, to provoke runs of straddles.
            const unsigned total = 1 + rng() % std::min(TypeParam::quarter, maxModelTotal);
            const unsigned low = rng() % total;
            const unsigned high = rng() % 4 == 0 ? low + 1 : low + 1 + rng() % (total - low);
            items.push_back({{low, high, total}, 0});
        } else {
            const unsigned n = 1 + rng() % maxBits;
            const unsigned v = rng() & ((1u << n) - 1);
            items.push_back({{v, v + 1, 1u << n}, n});
        }
    }
    std::vector<Sym> syms;
    for (const Item& it : items) syms.push_back(it.sym);
    const std::string plain = encodeAll<C>(syms);

    std::ostringstream out;
    {
        StreamOutBitStream w(out, bitStreamBufferWords);
        w.reset();
        C c(w);
        for (const Item& it : items) {
            if (it.bits != 0)
                c.encodeBits(it.sym.low, it.bits);
            else
                c.encode(it.sym.low, it.sym.high, modelTotalDivisors[it.sym.total]);
        }
        c.flush();
        w.flush();
    }
    ASSERT_EQ(out.str(), plain);

    std::istringstream in(plain);
    StreamInBitStream r(in, bitStreamBufferWords);
    D d(r);
    d.start();
    for (std::size_t i = 0; i < items.size(); ++i) {
        const Item& it = items[i];
        if (it.bits != 0) {
            ASSERT_EQ(d.decodeBits(it.bits), it.sym.low) << "item " << i;
        } else {
            const unsigned v = d.decode(it.sym.total);
            ASSERT_TRUE(it.sym.low <= v && v < it.sym.high) << "item " << i;
            d.decodeExtract(it.sym.low, it.sym.high, modelTotalDivisors[it.sym.total]);
        }
    }
}

TEST(ModelTotalDivisors, CoverEveryTotal) {
    for (unsigned d = 1; d <= maxModelTotal; ++d) ASSERT_EQ(modelTotalDivisors[d].divisor(), d);
}

}  // namespace
