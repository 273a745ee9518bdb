#include "distancecodec.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

using Coder = DistanceCoder<char, std::uint32_t>;
using TableDecoder = DistanceDecoder<char, std::uint32_t>;
using MapDecoder = DistanceMapDecoder<char, std::uint32_t>;

std::vector<std::uint32_t> dcData(const std::string& block) {
    Coder c(256);
    c.encode(block.data(), block.data() + block.size());
    return std::vector<std::uint32_t>(c.values + c.codeBegin, c.values + c.codeEnd);
}

// The DC data straight from its definition: first occurrences, and per run
// the distance to the next run of its byte less the distinct bytes between.
std::vector<std::uint32_t> dcDataByDefinition(const std::string& b) {
    const std::size_t n = b.size();
    auto u = [&](std::size_t i) { return static_cast<unsigned char>(b[i]); };
    std::vector<long> firstAt(256, -1);
    for (std::size_t i = 0; i < n; ++i)
        if (firstAt[u(i)] < 0) firstAt[u(i)] = static_cast<long>(i);
    std::vector<std::uint32_t> out(256, 0);
    for (unsigned c = 0; c < 256; ++c) {
        if (firstAt[c] < 0) continue;
        unsigned m = 0;
        for (unsigned x = 0; x < c; ++x)
            if (firstAt[x] >= 0 && firstAt[x] < firstAt[c]) ++m;
        out[c] = static_cast<std::uint32_t>(firstAt[c] + 1 - m);
    }
    for (std::size_t s = 0; s < n;) {
        std::size_t e = s;
        while (e + 1 < n && b[e + 1] == b[s]) ++e;
        std::size_t L = e + 1;
        while (L < n && b[L] != b[s]) ++L;
        if (L == n) {
            out.push_back(0);
        } else {
            bool between[256] = {};
            unsigned k = 0;
            for (std::size_t i = e + 1; i < L; ++i)
                if (!between[u(i)]) between[u(i)] = true, ++k;
            out.push_back(static_cast<std::uint32_t>((L - e) - k));
        }
        s = e + 1;
    }
    while (!out.empty() && out.back() == 0) out.pop_back();
    return out;
}

// Rebuilds a block from its DC data in the block decoder's calling order.
template <class Decoder>
std::string decodeWith(const std::vector<std::uint32_t>& d, std::uint32_t n) {
    Decoder dec(256);
    std::string block(n, '\0');
    dec.start(n, block.data());
    std::string out;
    std::size_t i = 0;
    for (; i < d.size() && i < 256; ++i) dec.feedSymbol(static_cast<char>(i), d[i]);
    // The run's symbol is also at its start in the block being rebuilt.
    auto put = [&](typename Decoder::Run r) {
        EXPECT_EQ(block[out.size()], r.first);
        out.append(r.second, r.first);
    };
    for (; i < d.size(); ++i) put(dec.decode(d[i]));
    while (out.size() < n) put(dec.decodeEnding());
    return out;
}

// Both decoders, which must agree on every block and every error.
std::string decodeDC(const std::vector<std::uint32_t>& d, std::uint32_t n) {
    std::string table, map;
    try {
        table = decodeWith<TableDecoder>(d, n);
    } catch (const Exception& e) {
        table = std::string("error ") + e.what();
    }
    try {
        map = decodeWith<MapDecoder>(d, n);
    } catch (const Exception& e) {
        map = std::string("error ") + e.what();
    }
    EXPECT_EQ(map, table);
    if (table.rfind("error ", 0) == 0) throw Exception(table.substr(6));
    return table;
}

std::vector<std::uint32_t> withHeader(std::vector<std::pair<char, std::uint32_t>> header,
                                      std::vector<std::uint32_t> runs) {
    std::vector<std::uint32_t> v(256, 0);
    for (auto& h : header) v[static_cast<unsigned char>(h.first)] = h.second;
    v.insert(v.end(), runs.begin(), runs.end());
    while (!v.empty() && v.back() == 0) v.pop_back();
    return v;
}

TEST(DistanceCoder, KnownAnswers) {
    struct Case {
        std::string block;
        std::vector<std::uint32_t> expected;
    };
    const Case cases[] = {
        {"banana", withHeader({{'a', 2}, {'b', 1}, {'n', 1}}, {0, 1, 1, 1, 0, 0})},
        {"abracadabra", withHeader({{'a', 1}, {'b', 1}, {'c', 3}, {'d', 4}, {'r', 1}},
                                   {1, 3, 3, 1, 0, 1, 0, 1, 0, 0, 0})},
        {"aaba", withHeader({{'a', 1}, {'b', 2}}, {1, 0, 0})},
        {std::string(7, 'q'), withHeader({{'q', 1}}, {})},
        {"a\xff", withHeader({{'a', 1}, {'\xff', 1}}, {0, 0})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.block);
        EXPECT_EQ(dcData(c.block), c.expected);
        EXPECT_EQ(decodeDC(c.expected, static_cast<std::uint32_t>(c.block.size())), c.block);
    }
    EXPECT_EQ(dcData("banana").size(), 260u);
    EXPECT_EQ(dcData("abracadabra").size(), 264u);
    EXPECT_EQ(dcData(std::string(5, 'a')).size(), 98u);
    EXPECT_EQ(dcData("a\xff").size(), 256u);
    EXPECT_TRUE(dcData("").empty());
}

TEST(DistanceCoder, MatchesDefinitionAndRoundTrips) {
    std::vector<std::string> blocks;
    for (unsigned alpha : {1u, 2u, 3u, 17u, 256u})
        for (std::uint32_t seed = 1; seed <= 4; ++seed) blocks.push_back(testutil::randomBytes(700, alpha, seed));
    blocks.push_back(testutil::textLike(3000, 9));
    std::string all;
    for (unsigned i = 0; i < 256; ++i) all += static_cast<char>(255 - i);
    blocks.push_back(all + all);
    std::string runs;  // long runs of few bytes, the shape after the transform
    for (unsigned i = 0; i < 300; ++i) runs.append(1 + (i * 7919) % 23, "xyz\0\xff"[i % 5]);
    blocks.push_back(runs);
    for (const std::string& b : blocks) {
        const auto d = dcData(b);
        ASSERT_EQ(d, dcDataByDefinition(b));
        for (std::uint32_t v : d) ASSERT_LE(v, b.size());
        ASSERT_EQ(decodeDC(d, static_cast<std::uint32_t>(b.size())), b);
    }
}

TEST(DistanceDecoder, RejectsDamagedValues) {
    const std::string outside = "Error in compressed file (DC run start outside the block)";
    const std::string invalid = "Error in compressed file (invalid DC data)";
    struct Case {
        const char* what;
        std::uint32_t n;
        std::vector<std::uint32_t> data;  // header values from symbol 0, then run values
        std::string message;
    };
    auto hdr = [](std::vector<std::uint32_t> h, std::vector<std::uint32_t> runs) {
        h.resize(256, 0);
        h.insert(h.end(), runs.begin(), runs.end());
        return h;
    };
    const Case cases[] = {
        {"header past the end", 4, {0, 5}, outside},
        {"huge header value", 4, {0xFFFFFFFFu}, outside},
        {"header pushed past the end", 2, {1, 2}, outside},
        {"nothing at position 0", 3, {2}, invalid},
        {"no symbol at all", 3, {}, invalid},
        {"run value past the end", 6, hdr({1, 2}, {4}), outside},
        {"huge run value", 6, hdr({1, 2}, {0xFFFFFFFFu}), outside},
        {"run pushed past the end", 5, hdr({1, 1, 1}, {3}), outside},
        // Twenty known starts: the place is searched beyond the near ones.
        {"run pushed past the end from afar", 20, hdr(std::vector<std::uint32_t>(20, 1), {18}), outside},
        // Past the end by more than a word of the bitmap's known starts.
        {"run pushed far past the end", 300, hdr(std::vector<std::uint32_t>(200, 1), {298}), outside},
        {"values after the last run", 2, hdr({1, 1}, {0, 0, 1}), invalid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            decodeDC(c.data, c.n);
            ADD_FAILURE() << "accepted";
        } catch (const Exception& e) {
            EXPECT_EQ(e.what(), c.message);
        }
    }
}

TEST(AACodecBaseForDC, BucketTable) {
    // Contiguous, and the bases named for the wide buckets.
    for (unsigned k = 1; k < AACodecBaseForDC::tableSize; ++k) {
        const auto& p = AACodecBaseForDC::dtab[k - 1];
        EXPECT_EQ(p.base + (1u << p.extraBits), AACodecBaseForDC::dtab[k].base) << k;
    }
    EXPECT_EQ(AACodecBaseForDC::dtab[32].base, 512u);
    EXPECT_EQ(AACodecBaseForDC::dtab[56].base, 2147484032u);
    EXPECT_EQ(AACodecBaseForDC::dtab[56].extraBits, 31u);

    const std::pair<unsigned, unsigned> sizes[] = {{1, 2},   {8, 9},    {9, 9},
                                                   {10, 10}, {512, 33}, {10485760, 49}};
    for (auto [size, symbols] : sizes) EXPECT_EQ(AACodecBaseForDC(size).numSymbols, symbols) << size;
}

// Bytes of a bit stream written by `write` through a stream writer.
template <class F>
std::string bitBytes(F write) {
    std::ostringstream os;
    {
        StreamOutBitStream bits(os, 4);
        bits.reset();
        write(bits);
        bits.flush();
    }
    return os.str();
}

TEST(AACoderForDC, CodesBucketThenExtraBits) {
    struct Case {
        unsigned value, bucket;
        std::vector<std::pair<unsigned, unsigned>> flat;  // (symbol, total)
    };
    const Case cases[] = {
        {0, 0, {}}, {7, 7, {}}, {8, 8, {{0, 2}}}, {9, 8, {{1, 2}}}, {600, 32, {{88, 128}}},
        {1000, 34, {{104, 256}, {0, 2}}},
    };
    const unsigned blockSize = 5000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(AACodecBaseForDC::bucketOf(c.value, AACodecBaseForDC(blockSize).numSymbols), c.bucket);
        const std::string got = bitBytes([&](OutBitStream& bits) {
            AACoderForDC coder(blockSize, bits);
            coder.encode(c.value);
            coder.encode(c.value);  // the second sees the updated model
            coder.flush();
        });
        const std::string want = bitBytes([&](OutBitStream& bits) {
            AdaptiveSymbolStats<unsigned> model(AACodecBaseForDC(blockSize).numSymbols);
            ArithmeticCoder<unsigned, unsigned, 16> ac(bits);
            for (int twice = 0; twice < 2; ++twice) {
                const SymbolRange r = model.getRangeThenUpdateAndLimit(c.bucket, 4096);
                ac.encode(r.symbolLow, r.symbolHigh, r.symbolTotal);
                for (auto [s, total] : c.flat) ac.encode(s, s + 1, total);
            }
            ac.flush();
        });
        EXPECT_EQ(got, want);
    }
}

template <class C, class D>
void roundTripValues(const std::vector<unsigned>& values, unsigned blockSize, C makeCoder, D makeDecoder) {
    std::ostringstream os;
    {
        StreamOutBitStream bits(os, 8);
        bits.reset();
        auto coder = makeCoder(bits);
        for (unsigned v : values) coder.encode(v);
        if constexpr (std::is_same_v<decltype(coder), AACoderForDC>) coder.flush();
        bits.flush();
    }
    std::istringstream is(os.str());
    StreamInBitStream bits(is, 8);
    auto decoder = makeDecoder(bits);
    if constexpr (std::is_same_v<decltype(decoder), AADecoderForDC>) decoder.start();
    for (std::size_t i = 0; i < values.size(); ++i) ASSERT_EQ(decoder.decode(), values[i]) << i;
    (void)blockSize;
}

TEST(DCValueCoders, RoundTripEveryBucketEdge) {
    for (unsigned blockSize : {1u, 9u, 600u, 10485760u}) {
        std::vector<unsigned> values;
        for (unsigned k = 0; k < AACodecBaseForDC(blockSize).numSymbols; ++k) {
            const auto& b = AACodecBaseForDC::dtab[k];
            for (unsigned v : {b.base, b.base + (1u << b.extraBits) - 1, b.base + (1u << b.extraBits) / 3})
                if (v <= blockSize) values.push_back(v);
        }
        std::mt19937 rng(blockSize);
        for (int i = 0; i < 3000; ++i) values.push_back(rng() % (blockSize + 1) >> (rng() % 24));
        SCOPED_TRACE(blockSize);
        roundTripValues(
            values, blockSize, [&](OutBitStream& o) { return AACoderForDC(blockSize, o); },
            [&](InBitStream& in) { return AADecoderForDC(blockSize, in); });
        roundTripValues(
            values, blockSize, [](OutBitStream& o) { return PassThruCoder(o); },
            [](InBitStream& in) { return PassThruDecoder(in); });
    }
}

TEST(PassThruCoder, KnownCodes) {
    // Bits least significant first: 3 is 1,1,0,0,0,0; 11 is 1,1,1,0 then 8 in 4 bits.
    const std::pair<unsigned, std::string> cases[] = {
        {0, std::string(1, '\0')}, {2, "\x02"}, {3, "\x03"}, {10, "\x3B"}, {11, "\x87"}, {18, "\xF7"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(bitBytes([&](OutBitStream& b) { PassThruCoder(b).encode(c.first); }), c.second) << c.first;

    std::istringstream is(std::string("\x2B", 1));  // 1,1,0 then 1,0,1
    StreamInBitStream bits(is, 4);
    EXPECT_EQ(PassThruDecoder(bits).decode(), 8u);
}

TEST(PassThruDecoder, RejectsPrefixWiderThan32Bits) {
    auto decodeOnes = [](unsigned ones) {
        const std::string data = bitBytes([&](OutBitStream& b) {
            b.putBits(3, 2);
            for (unsigned i = 0; i < ones; ++i) b.putBit(true);
            b.putBit(false);
            b.putBits(0xFFFFFFFFu, 32);
        });
        std::istringstream is(data);
        StreamInBitStream bits(is, 4);
        return PassThruDecoder(bits).decode();
    };
    EXPECT_EQ(decodeOnes(28), (1u << 31) - 1 + 3);  // 31-bit field
    EXPECT_EQ(decodeOnes(29), 0xFFFFFFFFu + 3u);    // 32-bit field, modulo 2^32
    try {
        decodeOnes(30);
        ADD_FAILURE() << "accepted";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Error in compressed file (invalid pass-through code)");
    }
}

}  // namespace

namespace {

// The bucket of a value by bisection over the table, the way the bucket is
// defined: the largest index below the limit whose base is at most the value.
unsigned bucketBySearch(unsigned value, unsigned limit) {
    unsigned k = 0;
    for (unsigned i = 1; i < limit; ++i)
        if (AACodecBaseForDC::dtab[i].base <= value) k = i;
    return k;
}

TEST(AACodecBaseForDC, BucketOfMatchesTableSearch) {
    std::vector<unsigned> values;
    for (unsigned v = 0; v < 5000; ++v) values.push_back(v);
    for (unsigned k = 0; k < AACodecBaseForDC::tableSize; ++k) {
        const unsigned b = AACodecBaseForDC::dtab[k].base;
        for (unsigned v : {b - 1, b, b + 1}) values.push_back(v);
    }
    values.push_back(0xFFFFFFFFu);
    std::mt19937 rng(4);
    for (int i = 0; i < 5000; ++i) values.push_back(rng() >> (rng() % 32));
    for (unsigned limit : {2u, 9u, 33u, 49u, 57u})
        for (unsigned v : values)
            ASSERT_EQ(AACodecBaseForDC::bucketOf(v, limit), bucketBySearch(v, limit)) << v << " limit " << limit;
}

// Blocks whose runs have many other bytes before their next run, so the
// encoder's list search and the decoder's placement walk far; the values
// must still match the definition and decode back.
TEST(DistanceCoder, LongWalksMatchDefinitionAndRoundTrip) {
    std::vector<std::string> blocks;
    blocks.push_back(testutil::randomBytes(20000, 256, 21));
    blocks.push_back(testutil::randomBytes(20000, 200, 22, 56));
    std::string cycle;  // every byte between two runs of the same byte
    for (unsigned r = 0; r < 20; ++r)
        for (unsigned i = 0; i < 256; ++i) cycle.append(1 + (r + i) % 3, static_cast<char>((i * 37 + r) & 255));
    blocks.push_back(cycle);
    for (const std::string& b : blocks) {
        const auto d = dcData(b);
        ASSERT_EQ(d, dcDataByDefinition(b));
        ASSERT_EQ(decodeDC(d, static_cast<std::uint32_t>(b.size())), b);
    }
}

}  // namespace

namespace {

// The values in chunks, computed in any order or on several threads: the
// same as one scan, whatever falls on a chunk's edge (a long run, a symbol
// first or last seen there, alphabets that differ between chunks) and
// wherever the trailing zeros end (in the runs or, when every run is the
// last of its symbol, in the header).
TEST(DistanceCoder, ChunksGiveTheSameValues) {
    const std::size_t size = 300000;
    std::string oneRunTail = testutil::randomBytes(size / 3, 256, 4) + std::string(size - size / 3, 'q');
    std::string splitAlphabets = testutil::randomBytes(size / 2, 16, 5);  // symbols 0..15 below, 200.. above
    for (unsigned char c : testutil::randomBytes(size / 2, 16, 6)) splitAlphabets += static_cast<char>(200 + c);
    std::string runs;  // chunk edges fall inside long runs
    while (runs.size() < size) runs.append(1 + runs.size() % 5000, "ab\xff"[runs.size() % 3]);
    const std::pair<const char*, std::string> blocks[] = {
        {"random", testutil::randomBytes(size, 256, 1)},
        {"two symbols", testutil::randomBytes(size, 2, 2)},
        {"text", testutil::textLike(size, 3)},
        {"rare byte only at the end", testutil::textLike(size - 1, 7) + "\x01"},
        {"one run after the first third", oneRunTail},
        {"different alphabets in the chunks", splitAlphabets},
        {"long runs", runs},
        {"every run the last of its symbol", std::string(5000, 'x') + std::string(7000, '\0') + "\xfe"},
        {"one symbol", std::string(9000, 'z')},
        {"one byte", "\x80"},
        {"short text", testutil::textLike(3000, 8)},
    };
    for (const auto& [what, b] : blocks) {
        SCOPED_TRACE(what);
        Coder one(256);
        one.encode(b.data(), b.data() + b.size());
        const std::vector<std::uint32_t> expected(one.values + one.codeBegin, one.values + one.codeEnd);
        for (std::uint32_t chunkBytes : {1u, 7u, 4096u, 65536u, 1u << 20}) {
            if (b.size() / chunkBytes > 5000) continue;
            SCOPED_TRACE(chunkBytes);
            Coder chunked(256);
            chunked.plan(b.data(), b.data() + b.size(), chunkBytes, 2);
            ASSERT_EQ(chunked.codeEnd - chunked.codeBegin, expected.size());
            for (unsigned c = chunked.chunks(); c-- > 0;) chunked.encodeChunk(c);
            ASSERT_EQ(std::vector<std::uint32_t>(chunked.values + chunked.codeBegin, chunked.values + chunked.codeEnd),
                      expected);
        }
        for (unsigned threads : {2u, 3u}) {
            Coder many(256);
            many.encode(b.data(), b.data() + b.size(), threads);
            ASSERT_EQ(std::vector<std::uint32_t>(many.values + many.codeBegin, many.values + many.codeEnd), expected)
                << threads << " threads";
        }
    }
}

}  // namespace

namespace {

// The bitmap decoder's search against a bit-by-bit count: sparse and dense
// words, starts inside a word and on its edges, places near and up to
// thirty words ahead.
TEST(NthClearBit, MatchesCountingBitByBit) {
    std::mt19937_64 rng(3);
    for (unsigned density : {0u, 1u, 8u, 32u, 60u, 64u}) {
        std::vector<std::uint64_t> words(70);
        for (auto& w : words) {
            w = 0;
            for (unsigned b = 0; b < 64; ++b)
                if (rng() % 64 < density) w |= std::uint64_t(1) << b;
        }
        // The search always ends inside the array.
        for (std::size_t i = 38; i < words.size(); ++i) words[i] = 0;
        const std::uint32_t spans[] = {6, 70, 300, 1500};
        for (int k = 0; k < 800; ++k) {
            const std::uint32_t from = static_cast<std::uint32_t>(rng() % (64 * 30));
            const std::uint32_t r = 1 + static_cast<std::uint32_t>(rng() % spans[k % 4]);
            std::uint32_t p = from, left = r;
            for (;; ++p) {
                if (!(words[p / 64] >> (p % 64) & 1) && --left == 0) break;
            }
            ASSERT_EQ(nthClearBit(words.data(), from, r), p) << "density " << density << " from " << from;
            for (BitCounting way : {BitCounting::portable, BitCounting::popcount, BitCounting::deposit}) {
                if (!canCountBits(way)) continue;
                ASSERT_EQ(nthClearBitWith(way, words.data(), from, r), p)
                    << "way " << static_cast<int>(way) << ", density " << density << " from " << from;
            }
        }
    }
}

}  // namespace
