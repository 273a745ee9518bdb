#include "dc.h"

#include <gtest/gtest.h>

#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bitstream.h"
#include "distancecodec.h"
#include "globals.h"
#include "testutil.h"

namespace {

// The codec options of the current test: pass-through coding, progress lines
// to standard output.
CodecOptions current;

struct Settings {
    explicit Settings(bool pass, bool verb = false) {
        current.passThru = pass;
        current.log = verb ? &std::cout : nullptr;
    }
    ~Settings() { current = CodecOptions{}; }
};

std::string pack(std::string block) {
    std::ostringstream os;
    packBlockDCAdaptive(os, block.data(), static_cast<unsigned>(block.size()), current);
    return os.str();
}

std::string unpack(const std::string& payload, unsigned size) {
    std::istringstream is(payload);
    std::string out(size, '\0');
    unpackBlockDCAdaptive(is, out.data(), size, current);
    return out;
}

class DCBlockCodec : public ::testing::TestWithParam<bool> {};

TEST_P(DCBlockCodec, RoundTrips) {
    Settings s(GetParam());
    std::vector<std::string> blocks = {"a", "ab", "\xff", std::string(1000, 'x'), "banana", "abracadabra"};
    std::string all;
    for (unsigned i = 0; i < 256; ++i) all += static_cast<char>(i);
    blocks.push_back(all);
    for (unsigned alpha : {2u, 4u, 64u, 256u}) blocks.push_back(testutil::randomBytes(20000, alpha, alpha));
    blocks.push_back(testutil::textLike(50000, 3));
    for (const std::string& b : blocks) {
        const std::string payload = pack(b);
        ASSERT_EQ(unpack(payload, static_cast<unsigned>(b.size())), b) << b.size();
    }
}

INSTANTIATE_TEST_SUITE_P(Coders, DCBlockCodec, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "PassThru" : "Arithmetic"; });

TEST(DCBlockCodec, PassThruPayloadOfOneRepeatedByte) {
    Settings s(true);
    for (unsigned n : {1u, 5u, 300u}) {
        const std::string payload = pack(std::string(n, 'a'));
        ASSERT_EQ(payload.size(), 33u);
        // The whole block is the longest suffix, ranked last.
        std::string want;
        for (unsigned i = 0; i < 4; ++i) want += static_cast<char>(((n - 1) >> (8 * i)) & 0xFF);
        want += std::string("\x62\0\0\0", 4) + std::string(24, '\0') + "\x04";
        EXPECT_EQ(payload, want) << n;
        EXPECT_EQ(unpack(payload, n), std::string(n, 'a'));
    }
}

TEST(DCBlockCodec, VerboseLinesInOrder) {
    Settings s(false, true);
    std::ostringstream captured;
    std::streambuf* old = std::cout.rdbuf(captured.rdbuf());
    std::string payload;
    try {
        payload = pack("banana");
        unpack(payload, 6);
    } catch (...) {
        std::cout.rdbuf(old);
        throw;
    }
    std::cout.rdbuf(old);
    std::vector<std::string> prefixes;
    std::istringstream lines(captured.str());
    for (std::string l; std::getline(lines, l);) prefixes.push_back(l.substr(0, l.find(':') + 1));
    const std::vector<std::string> want = {
        "   Performing BWT...", "      First suffix index:", "   Performing DC coding...",
        "      Size of data after DC:", "   Coding data to arithmetic stream...", "      Number of symbols:",
        "   BWT time:", "   DC time:", "   Adaptive arithmetic time:", "   Block compression time:",
        "   Decoding data from arithmetic stream, performing iDC...", "      Number of symbols:",
        "      First suffix index:", "      Size of DC data:", "   Performing iBWT...",
        "   iDC + adaptive arithmetic time:", "   iBWT time:", "   Block decompression time:"};
    // Lines without a colon keep their whole text, the rest up to it.
    std::vector<std::string> wantPrefixes;
    for (const std::string& w : want) wantPrefixes.push_back(w.substr(0, w.find(':') + 1));
    EXPECT_EQ(prefixes, wantPrefixes);
    EXPECT_NE(captured.str().find("      Number of symbols: 7\n"), std::string::npos);
}

// A pass-through payload from raw fields: first suffix index, DC data
// length, then the values.
std::string craft(unsigned first, unsigned count, const std::vector<unsigned>& values) {
    std::ostringstream os;
    {
        StreamOutBitStream bits(os, 16);
        bits.reset();
        bits.putBits(first, 32);
        bits.putBits(count, 32);
        PassThruCoder c(bits);
        for (unsigned v : values) c.encode(v);
        bits.flush();
    }
    return os.str();
}

std::vector<unsigned> header(std::vector<std::pair<unsigned, unsigned>> nonzero) {
    std::vector<unsigned> h(256, 0);
    for (auto [sym, v] : nonzero) h[sym] = v;
    return h;
}

std::vector<unsigned> operator+(std::vector<unsigned> a, const std::vector<unsigned>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(DCBlockCodec, RejectsDamagedPayloads) {
    Settings s(true);
    const std::vector<unsigned> aOnly = header({{'a', 1}});
    struct Case {
        const char* what;
        unsigned size;
        std::string payload;
        const char* message;
    };
    const Case cases[] = {
        {"first index = size", 4, craft(4, 98, aOnly), "first suffix index out of range"},
        {"first index huge", 4, craft(0xFFFFFFFFu, 98, aOnly), "first suffix index out of range"},
        {"length above 256 + size", 4, craft(0, 261, aOnly + std::vector<unsigned>(5, 0)),
         "DC data length out of range"},
        {"header past the block", 4, craft(0, 98, header({{'a', 5}})), "DC run start outside the block"},
        {"run past the block", 4, craft(0, 257, header({{'a', 1}, {'b', 2}}) + std::vector<unsigned>{2}),
         "DC run start outside the block"},
        {"values after the block is full", 4, craft(0, 258, aOnly + std::vector<unsigned>{0, 0}),
         "invalid DC data"},
        {"no symbols", 4, craft(0, 0, {}), "invalid DC data"},
        {"prefix too wide", 4, craft(0, 1, {}) + std::string(8, '\xff'), "invalid pass-through code"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            unpack(c.payload, c.size);
            ADD_FAILURE() << "accepted";
        } catch (const Exception& e) {
            EXPECT_EQ(e.what(), std::string("Error in compressed file (") + c.message + ")");
        }
    }
    // The largest length the compressor writes (256 + one value per byte)
    // passes the length check.
    EXPECT_NO_THROW(unpack(craft(0, 260, header({{'a', 1}, {'b', 1}}) + std::vector<unsigned>{1, 1, 0, 0}), 4));
}

// Blocks on either side of the choice between the run decoders (a run per
// five bytes) and at its ends, on one thread and with the values decoded
// ahead, on memory of their own and on a worker's kept memory after a
// damaged block: intact they round trip, damaged they fail or not alike.
TEST(DCBlockCodec, EitherRunDecoderIntactAndDamaged) {
    Settings s(false);
    std::mt19937 rng(29);
    const unsigned n = 200000;
    std::string periodic(n, '\0');
    for (unsigned i = 0; i < n; ++i) periodic[i] = "abc"[i % 3];
    // Random bytes give the transform a run per byte, the periodic rest few.
    auto mixed = [&](double runsPerByte) {
        const unsigned k = static_cast<unsigned>(runsPerByte * n);
        return testutil::randomBytes(k, 256, k) + periodic.substr(k);
    };
    const std::pair<const char*, std::string> blocks[] = {
        {"all equal", std::string(n, 'q')}, {"periodic", periodic},     {"0.17 runs per byte", mixed(0.17)},
        {"0.23 runs per byte", mixed(0.23)}, {"random", mixed(1.0)}};
    BlockScratch kept;  // one worker's memory, for every block
    for (const auto& [name, block] : blocks) {
        const std::string payload = pack(block);
        std::string damaged = payload;
        for (int k = 0; k < 3; ++k) damaged[8 + rng() % (damaged.size() - 8)] ^= static_cast<char>(1 + rng() % 255);
        std::string first;
        for (BlockScratch* scratch : {static_cast<BlockScratch*>(nullptr), &kept})
            for (unsigned threads : {1u, 2u}) {
                SCOPED_TRACE(std::string(name) + ", threads " + std::to_string(threads) +
                             (scratch ? ", kept memory" : ""));
                current.threads = threads;
                current.scratch = scratch;
                std::string result;
                try {
                    result = unpack(damaged, n);
                } catch (const Exception& e) {
                    result = e.what();
                }
                if (first.empty()) first = result;
                EXPECT_EQ(result, first);
                ASSERT_EQ(unpack(payload, n), block);
            }
        current.scratch = nullptr;
    }
    current.threads = 1;
}

TEST(DCBlockCodec, ArithmeticDecoderSurvivesGarbage) {
    Settings s(false);
    std::mt19937 rng(7);
    unsigned rejected = 0;
    for (int i = 0; i < 300; ++i) {
        std::string payload = pack(testutil::textLike(2000, i));
        for (int k = 0; k < 3; ++k) payload[rng() % payload.size()] ^= static_cast<char>(1 + rng() % 255);
        try {
            unpack(payload, 2000);
        } catch (const Exception& e) {
            ++rejected;
            EXPECT_EQ(std::string(e.what()).rfind("Error in compressed file (", 0), 0u) << e.what();
        }
    }
    EXPECT_GT(rejected, 0u);
}

}  // namespace

// Blocks with enough values for a second thread (the distance values
// worked out in chunks ahead of the coder), given or borrowed from cores
// other blocks left: the payload of one thread, and the core given back.
// Among them runs longer than a chunk, a block of one run (only the
// header is coded), and a tail of bytes seen nowhere else (trailing zeros).
TEST(DCBlockCodec, SecondThreadCodesTheSamePayload) {
    std::string longRuns;
    for (unsigned k = 0; longRuns.size() < 400000; ++k) longRuns.append(1000 + (k * 37813) % 90000, char('a' + k % 7));
    for (bool pass : {false, true}) {
        Settings s(pass);
        for (const std::string& block :
             {testutil::randomBytes(300000, 256, 8), testutil::textLike(400000, 9), testutil::randomBytes(300000, 3, 10),
              longRuns, std::string(300000, 'q'), testutil::textLike(300000, 11) + "\x01\x02\x03\xff"}) {
            const std::string what = std::string(pass ? "pass-through" : "arithmetic") + ", size " +
                                     std::to_string(block.size());
            current.threads = 1;
            const std::string one = pack(block);
            current.threads = 2;
            ASSERT_EQ(pack(block), one) << what;
            SpareCores spare(2);
            spare.lastBlockStarted();
            current.threads = 1;
            current.spareCores = &spare;
            ASSERT_EQ(pack(block), one) << what << ", borrowed";
            EXPECT_EQ(spare.borrow(2), 2u) << what;
            current.spareCores = nullptr;
        }
    }
}

// Blocks with enough values to be decoded on a second thread, given or
// borrowed: the result, and for damaged payloads the error, are those of one
// thread, and a borrowed core comes back also when the block fails.
TEST(DCBlockCodec, SecondThreadGivesTheSameResultAndError) {
    std::mt19937 rng(11);
    for (bool pass : {false, true}) {
        Settings s(pass);
        unsigned errors = 0;
        const std::string block = testutil::randomBytes(150000, 256, 5) + testutil::textLike(60000, 6);
        const std::string payload = pack(block);
        std::vector<std::string> payloads = {payload};
        // Damage spread over the payload: early, middle, and near the end
        // of the values, and a truncation.
        for (double at : {0.01, 0.5, 0.97}) {
            std::string p = payload;
            for (int k = 0; k < 4; ++k) p[static_cast<std::size_t>(at * p.size()) + rng() % 64] ^= 0x5A;
            payloads.push_back(p);
        }
        payloads.push_back(payload.substr(0, payload.size() / 2));
        for (std::size_t i = 0; i < payloads.size(); ++i) {
            SCOPED_TRACE(std::string(pass ? "pass-through " : "arithmetic ") + std::to_string(i));
            std::string results[3];
            SpareCores spare(2);
            spare.lastBlockStarted();
            for (unsigned k = 0; k < 3; ++k) {
                current.threads = k == 1 ? 2 : 1;
                current.spareCores = k == 2 ? &spare : nullptr;
                try {
                    results[k] = "ok " + unpack(payloads[i], static_cast<unsigned>(block.size()));
                } catch (const Exception& e) {
                    results[k] = e.what();
                }
            }
            current.spareCores = nullptr;
            EXPECT_EQ(results[0], results[1]);
            EXPECT_EQ(results[0], results[2]);
            EXPECT_EQ(spare.borrow(2), 2u);
            if (i == 0) {
                EXPECT_EQ(results[1], "ok " + block);
            } else if (results[1].rfind("ok ", 0) != 0) {
                ++errors;
            }
        }
        // Most damage is caught by the run checks, some of it on each side
        // of a chunk the other thread hands over.
        EXPECT_GE(errors, 2u);
    }
}
