// Static MTF block codec: count scaling, payload layout, damaged count tables.
// Round trips of both MTF codecs are in amtf_test.cpp.
#include "smtf.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "amtf.h"
#include "bitstream.h"
#include "testutil.h"

namespace {

std::string packStatic(bool rle0, std::string block, const CodecOptions& options = CodecOptions{}) {
    std::ostringstream os;
    packBlockMTFStatic(os, block.data(), static_cast<unsigned>(block.size()), rle0, options);
    return os.str();
}

std::string unpackStatic(bool rle0, const std::string& payload, unsigned dataSize,
                         const CodecOptions& options = CodecOptions{}) {
    std::istringstream is(payload);
    std::string out(dataSize, '\0');
    unpackBlockMTFStatic(is, out.data(), dataSize, rle0, options);
    return out;
}

// Reads the primary index and the count table back from a payload.
std::vector<unsigned> storedCounts(const std::string& payload, unsigned numSymbols, unsigned* first) {
    std::istringstream is(payload);
    StreamInBitStream bits(is, bitStreamBufferWords);
    *first = bits.getBits(32);
    std::vector<unsigned> counts(numSymbols);
    for (unsigned& c : counts) c = bits.getBits(16);
    return counts;
}

// A payload with the given index and counts followed by a code of `tail`
// zero bytes.
std::string handMadePayload(unsigned first, const std::vector<unsigned>& counts, std::size_t tail = 16) {
    std::ostringstream os;
    StreamOutBitStream bits(os, bitStreamBufferWords);
    bits.reset();
    bits.putBits(first, 32);
    for (unsigned c : counts) bits.putBits(c, 16);
    bits.flush();
    return os.str() + std::string(tail, '\0');
}

TEST(StaticCoder, ScalesCountsWithinTheCoderLimit) {
    struct Case {
        const char* what;
        unsigned numSymbols;
        std::vector<std::pair<unsigned, unsigned>> counts;  // symbol, raw count
        std::vector<std::pair<unsigned, unsigned>> scaled;
    };
    const std::vector<Case> cases = {
        {"one symbol, RLE0", 257, {{0, 1}}, {{0, 65278}}},
        {"one symbol, no RLE0", 256, {{7, 20000}}, {{7, 65279}}},
        // a symbol once in 10 MiB keeps a count of 1
        {"rare symbol", 256, {{0, 10485759}, {255, 1}}, {{0, 65278}, {255, 1}}},
        {"two halves", 257, {{1, 50}, {256, 50}}, {{1, 32639}, {256, 32639}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OutBitStream unused(1);
        StaticCoder coder(c.numSymbols, unused);
        for (auto [s, n] : c.counts)
            for (unsigned i = 0; i < n; ++i) coder.count(s);
        coder.start();
        unsigned nonZero = 0;
        for (unsigned s = 0; s < c.numSymbols; ++s) nonZero += coder.scaledCount(s) != 0;
        EXPECT_EQ(nonZero, c.scaled.size());
        for (auto [s, n] : c.scaled) EXPECT_EQ(coder.scaledCount(s), n);
    }

    // Every other symbol rare: each is raised to 1, and the total still fits.
    OutBitStream unused(1);
    StaticCoder coder(257, unused);
    for (unsigned i = 0; i < 3000000; ++i) coder.count(0);
    for (unsigned s = 1; s < 257; ++s) coder.count(s);
    coder.start();
    for (unsigned s = 1; s < 257; ++s) EXPECT_EQ(coder.scaledCount(s), 1u);
    // 3000000 x 65278 div 3000256 = 65272, plus 256 ones
    EXPECT_EQ(coder.freq[257], 65528u);
}

TEST(StaticPayload, OneByteBlock) {
    // 32 + 16 x numSymbols + 2 flush bits, in whole bytes
    for (auto [rle0, size, numSymbols, symbol, scaled] :
         {std::tuple{true, 519u, 257u, 66u, 65278u}, std::tuple{false, 517u, 256u, 65u, 65279u}}) {
        SCOPED_TRACE(rle0);
        const std::string payload = packStatic(rle0, "A");
        EXPECT_EQ(payload.size(), size);
        unsigned first = 1;
        const std::vector<unsigned> counts = storedCounts(payload, numSymbols, &first);
        EXPECT_EQ(first, 0u);
        std::vector<unsigned> expected(numSymbols, 0);
        expected[symbol] = scaled;
        EXPECT_EQ(counts, expected);
        EXPECT_EQ(unpackStatic(rle0, payload, 1), "A");
    }
}

TEST(StaticPayload, AllZeroBlockWithoutRLE0) {
    const std::string zeros(5000, '\0');
    const std::string payload = packStatic(false, zeros);
    // the code part is just the two flush bits
    EXPECT_EQ(payload.size(), (32 + 16 * 256 + 2 + 7) / 8);
    unsigned first = 0;
    const std::vector<unsigned> counts = storedCounts(payload, 256, &first);
    EXPECT_EQ(first, 4999u);
    std::vector<unsigned> expected(256, 0);
    expected[0] = 65279;
    EXPECT_EQ(counts, expected);
    EXPECT_EQ(unpackStatic(false, payload, 5000), zeros);
}

TEST(StaticPayload, RejectsInvalidCountTables) {
    struct Case {
        const char* what;
        bool rle0;
        std::vector<unsigned> counts;
    };
    std::vector<unsigned> over(257, 0);
    over[0] = 65535;
    over[256] = 1;
    std::vector<unsigned> allMax(256, 65535);
    const std::vector<Case> cases = {
        {"all zero, RLE0", true, std::vector<unsigned>(257, 0)},
        {"all zero", false, std::vector<unsigned>(256, 0)},
        {"one above 65535", true, over},
        {"every count at most", false, allMax},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_THAT([&] { unpackStatic(c.rle0, handMadePayload(0, c.counts), 10); },
                    testing::ThrowsMessage<Exception>("Error in compressed file (invalid static model)"));
    }
    // the largest valid total decodes to something
    std::vector<unsigned> full(256, 0);
    full[3] = 65535;
    EXPECT_EQ(unpackStatic(false, handMadePayload(0, full), 10).size(), 10u);
}

TEST(StaticPayload, RejectsRunPastTheBlock) {
    // only digit 1 has a range: the first digit is a run of 2 in a block of 1
    std::vector<unsigned> counts(257, 0);
    counts[1] = 100;
    EXPECT_THAT([&] { unpackStatic(true, handMadePayload(0, counts), 1); },
                testing::ThrowsMessage<Exception>("Error in compressed file (RLE0 run exceeds file size)"));
}

TEST(StaticPayload, VerboseLinesInOrder) {
    std::ostringstream console;
    CodecOptions verbose;
    verbose.log = &console;
    const std::string payload = packStatic(false, "abracadabra", verbose);
    unpackStatic(false, payload, 11, verbose);
    EXPECT_THAT(console.str(),
                testing::MatchesRegex("   Performing BWT...\n"
                                      "      First suffix index: 2\n"
                                      "   Gathering symbol statistics...\n"
                                      "   Coding data to arithmetic stream...\n"
                                      "   BWT time: .*s\n"
                                      "   Gathering symbol statistics time: .*s\n"
                                      "   MTF \\+ static arithmetic time: .*s\n"
                                      "   Block compression time: .*s\n"
                                      "   Decoding data from arithmetic stream...\n"
                                      "      First suffix index: 2\n"
                                      "   Performing iBWT...\n"
                                      "   iMTF \\+ static arithmetic time: .*s\n"
                                      "   iBWT time: .*s\n"
                                      "   Block decompression time: .*s\n"));
}

}  // namespace

namespace {

// Count tables with many empty and tiny ranges, so decoding steps over
// several ranges inside one step of its lookup table: one frequent byte
// value and a sprinkle of single other bytes, with and without RLE0.
TEST(StaticPayload, RoundTripsSparseCountTables) {
    std::mt19937 rng(8);
    for (unsigned seed = 0; seed < 4; ++seed) {
        std::string block(30000 + seed * 7000, 'e');
        for (unsigned i = 0; i < 40 + 60 * seed; ++i) block[rng() % block.size()] = static_cast<char>(rng());
        for (bool rle0 : {true, false}) {
            const std::string payload = packStatic(rle0, block);
            ASSERT_EQ(unpackStatic(rle0, payload, static_cast<unsigned>(block.size())), block)
                << "seed " << seed << " rle0 " << rle0;
        }
    }
}

}  // namespace
