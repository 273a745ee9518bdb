// A process at its thread limit: every place that starts threads goes on
// with the ones it got, down to the caller alone, and gives the same output.
// failThreadStartsAfter(s) lets the first s starts succeed and refuses all
// later ones, so a sweep over s refuses each start of a run in turn.
#include "dc.h"
#include "platform.h"
#include "suffixarray.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bwt.h"
#include "testutil.h"

namespace {

// The limit is process-wide: lifted again whatever the test does.
class StartLimit {
public:
    explicit StartLimit(long starts) { failThreadStartsAfter(starts); }
    ~StartLimit() { failThreadStartsAfter(-1); }
    StartLimit(const StartLimit&) = delete;
    StartLimit& operator=(const StartLimit&) = delete;
};

TEST(ThreadStart, LimitRefusesLaterStartsUntilLifted) {
    std::atomic<int> ran{0};
    {
        StartLimit limit(1);
        std::thread a, b;
        EXPECT_TRUE(tryStartThread(a, [&] { ++ran; }));
        EXPECT_FALSE(tryStartThread(b, [&] { ++ran; }));
        EXPECT_FALSE(b.joinable());
        a.join();
    }
    std::thread c;
    EXPECT_TRUE(tryStartThread(c, [&] { ++ran; }));
    c.join();
    EXPECT_EQ(ran.load(), 2);
}

std::vector<std::uint32_t> ranks(const std::string& block, unsigned threads) {
    Sadakane<std::uint32_t> sorter(threads, false);
    sorter.makeTables2(block.data(), block.data() + block.size(), 4);
    sorter.suffixSort(4);
    return std::vector<std::uint32_t>(sorter.V, sorter.V + sorter.numSuffixes);
}

// Blocks that reach each part of the team: many small groups (text), one
// group of most of the block (split by all threads between barriers), and
// a long period (tandem splits).
std::vector<std::string> teamBlocks() {
    std::string periodic;
    while (periodic.size() < 100000) periodic += "abcabdabcab";
    return {testutil::textLike(120000, 5), std::string(90000, 'a') + testutil::randomBytes(30000, 3, 9, 'a'),
            periodic + testutil::textLike(1000, 6)};
}

// Two teams per sort (the 4-byte grouping, then the passes), so up to
// 2 (threads - 1) starts: every start of each team is refused in turn.
TEST(ThreadStart, SorterGivesTheSameOrderWithTheThreadsItGets) {
    for (const std::string& block : teamBlocks()) {
        const std::vector<std::uint32_t> expected = ranks(block, 1);
        for (unsigned threads : {2u, 3u, 4u, 8u})
            for (long starts = 0; starts <= 2 * long(threads - 1); ++starts) {
                const StartLimit limit(starts);
                ASSERT_EQ(ranks(block, threads), expected)
                    << "size " << block.size() << ", threads " << threads << ", starts " << starts;
            }
    }
}

// The induced sorter's team: the naming (two runs of slices), the reduced
// string's prefix doubling and the placing of its order (one run). A block
// of words from a large vocabulary takes all three.
TEST(ThreadStart, InducedSorterGivesTheSameTransformWithTheThreadsItGets) {
    std::string block;
    for (std::uint32_t k = 0; block.size() < 300000; ++k)
        block += testutil::randomBytes(3 + k % 7, 26, k % 3000, 'a') + ' ';
    const unsigned size = static_cast<unsigned>(block.size());
    std::string expected = block;
    const unsigned index = bwt(expected.data(), size, SuffixDumps{}, 1, false, nullptr, SortRoad::induced);
    for (unsigned threads : {2u, 3u})
        for (long starts = 0; starts <= 4 * long(threads - 1); ++starts) {
            const StartLimit limit(starts);
            std::string L = block;
            ASSERT_EQ(bwt(L.data(), size, SuffixDumps{}, threads, false, nullptr, SortRoad::induced), index);
            ASSERT_TRUE(L == expected) << "threads " << threads << ", starts " << starts;
        }
}

// The segment walks at a forced shape: two shared runs to build the row
// table, two to walk and copy out.
TEST(ThreadStart, InverseGivesTheBlockBackWithTheThreadsItGets) {
    const std::string text = testutil::textLike(1u << 17, 11);
    std::string L = text;
    const unsigned size = static_cast<unsigned>(L.size());
    const unsigned index = bwt(L.data(), size);
    for (unsigned threads : {2u, 3u, 8u})
        for (long starts = 0; starts <= 4 * long(threads - 1); ++starts)
            for (RowsChoice rows : {RowsChoice::table, RowsChoice::runs}) {
                const StartLimit limit(starts);
                std::string out(size, '\0');
                ibwtWithShape(out.data(), L.data(), size, index, threads, 3, 4096, false, rows);
                ASSERT_EQ(out, text) << "threads " << threads << ", starts " << starts;
            }
}

// The whole block codec: sort, the distance scan's two halves, the model
// running ahead, and in decoding the values decoded ahead.
TEST(ThreadStart, DistanceCodingGivesTheSameBytesWithTheThreadsItGets) {
    const std::string block = testutil::textLike(200000, 3) + testutil::randomBytes(100000, 16, 4, 'a');
    const unsigned size = static_cast<unsigned>(block.size());
    auto pack = [&](unsigned threads) {
        CodecOptions options;
        options.threads = threads;
        std::string data = block;
        std::ostringstream os;
        packBlockDCAdaptive(os, data.data(), size, options);
        return os.str();
    };
    const std::string expected = pack(1);
    for (unsigned threads : {2u, 3u, 8u})
        for (long starts = 0; starts <= 2 * long(threads - 1) + 3; ++starts) {
            const StartLimit limit(starts);
            ASSERT_EQ(pack(threads), expected) << "threads " << threads << ", starts " << starts;
            CodecOptions options;
            options.threads = threads;
            std::istringstream is(expected);
            std::string out(size, '\0');
            unpackBlockDCAdaptive(is, out.data(), size, options);
            ASSERT_EQ(out, block) << "threads " << threads << ", starts " << starts;
        }
}

}  // namespace
