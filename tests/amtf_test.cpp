// Move-to-front lists, RLE0, and the adaptive MTF block codec. Block round
// trips of both MTF codecs live here too, since they share the RLE0 pass.
#include "amtf.h"
#include "mtf.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "arithmeticcodec.h"
#include "bitstream.h"
#include "smtf.h"
#include "symbolstats.h"
#include "testutil.h"

namespace {

using testing::HasSubstr;

std::vector<unsigned> rle0Symbols(std::vector<unsigned char> block, std::vector<unsigned char>* values = nullptr) {
    MTFCoder<unsigned char> mtf(256);
    std::vector<unsigned> out;
    const unsigned n = encodeRLE0(block.data(), static_cast<unsigned>(block.size()), mtf,
                                  [&](unsigned s) { out.push_back(s); });
    EXPECT_EQ(n, out.size());
    if (values) *values = block;
    return out;
}

// Decodes from a fixed list of symbols; reading past its end is a failure.
std::vector<unsigned char> rle0Decode(const std::vector<unsigned>& symbols, unsigned dataSize,
                                      std::size_t* used = nullptr) {
    MTFDecoder<unsigned char> mtf(256);
    std::vector<unsigned char> out(dataSize);
    std::size_t k = 0;
    decodeRLE0(out.data(), dataSize, mtf, [&]() -> unsigned {
        if (k >= symbols.size()) throw std::runtime_error("read past the last symbol");
        return symbols[k++];
    });
    if (used) *used = k;
    return out;
}

// ---------------------------------------------------------------- move-to-front

TEST(MTF, EncodeMovesToFrontAndDecoderFollows) {
    MTFCoder<unsigned char> enc(256);
    EXPECT_EQ(enc.encode(5), 5);
    EXPECT_EQ(enc.encode(0), 1);  // 0 stood behind 5
    EXPECT_EQ(enc.encode(255), 255);

    const std::string data = testutil::randomBytes(5000, 256, 11) + testutil::textLike(5000, 12);
    MTFCoder<unsigned char> e(256);
    MTFDecoder<unsigned char> d(256);
    for (unsigned char c : data) {
        const unsigned char v = e.encode(c);
        ASSERT_EQ(d.decode(v), c);
    }
    EXPECT_TRUE(std::equal(e.list.get(), e.list.get() + 256, d.list.get()));
}

// Every place of the list, the edges of the first places (15, 16, 17) most
// often, against a plain list.
TEST(MTF, EncodeFindsEveryPlaceAsAPlainListDoes) {
    MTFCoder<unsigned char> e(256);
    std::vector<unsigned char> plain(256);
    for (unsigned i = 0; i < 256; ++i) plain[i] = static_cast<unsigned char>(i);
    std::mt19937 rng(5);
    for (unsigned step = 0; step < 3000; ++step) {
        const unsigned place = step < 256 ? 255 - step : step % 3 == 0 ? 14 + rng() % 5 : rng() % 256;
        const unsigned char c = plain[place];
        ASSERT_EQ(e.encode(c), place) << "step " << step;
        plain.erase(plain.begin() + place);
        plain.insert(plain.begin(), c);
        ASSERT_TRUE(std::equal(plain.begin(), plain.end(), e.list.get())) << "step " << step;
    }
}

// ---------------------------------------------------------------- RLE0

struct Rle0Case {
    const char* name;
    std::vector<unsigned char> block;
    std::vector<unsigned> symbols;
    std::vector<unsigned char> values;
};

class Rle0Known : public testing::TestWithParam<Rle0Case> {};

TEST_P(Rle0Known, EncodesAndDecodes) {
    const Rle0Case& c = GetParam();
    std::vector<unsigned char> values;
    EXPECT_EQ(rle0Symbols(c.block, &values), c.symbols);
    if (!c.values.empty()) {
        EXPECT_EQ(values, c.values);
    }
    std::size_t used = 0;
    EXPECT_EQ(rle0Decode(c.symbols, static_cast<unsigned>(c.block.size()), &used), c.block);
    EXPECT_EQ(used, c.symbols.size());
}

INSTANTIATE_TEST_SUITE_P(
    Examples, Rle0Known,
    testing::Values(Rle0Case{"run_of_three", {97, 97, 97, 97}, {98, 0, 0}, {97, 0, 0, 0}},
                    Rle0Case{"single_zero", {0}, {0}, {0}},
                    Rle0Case{"zero_moved_back", {5, 0}, {6, 2}, {5, 1}},
                    // value 1, a run of 7 (digits 000), then value 3
                    Rle0Case{"run_of_seven", {1, 1, 1, 1, 1, 1, 1, 1, 3}, {2, 0, 0, 0, 4}, {}},
                    Rle0Case{"run_of_two_then_end", {0, 0}, {1}, {0, 0}},
                    Rle0Case{"value_255", {255, 255}, {256, 0}, {255, 0}}),
    [](const testing::TestParamInfo<Rle0Case>& i) { return i.param.name; });

TEST(Rle0, RunDigitsAreBijectiveBaseTwo) {
    // A run of h zeros at the block's end is its digits only; check them
    // against h = 2^n - 1 + (digits as binary) for the boundaries of n.
    for (unsigned h : {1u, 2u, 3u, 6u, 7u, 8u, 14u, 15u, 16u, 255u, 256u, 1023u, 1024u, 20000u}) {
        SCOPED_TRACE(h);
        const std::vector<unsigned> s = rle0Symbols(std::vector<unsigned char>(h, 0));
        std::uint64_t bin = 0;
        for (unsigned d : s) {
            ASSERT_LT(d, 2u);
            bin = 2 * bin + d;
        }
        EXPECT_EQ((std::uint64_t(1) << s.size()) - 1 + bin, h);
        EXPECT_EQ(rle0Decode(s, h), std::vector<unsigned char>(h, 0));
    }
}

TEST(Rle0, DecoderRejectsRunPastTheBlock) {
    // value 2, then digit 1 (a run of 2) in a block of 2
    EXPECT_THAT([] { rle0Decode({3, 1}, 2); },
                testing::ThrowsMessage<Exception>("Error in compressed file (RLE0 run exceeds file size)"));
    // digits 1,1 = run of 6 where only 5 fit; the second digit is read
    // because the run of 2 still left room
    EXPECT_THROW(rle0Decode({1, 1}, 5), Exception);
}

TEST(Rle0, DecoderStopsAfterRunThatFillsTheBlock) {
    std::size_t used = 0;
    // run of 3 = digits 0,0: whatever would follow must not be read
    EXPECT_EQ(rle0Decode({2, 0, 0, 7, 7}, 4, &used), (std::vector<unsigned char>{1, 1, 1, 1}));
    EXPECT_EQ(used, 3u);
}

TEST(Rle0, DumpAndHistogramText) {
    std::ostringstream dump, hist;
    MTFCoder<unsigned char> mtf(256);
    std::vector<unsigned char> block{97, 97, 97, 97, 0};
    unsigned emitted = 0;
    EXPECT_EQ(encodeRLE0WithDiagnostics(block.data(), 5, mtf, &dump, &hist, [&](unsigned) { ++emitted; }), 4u);
    EXPECT_EQ(emitted, 4u);
    // values 97 0 0 0 1: symbols 98, 0a, 0a, 2
    EXPECT_EQ(dump.str(),
              "[Block]\nBlock size = 5\nData after RLE0:\n97 0a 0a 1 \nNumber of coded symbols: 4\n\n");
    EXPECT_EQ(hist.str(),
              "[Block] \nBlock size = 4\nData RLE0 histogram:\n"
              "0a - 2     [0, 2]\n1 - 1     [2, 1]\n97 - 1     [3, 0]\n\n\n");
}

// ---------------------------------------------------------------- block codecs

enum class Codec { adaptive, staticModel };

struct Method {
    Codec codec;
    bool rle0;
};

std::string methodName(const testing::TestParamInfo<Method>& i) {
    return std::string(i.param.codec == Codec::adaptive ? "Adaptive" : "Static") + (i.param.rle0 ? "Rle0" : "");
}

std::string pack(const Method& m, std::string block) {
    std::ostringstream os;
    if (m.codec == Codec::adaptive)
        packBlockMTFAdaptive(os, block.data(), static_cast<unsigned>(block.size()), m.rle0);
    else
        packBlockMTFStatic(os, block.data(), static_cast<unsigned>(block.size()), m.rle0);
    return os.str();
}

// Decodes into a buffer with a guard byte after the block.
std::string unpack(const Method& m, const std::string& payload, unsigned dataSize) {
    std::istringstream is(payload);
    std::string out(dataSize + 1, '\x5a');
    if (m.codec == Codec::adaptive)
        unpackBlockMTFAdaptive(is, out.data(), dataSize, m.rle0);
    else
        unpackBlockMTFStatic(is, out.data(), dataSize, m.rle0);
    EXPECT_EQ(out[dataSize], '\x5a') << "wrote past the block";
    out.resize(dataSize);
    return out;
}

class MTFCodec : public testing::TestWithParam<Method> {};

TEST_P(MTFCodec, RoundTripsSeededBlocks) {
    struct Input {
        const char* what;
        std::string data;
    };
    std::vector<Input> inputs = {
        {"one byte", "x"},
        {"two bytes", "\xff\x00"},
        {"all 256 values", testutil::randomBytes(256, 256, 1)},
        {"random", testutil::randomBytes(5000, 256, 2)},
        {"four letters", testutil::randomBytes(20000, 4, 3)},
        {"text", testutil::textLike(30000, 4)},
        // code longer than one 64 KiB read of the bit reader
        {"random past one buffer", testutil::randomBytes(90000, 256, 5)},
    };
    for (const Input& in : inputs) {
        SCOPED_TRACE(in.what);
        const std::string payload = pack(GetParam(), in.data);
        EXPECT_EQ(unpack(GetParam(), payload, static_cast<unsigned>(in.data.size())), in.data);
        // bytes after the payload (the next block) change nothing
        EXPECT_EQ(unpack(GetParam(), payload + testutil::randomBytes(100, 256, 7),
                         static_cast<unsigned>(in.data.size())),
                  in.data);
    }
}

TEST_P(MTFCodec, LeavesMoveToFrontValuesInTheBlock) {
    std::string block = "banana";
    std::ostringstream os;
    if (GetParam().codec == Codec::adaptive)
        packBlockMTFAdaptive(os, block.data(), 6, GetParam().rle0);
    else
        packBlockMTFStatic(os, block.data(), 6, GetParam().rle0);
    // transform n n b a a a; from the identity order n is at 110, then b
    // and a each stand one place further back for every larger byte moved
    // to the front before them
    EXPECT_EQ(block, std::string({110, 0, 99, 99, 0, 0}));
}

TEST_P(MTFCodec, RejectsFirstSuffixIndexOutOfRange) {
    std::string payload = pack(GetParam(), "banana");
    for (unsigned bad : {6u, 7u, 0xffffffffu}) {
        for (int i = 0; i < 4; ++i) payload[i] = static_cast<char>(bad >> (8 * i));
        EXPECT_THAT([&] { unpack(GetParam(), payload, 6); },
                    testing::ThrowsMessage<Exception>("Error in compressed file (first suffix index out of range)"));
    }
}

TEST_P(MTFCodec, DamagedPayloadsFailCleanlyOrDecodeInBounds) {
    // Any outcome but a crash, an out-of-bounds write or another exception
    // type is acceptable for a damaged code stream.
    const std::string data = testutil::textLike(3000, 21);
    const std::string payload = pack(GetParam(), data);
    std::uint32_t seed = 100;
    for (std::size_t pos = 4; pos < payload.size(); pos += 1 + payload.size() / 60) {
        std::string bad = payload;
        bad[pos] = static_cast<char>(bad[pos] ^ (1 + seed++ % 255));
        try {
            unpack(GetParam(), bad, 3000);
        } catch (const Exception& e) {
            EXPECT_THAT(e.what(), testing::StartsWith("Error in compressed file"));
        }
    }
    // truncated payloads read zeros past the end
    for (std::size_t len : {std::size_t(0), std::size_t(3), std::size_t(4), payload.size() / 2}) {
        try {
            unpack(GetParam(), payload.substr(0, len), 3000);
        } catch (const Exception& e) {
            EXPECT_THAT(e.what(), testing::StartsWith("Error in compressed file"));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllMethods, MTFCodec,
                         testing::Values(Method{Codec::adaptive, false}, Method{Codec::adaptive, true},
                                         Method{Codec::staticModel, false}, Method{Codec::staticModel, true}),
                         methodName);

// ---------------------------------------------------------------- adaptive payload

// The payload an independent model and coder give for a symbol sequence.
std::string adaptivePayload(unsigned first, unsigned numSymbols, const std::vector<unsigned>& symbols) {
    std::ostringstream os;
    StreamOutBitStream bits(os, bitStreamBufferWords);
    bits.reset();
    bits.putBits(first, 32);
    ArithmeticCoder<unsigned, unsigned, 16> coder(bits);
    AdaptiveSymbolStats<unsigned> model(numSymbols);
    for (unsigned s : symbols) {
        const SymbolRange r = model.getRangeThenUpdateAndLimit(s, 16384);
        coder.encode(r.symbolLow, r.symbolHigh, r.symbolTotal);
    }
    coder.flush();
    bits.flush();
    return os.str();
}

TEST(AdaptiveCodec, TwentyThousandZerosMatchIndependentCoding) {
    const std::string zeros(20000, '\0');
    // without RLE0: 20000 symbols 0, the model rescaled on the way
    const Method plain{Codec::adaptive, false};
    const std::string p1 = pack(plain, zeros);
    EXPECT_EQ(p1, adaptivePayload(19999, 256, std::vector<unsigned>(20000, 0)));
    EXPECT_EQ(unpack(plain, p1, 20000), zeros);
    // with RLE0: one run, its 14 digits and nothing after them
    const Method rle{Codec::adaptive, true};
    const std::vector<unsigned> digits = rle0Symbols(std::vector<unsigned char>(20000, 0));
    EXPECT_EQ(digits.size(), 14u);
    const std::string p2 = pack(rle, zeros);
    EXPECT_EQ(p2, adaptivePayload(19999, 257, digits));
    EXPECT_EQ(unpack(rle, p2, 20000), zeros);
    EXPECT_LT(p2.size(), p1.size());
}

TEST(AdaptiveCodec, OneBytePayload) {
    // 'A' = 65 is at position 65 of a fresh list: symbol 65, or 66 with RLE0
    EXPECT_EQ(pack({Codec::adaptive, false}, "A"), adaptivePayload(0, 256, {65}));
    EXPECT_EQ(pack({Codec::adaptive, true}, "A"), adaptivePayload(0, 257, {66}));
}

TEST(AdaptiveCodec, RejectsRunPastTheBlock) {
    // value 2 then a run of 2 in a block of 2
    EXPECT_THAT([] { unpack({Codec::adaptive, true}, adaptivePayload(0, 257, {3, 1}), 2); },
                testing::ThrowsMessage<Exception>("Error in compressed file (RLE0 run exceeds file size)"));
}

}  // namespace

namespace {

// Positions and lists against a plain list walk, for bytes found near the
// front, just past the first places and at the very end.
TEST(MTF, EncodeMatchesPlainListWalk) {
    std::string data = testutil::randomBytes(4000, 256, 31) + testutil::textLike(2000, 32);
    for (unsigned i = 0; i < 256; ++i) data += static_cast<char>(i);  // each from far down
    for (unsigned i = 0; i < 40; ++i) data += static_cast<char>(i % 20);
    MTFCoder<unsigned char> e(256);
    std::vector<unsigned char> ref(256);
    for (unsigned i = 0; i < 256; ++i) ref[i] = static_cast<unsigned char>(i);
    for (unsigned char c : data) {
        const auto at = std::find(ref.begin(), ref.end(), c);
        const unsigned k = static_cast<unsigned>(at - ref.begin());
        ref.erase(at);
        ref.insert(ref.begin(), c);
        ASSERT_EQ(e.encode(c), k);
        ASSERT_TRUE(std::equal(ref.begin(), ref.end(), e.list.get()));
    }
}

}  // namespace
