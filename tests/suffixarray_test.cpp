#include "suffixarray.h"
#include "suffixsortparallel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

using Sorter = Sadakane<std::uint32_t>;
constexpr std::uint32_t marker = 0x80000000u;

// All n + 1 suffix starts in order, the empty suffix first.
std::vector<std::uint32_t> naiveOrder(const std::string& s) {
    std::vector<std::uint32_t> order(s.size() + 1);
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) {
        return s.compare(x, std::string::npos, s, y, std::string::npos) < 0;
    });
    return order;
}

// Runs the sorter as the transform does, or with the grouping depth `k`.
void sortBlock(Sorter& sorter, const std::string& s, unsigned k) {
    if (k == 0) {
        sorter.makeTables(s.data(), s.data() + s.size());
        sorter.suffixSort(1);
    } else {
        sorter.makeTables2(s.data(), s.data() + s.size(), k);
        sorter.suffixSort(k);
    }
}

void expectSorted(const std::string& s, unsigned k) {
    Sorter sorter;
    sortBlock(sorter, s, k);
    const auto order = naiveOrder(s);
    const std::uint32_t n1 = static_cast<std::uint32_t>(s.size() + 1);
    ASSERT_EQ(sorter.numSuffixes, n1);
    ASSERT_EQ(sorter.I[0], marker + n1);
    for (std::uint32_t p = 0; p < n1; ++p)
        ASSERT_EQ(sorter.V[order[p]], p + 1) << "size " << s.size() << " k " << k << " position " << p;
}

std::string fibonacciWord(std::size_t n) {
    std::string a = "a", b = "ab";
    while (b.size() < n) {
        std::string c = b + a;
        a = std::move(b);
        b = std::move(c);
    }
    b.resize(n);
    return b;
}

// Structured and random blocks of size n, each kind seeded by n.
std::vector<std::string> blocksOfSize(std::size_t n) {
    std::vector<std::string> out;
    out.push_back(testutil::randomBytes(n, 256, static_cast<std::uint32_t>(n)));
    out.push_back(testutil::randomBytes(n, 2, static_cast<std::uint32_t>(n) + 7777));
    out.push_back(testutil::textLike(n, static_cast<std::uint32_t>(n)));
    out.push_back(std::string(n, '\xff'));
    out.push_back(fibonacciWord(n));
    std::string periodic(n, '\0');
    for (std::size_t i = 0; i < n; ++i) periodic[i] = static_cast<char>("\x80\x01\x80"[i % 3]);
    out.push_back(periodic);
    std::string runs;
    std::mt19937 rng(static_cast<std::uint32_t>(n) * 31u);
    while (runs.size() < n) runs.append(rng() % 40 + 1, static_cast<char>('a' + rng() % 3));
    runs.resize(n);
    out.push_back(runs);
    return out;
}

TEST(SadakaneKnown, OneByteBlock) {
    for (unsigned c : {0u, 65u, 255u}) {
        Sorter sorter;
        const std::string s(1, static_cast<char>(c));
        sortBlock(sorter, s, 0);
        EXPECT_EQ(sorter.I[0], 0x80000002u);
        EXPECT_EQ(sorter.V[0], 2u);
        EXPECT_EQ(sorter.V[1], 1u);
    }
}

TEST(SadakaneKnown, BananaGroupingAndOrder) {
    const std::string s = "banana";
    Sorter sorter;
    sorter.makeTables2(s.data(), s.data() + s.size(), 4);
    const std::uint32_t grouped[] = {5, 4, 7, 3, 6, 2, 1};
    for (unsigned x = 0; x < 7; ++x) EXPECT_EQ(sorter.V[x], grouped[x]) << x;
    for (unsigned p = 0; p < 7; ++p) EXPECT_EQ(sorter.I[p], 0x80000001u) << p;
    sorter.suffixSort(4);
    EXPECT_EQ(sorter.I[0], 0x80000007u);
    const std::uint32_t rank[] = {3, 2, 5, 1, 4, 0};
    for (unsigned x = 0; x < 6; ++x) EXPECT_EQ(sorter.V[x] - 2, rank[x]) << x;
}

TEST(SadakaneKnown, AbracadabraOnlyAbraIsLeft) {
    const std::string s = "abracadabra";
    Sorter sorter;
    sorter.makeTables2(s.data(), s.data() + s.size(), 4);
    std::vector<std::uint32_t> group = {sorter.I[2], sorter.I[3]};
    std::sort(group.begin(), group.end());
    EXPECT_EQ(group, (std::vector<std::uint32_t>{0, 7}));
    EXPECT_EQ(sorter.V[0], 4u);
    EXPECT_EQ(sorter.V[7], 4u);
    for (unsigned p = 0; p < 12; ++p)
        if (p != 2 && p != 3) {
            EXPECT_EQ(sorter.I[p], 0x80000001u) << p;
        }
    EXPECT_EQ(sorter.V[4], 9u);
    EXPECT_EQ(sorter.V[11], 1u);
    sorter.suffixSort(4);
    EXPECT_EQ(sorter.V[7], 3u);
    EXPECT_EQ(sorter.V[0], 4u);
}

TEST(SadakaneKnown, EqualBytesSortShorterFirst) {
    for (std::size_t n : {2u, 4u, 5u, 6u, 100u, 4097u}) {
        const std::string s(n, 'z');
        Sorter sorter;
        sortBlock(sorter, s, n > 4 ? 4 : 0);
        for (std::size_t x = 0; x < n; ++x) ASSERT_EQ(sorter.V[x] - 2, n - 1 - x) << n;
    }
}

TEST(SadakaneKnown, HighBytesSortAfterLowBytes) {
    std::string s;
    for (unsigned c = 255; c >= 128; --c) s += static_cast<char>(c);
    for (unsigned c = 0; c < 128; ++c) s += static_cast<char>(c);
    Sorter sorter;
    sortBlock(sorter, s, 4);
    for (unsigned x = 0; x < 256; ++x) {
        const unsigned c = static_cast<unsigned char>(s[x]);
        ASSERT_EQ(sorter.V[x] - 2, c) << x;
    }
}

// The grouping alone: V[x] counts the suffixes whose k-byte prefix (cut at
// the block end) is at most that of x, and exactly the singletons are marked.
void expectGroupedBy(const Sorter& sorter, const std::string& s, unsigned k, const std::string& what) {
    std::vector<std::string> prefixes;
    for (std::size_t x = 0; x <= s.size(); ++x) prefixes.push_back(s.substr(x, k));
    std::vector<std::string> sorted = prefixes;
    std::sort(sorted.begin(), sorted.end());
    std::map<std::uint32_t, unsigned> groupSize;
    for (std::size_t x = 0; x <= s.size(); ++x) {
        const auto end = std::upper_bound(sorted.begin(), sorted.end(), prefixes[x]);
        ASSERT_EQ(sorter.V[x], static_cast<std::uint32_t>(end - sorted.begin())) << what << " x " << x;
        ++groupSize[sorter.V[x]];
    }
    for (std::uint32_t p = 0; p <= s.size(); ++p) {
        const std::uint32_t e = sorter.I[p];
        if (e & marker) {
            ASSERT_EQ(e, 0x80000001u) << what << " position " << p;
            continue;
        }
        ASSERT_GT(groupSize[sorter.V[e]], 1u) << what << " position " << p;
        ASSERT_LT(p, sorter.V[e]) << what << " position " << p;
        ASSERT_GE(p + groupSize[sorter.V[e]], sorter.V[e]) << what << " position " << p;
    }
}

TEST(SadakaneGrouping, EveryDepthMatchesPrefixCount) {
    for (unsigned k : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 12u, 16u, 17u, 23u}) {
        for (const std::string& s : blocksOfSize(97)) {
            Sorter sorter;
            sorter.makeTables2(s.data(), s.data() + s.size(), k);
            expectGroupedBy(sorter, s, k, "k " + std::to_string(k));
        }
    }
}

// The 4-byte grouping numbers its groups from marks set while it places the
// suffixes, not from the text: every size around the short suffixes, groups
// that cross the threads' slices (one byte, period 2 and 3) and the extreme
// byte values, on one thread and on teams.
TEST(SadakaneGrouping, FourBytesMatchPrefixCountOnEveryThreadCount) {
    std::vector<std::size_t> sizes;
    for (std::size_t n = 5; n <= 40; ++n) sizes.push_back(n);
    for (std::size_t n : {63u, 64u, 65u, 255u, 256u, 257u, 1023u, 1200u, 4099u}) sizes.push_back(n);
    for (std::size_t n : sizes) {
        std::vector<std::string> blocks = blocksOfSize(n);
        blocks.push_back(std::string(n, '\0'));
        std::string period2(n, '\0'), edges(n, '\0');
        for (std::size_t i = 0; i < n; ++i) {
            period2[i] = i % 2 ? '\xff' : '\0';
            edges[i] = (i * 7 % 5) < 2 ? '\xff' : '\0';
        }
        blocks.push_back(period2);
        blocks.push_back(edges);
        for (std::size_t k = 0; k < blocks.size(); ++k)
            for (unsigned threads : {1u, 2u, 3u, 8u}) {
                Sorter sorter(threads);
                sorter.makeTables2(blocks[k].data(), blocks[k].data() + n, 4);
                ASSERT_EQ(sorter.numSuffixes, n + 1);
                expectGroupedBy(sorter, blocks[k], 4,
                                "size " + std::to_string(n) + " kind " + std::to_string(k) + " threads " +
                                    std::to_string(threads));
            }
    }
}

// The grouping on several threads leaves exactly the tables of one thread,
// markers included, whatever group straddles the threads' slices.
TEST(SadakaneThreads, GroupingMatchesOneThread) {
    for (std::size_t n : {5u, 6u, 7u, 8u, 9u, 17u, 64u, 97u, 300u, 1201u, 5000u})
        for (const std::string& s : blocksOfSize(n)) {
            Sorter one;
            one.makeTables2(s.data(), s.data() + s.size(), 4);
            // Up to four threads, the slices of the second pass follow buckets.
            for (unsigned threads : {2u, 3u, 4u, 5u, 8u}) {
                Sorter team(threads);
                team.makeTables2(s.data(), s.data() + s.size(), 4);
                ASSERT_EQ(team.numSuffixes, one.numSuffixes);
                for (std::uint32_t p = 0; p <= n; ++p) {
                    ASSERT_EQ(team.I[p], one.I[p]) << "size " << n << " threads " << threads << " position " << p;
                    ASSERT_EQ(team.V[p], one.V[p]) << "size " << n << " threads " << threads << " suffix " << p;
                }
            }
        }
}

// The three suffixes shorter than four bytes are placed apart from the
// counting passes: endings that tie with the first bytes of many longer
// suffixes, that sort first or last, and that equal each other's prefixes.
TEST(SadakaneThreads, GroupingPlacesTheShortSuffixes) {
    const std::string endings[] = {std::string(3, '\0'), "\xff\xff\xff", "ab\0", "abc", "aaa", "ba\xff",
                                   std::string("\0\xff\0", 3), "zzz"};
    for (std::size_t e = 0; e < std::size(endings); ++e)
        for (const std::string& body : {std::string(40, 'a'), testutil::randomBytes(200, 3, 5),
                                        std::string("abcab\0abc\0\0ab\xff\xff" "abc", 18)}) {
            const std::string s = body + endings[e];
            Sorter one;
            one.makeTables2(s.data(), s.data() + s.size(), 4);
            for (unsigned threads : {2u, 3u}) {
                Sorter team(threads);
                team.makeTables2(s.data(), s.data() + s.size(), 4);
                for (std::uint32_t p = 0; p <= s.size(); ++p) {
                    ASSERT_EQ(team.I[p], one.I[p]) << "ending " << e << " position " << p;
                    ASSERT_EQ(team.V[p], one.V[p]) << "ending " << e << " suffix " << p;
                }
            }
        }
}

// The second counting pass splits the block among the threads at bucket
// starts of the first: one bucket larger than a thread's share (a block
// mostly of one byte, or of zeros ending in other bytes), or many small ones.
TEST(SadakaneThreads, GroupingOfSkewedBlocksMatchesOneThread) {
    const std::size_t n = 200000;
    std::string mostlyOne = testutil::randomBytes(n, 256, 11);
    for (std::size_t i = 0; i < n; ++i)
        if (i % 10 != 0) mostlyOne[i] = 'e';
    std::string zerosThenText = std::string(n / 2, '\0') + testutil::textLike(n / 2, 12);
    for (const std::string& s : {mostlyOne, zerosThenText, testutil::textLike(n, 13)}) {
        Sorter one;
        one.makeTables2(s.data(), s.data() + s.size(), 4);
        for (unsigned threads : {2u, 3u, 4u}) {
            Sorter team(threads);
            team.makeTables2(s.data(), s.data() + s.size(), 4);
            for (std::uint32_t p = 0; p <= n; ++p) {
                ASSERT_EQ(team.I[p], one.I[p]) << "threads " << threads << " position " << p;
                ASSERT_EQ(team.V[p], one.V[p]) << "threads " << threads << " suffix " << p;
            }
        }
    }
}

// Blocks large enough for many chunks and batches per thread, each thread
// storing numbers while the others read keys.
TEST(SadakaneThreads, LargerBlocksMatchOneThread) {
    for (std::size_t n : {4099u, 70000u, 300000u}) {
        std::vector<std::string> blocks = {testutil::textLike(n, 3), testutil::randomBytes(n, 4, 9), fibonacciWord(n)};
        std::string periodic(n, '\0');
        for (std::size_t i = 0; i < n; ++i) periodic[i] = static_cast<char>('a' + i % 27);
        blocks.push_back(periodic);
        for (std::size_t k = 0; k < blocks.size(); ++k) {
            const std::string& s = blocks[k];
            Sorter one;
            sortBlock(one, s, 4);
            for (unsigned threads : {2u, 3u, 8u}) {
                Sorter team(threads);
                sortBlock(team, s, 4);
                ASSERT_EQ(team.I[0], marker + n + 1);
                for (std::uint32_t x = 0; x <= n; ++x)
                    ASSERT_EQ(team.V[x], one.V[x]) << "size " << n << " kind " << k << " threads " << threads;
            }
        }
    }
}

// A thread reading keys checks them against the batches the others stored
// meanwhile: which batches a pair of counts covers, and which keys name a
// group inside a batch's places.
TEST(SadakaneThreads, BatchWindowsAndKeyRanges) {
    struct Window {
        std::uint64_t before, after;
        bool any;
        std::uint64_t first, last;
    };
    const Window windows[] = {
        {0, 0, false, 0, 0},  // nothing stored
        {4, 4, false, 0, 0},  // two stored before, none since
        {5, 5, true, 2, 2},   // the third under way throughout
        {4, 5, true, 2, 2},   // the third begun
        {4, 6, true, 2, 2},   // the third begun and done
        {5, 6, true, 2, 2},   // the third done
        {5, 9, true, 2, 4},   // the third done, the fourth, the fifth begun
        {0, 1, true, 0, 0},
    };
    for (const Window& w : windows) {
        const BatchesBetween b = batchesBetween(w.before, w.after);
        EXPECT_EQ(b.any, w.any) << w.before << " " << w.after;
        if (w.any) {
            EXPECT_EQ(b.first, w.first) << w.before << " " << w.after;
            EXPECT_EQ(b.last, w.last) << w.before << " " << w.after;
        }
    }
    // Places [10, 20): its groups' numbers are 11 ... 20.
    const std::pair<std::uint32_t, bool> keys[] = {{9, false}, {10, false}, {11, true}, {20, true}, {21, false}};
    for (const auto& k : keys) EXPECT_EQ(keyInPlaces(k.first, 10, 20), k.second) << k.first;
    EXPECT_FALSE(keyInPlaces(0, 0, 5));
    EXPECT_TRUE(keyInPlaces(1, 0, 5));
    EXPECT_FALSE(keyInPlaces(0xFFFFFFFFu, 0, 5));
}

// More threads than cores, sorting blocks of long repeats again and again:
// threads are descheduled in the middle of batches, so keys are read while
// others store, and every sort must still give the one order.
TEST(SadakaneThreads, RepeatedTeamSortsMatchOneThread) {
    const std::size_t n = 120000;
    const std::string text = testutil::textLike(n / 4, 21);
    const std::string repeats = text + text.substr(0, n / 8) + text + text.substr(n / 16);
    for (const std::string& s : {repeats, testutil::textLike(n, 22)}) {
        Sorter one;
        sortBlock(one, s, 4);
        for (int run = 0; run < 4; ++run) {
            Sorter team(8);
            sortBlock(team, s, 4);
            for (std::uint32_t x = 0; x <= s.size(); ++x) ASSERT_EQ(team.V[x], one.V[x]) << "run " << run << " suffix " << x;
        }
    }
}

// Batches of a few entries and a ring of two: readers mostly find more
// batches stored meanwhile than the ring tells, read again and in the end
// leave their groups to the cooperative splits (tandem splits included, on
// the periodic block).
TEST(SadakaneThreads, TinyBatchesAndRingMatchOneThread) {
    const std::size_t n = 60000;
    std::string periodic(n, '\0');
    for (std::size_t i = 0; i < n; ++i) periodic[i] = static_cast<char>('a' + i % 13);
    const std::string text = testutil::textLike(n / 2, 31);
    // A run of 45% of the block: its group fits a share, its tandem split
    // too, but not the scratch to read it again for a plain split.
    const std::string run = std::string(n * 45 / 100, 'a') + testutil::textLike(n - n * 45 / 100, 32);
    for (const std::string& s : {text + text, periodic, fibonacciWord(n), run}) {
        Sorter one;
        sortBlock(one, s, 4);
        // Tiny: every path, groups read again whole past a few keys;
        // middling: batches that see a few of the others' each, so single
        // keys are read again far more often than the ring runs over.
        const struct {
            std::size_t batch;
            unsigned ring;
            std::size_t reread;
        } tunings[] = {{16, 2, 3}, {512, 8, 4096}};
        for (const auto& tuning : tunings)
            for (unsigned threads : {2u, 3u, 8u}) {
                Sorter team(1);
                team.makeTables2(s.data(), s.data() + s.size(), 4);
                TeamTuning small;
                small.batchEntries = tuning.batch;
                small.ringSize = tuning.ring;
                small.rereadKeys = tuning.reread;
                parallelSuffixSort(team.I, team.V, team.numSuffixes, 4, threads, small);
                ASSERT_EQ(team.I[0], marker + s.size() + 1);
                for (std::uint32_t x = 0; x <= s.size(); ++x)
                    ASSERT_EQ(team.V[x], one.V[x]) << "threads " << threads << " batch " << tuning.batch << " suffix " << x;
            }
    }
}

// Small blocks give each thread a small share of the scratch, so the
// periodic and one-byte blocks also take the cooperative splits.
TEST(SuffixSortLong, EveryThreadCountMatchesNaiveSortForEverySmallSize) {
    // Under the sanitizers, ten times slower, every size to 300, then every
    // seventh.
    const std::size_t step = std::getenv("Q38_SANITIZED") ? 7 : 1;
    for (std::size_t n = 1; n <= 1200; n += n < 300 ? 1 : step)
        for (const std::string& s : blocksOfSize(n)) {
            const auto order = naiveOrder(s);
            for (unsigned threads : {1u, 2u, 3u, 8u}) {
                Sorter sorter(threads);
                sortBlock(sorter, s, n > 4 ? 4 : 0);
                ASSERT_EQ(sorter.I[0], marker + n + 1) << "size " << n << " threads " << threads;
                for (std::uint32_t p = 0; p <= n; ++p)
                    ASSERT_EQ(sorter.V[order[p]], p + 1) << "size " << n << " threads " << threads << " position " << p;
            }
        }
}

TEST(SadakaneOrder, MatchesNaiveSortForEverySmallSizeAndSomeLarger) {
    for (std::size_t n = 1; n <= 4100; n += (n < 1200 ? 1 : 373))
        for (const std::string& s : blocksOfSize(n)) expectSorted(s, n > 4 ? 4 : 0);
}

TEST(SadakaneOrder, OtherGroupingDepthsGiveTheSameOrder) {
    for (unsigned k : {1u, 2u, 3u, 6u, 8u, 16u, 20u})
        for (std::size_t n : {k + 1u, k + 2u, 50u, 333u})
            for (const std::string& s : blocksOfSize(n)) expectSorted(s, k);
    for (std::size_t n = 1; n <= 40; ++n)
        for (const std::string& s : blocksOfSize(n)) expectSorted(s, 0);
}

// ---- repeats: groups that recur a period d <= h on split in one pass

// `length` bytes repeating a pattern of `period` random bytes (one seed per
// period), then `tail`: an ending below or above the pattern's next byte
// decides whether the repeat's chains end before or after the group.
std::string periodicBlock(std::size_t period, std::size_t length, const std::string& tail) {
    const std::string unit = testutil::randomBytes(period, 200, static_cast<std::uint32_t>(period) * 13u, 20);
    std::string s;
    while (s.size() < length) s += unit;
    s.resize(length);
    return s + tail;
}

struct RepeatCase {
    std::string what, block;
};

std::vector<RepeatCase> repeatCases() {
    std::vector<RepeatCase> cases;
    const std::string tails[] = {"", std::string(1, '\0'), "\xff\xfe", "\x14zz"};
    for (std::size_t period : {1u, 2u, 3u, 7u, 27u, 64u, 100u})
        for (std::size_t length : {3000u, 9000u})
            for (std::size_t t = 0; t < std::size(tails); ++t)
                cases.push_back({"period " + std::to_string(period) + " length " + std::to_string(length) + " tail " +
                                     std::to_string(t),
                                 periodicBlock(period, length, tails[t])});
    // Runs of one byte inside text: spaces in source, zeros in binaries,
    // short and long, ending on smaller and larger bytes.
    {
        std::string text = testutil::textLike(12000, 5);
        std::mt19937 rng(11);
        for (std::size_t run : {5u, 9u, 70u, 300u, 1200u, 3000u})
            for (char c : {' ', '\0', 'z'}) text.insert(rng() % text.size(), std::string(run, c));
        cases.push_back({"runs in text", text});
    }
    for (std::size_t n : {3000u, 12000u}) cases.push_back({"fibonacci " + std::to_string(n), fibonacciWord(n)});
    // Random bytes with pieces repeated back to back and again elsewhere.
    for (std::uint32_t seed : {1u, 2u, 3u}) {
        std::string s = testutil::randomBytes(4000, seed == 3 ? 4 : 256, seed);
        std::mt19937 rng(seed);
        for (unsigned k = 0; k < 6; ++k) {
            const std::size_t len = 2 + rng() % 150, from = rng() % (s.size() - len);
            const std::string piece = s.substr(from, len);
            std::string copies;
            for (unsigned c = 0, times = 3 + rng() % 60; c < times; ++c) copies += piece;
            s.insert(rng() % s.size(), copies);
            s.insert(rng() % s.size(), copies.substr(0, copies.size() / 2));
        }
        cases.push_back({"random with repeats " + std::to_string(seed), s});
    }
    // Copies of one repeat with the same bytes after it, some as long as
    // others: the members where the repeats end form groups of several,
    // and so must the members brought in from each of those.
    for (std::size_t period : {1u, 3u, 27u}) {
        const std::string after = testutil::randomBytes(60, 256, 99);
        std::string s = testutil::randomBytes(500, 256, 7);
        for (std::size_t copies : {400u, 400u, 900u, 400u, 900u, 1300u}) {
            s += periodicBlock(period, copies, "") + after;
            s += testutil::randomBytes(100, 256, static_cast<std::uint32_t>(s.size()));
        }
        cases.push_back({"copies of period " + std::to_string(period), s});
    }
    // A period whose pattern repeats inside itself, and two periods in turn.
    std::string nested;
    while (nested.size() < 9000) nested += "aabaaabaab";
    cases.push_back({"nested period", nested});
    cases.push_back({"periods in turn", periodicBlock(5, 4000, "") + periodicBlock(27, 4000, "") +
                                            periodicBlock(5, 2000, "!")});
    return cases;
}

// The order on every thread count, against the naive sort.
TEST(SadakaneRepeats, MatchNaiveSortOnEveryThreadCount) {
    for (const RepeatCase& c : repeatCases()) {
        const auto order = naiveOrder(c.block);
        const std::uint32_t n1 = static_cast<std::uint32_t>(c.block.size() + 1);
        for (unsigned threads : {1u, 2u, 3u, 8u}) {
            Sorter sorter(threads);
            sortBlock(sorter, c.block, 4);
            ASSERT_EQ(sorter.I[0], marker + n1) << c.what << " threads " << threads;
            for (std::uint32_t p = 0; p < n1; ++p)
                ASSERT_EQ(sorter.V[order[p]], p + 1) << c.what << " threads " << threads << " position " << p;
        }
    }
}

// A sort on one thread that other blocks lend cores to hands its passes to a
// team: before its first pass (the team cuts the table itself) or after
// some (runs merged, it cuts where the last pass met groups). The same
// tables, and every core given back.
TEST(SadakaneThreads, BorrowedCoresTakeOverAtAnyPass) {
    for (std::size_t n : {70000u, 200000u}) {
        std::string runs;
        std::mt19937 rng(static_cast<std::uint32_t>(n));
        while (runs.size() < n) runs.append(rng() % 300 + 1, static_cast<char>('a' + rng() % 3));
        runs.resize(n);
        const std::string blocks[] = {testutil::textLike(n, 5), testutil::randomBytes(n, 4, 11), fibonacciWord(n),
                                      periodicBlock(27, n - 3, "\x14zz"), runs};
        for (std::size_t k = 0; k < std::size(blocks); ++k) {
            const std::string& s = blocks[k];
            Sorter one;
            sortBlock(one, s, 4);
            for (unsigned alone : {0u, 1u, 2u, 4u})
                for (unsigned cores : {2u, 4u}) {
                    const std::string what = "size " + std::to_string(n) + " kind " + std::to_string(k) +
                                             " passes alone " + std::to_string(alone) + " cores " +
                                             std::to_string(cores);
                    SpareCores spare(cores);
                    spare.lastBlockStarted();
                    Sorter lent(1, false, &spare);
                    lent.makeTables2(s.data(), s.data() + s.size(), 4);
                    lent.reserveSplitKeys(1u << 19);
                    unsigned h = 4;
                    for (unsigned p = 0; p < alone && lent.I[0] != marker + n + 1; ++p, h *= 2) lent.sortPass(h);
                    lent.suffixSort(h);
                    ASSERT_EQ(lent.I[0], marker + n + 1) << what;
                    for (std::uint32_t x = 0; x <= n; ++x) ASSERT_EQ(lent.V[x], one.V[x]) << what << " suffix " << x;
                    EXPECT_EQ(spare.borrow(cores), cores) << what;
                }
        }
    }
}

// After every pass at h, the tables must hold what the next pass at 2h
// relies on: each group a run of the sorted order numbered by its end, its
// neighbours in it sharing 2h bytes, I holding its members, and marking
// exactly the places of groups of one. A split that drew a group's bounds too wide
// could still come out right in the end; this sees it at once.
TEST(SadakaneRepeats, EveryPassLeavesGroupsOfTwiceTheDepth) {
    for (const RepeatCase& c : repeatCases()) {
        const std::string& s = c.block;
        const auto order = naiveOrder(s);
        const std::uint32_t n1 = static_cast<std::uint32_t>(s.size() + 1);
        Sorter sorter;
        sorter.makeTables2(s.data(), s.data() + s.size(), 4);
        sorter.reserveSplitKeys(n1);
        for (unsigned h = 4; sorter.I[0] != marker + n1; h *= 2) {
            sorter.sortPass(h);
            const std::string at = c.what + " after the pass at " + std::to_string(h);
            std::vector<bool> marked(n1, false);
            for (std::uint32_t p = 0; p < n1;) {
                const std::uint32_t e = sorter.I[p];
                const std::uint32_t len = e & marker ? e - marker : 1;
                for (std::uint32_t q = p; q < p + len; ++q) marked[q] = (e & marker) != 0;
                p += len;
            }
            for (std::uint32_t p = 0; p < n1; ++p) {
                const std::uint32_t end = sorter.V[order[p]];
                ASSERT_GE(end, p + 1) << at << " position " << p;
                if (p + 1 < n1 && sorter.V[order[p + 1]] == end) {
                    const std::size_t x = order[p], y = order[p + 1];
                    const std::size_t common = 2 * std::size_t(h);
                    ASSERT_TRUE(s.size() - std::max(x, y) >= common && s.compare(x, common, s, y, common) == 0)
                        << at << " position " << p << " shares fewer than 2h bytes with the next";
                } else {
                    ASSERT_EQ(end, p + 1) << at << " position " << p;
                }
                const bool alone = end == p + 1 && (p == 0 || sorter.V[order[p - 1]] != end);
                ASSERT_EQ(marked[p], alone) << at << " position " << p << (alone ? " alone but not marked" : " marked in a group of several");
                if (alone) continue;
                const std::uint32_t x = sorter.I[p];
                ASSERT_LT(x, n1) << at << " position " << p;
                ASSERT_EQ(sorter.V[x], end) << at << " position " << p << " holds a member of another group";
            }
        }
        sorter.reserveSplitKeys(0);
    }
}

// ---- the group sorts on their own, with keys that do not change meanwhile

struct GroupFixture {
    std::vector<std::uint32_t> Ibuf, Vbuf;
    Sorter sorter;
    explicit GroupFixture(const std::vector<std::uint32_t>& keys) {
        const std::uint32_t m = static_cast<std::uint32_t>(keys.size());
        // Suffixes 0 .. m - 1 stand at positions 0 .. m - 1; their keys are
        // V[m .. 2m - 1], apart from the V entries the sort writes.
        Ibuf.resize(m);
        std::iota(Ibuf.begin(), Ibuf.end(), 0u);
        Vbuf.assign(2 * m, 0xdeadu);
        std::copy(keys.begin(), keys.end(), Vbuf.begin() + m);
        sorter.I = Ibuf.data();
        sorter.V = Vbuf.data();
        sorter.Vh = Vbuf.data() + m;
        sorter.numSuffixes = m;
    }
};

// Checks the state a sort of positions [0, m) must leave: every suffix has V
// one past the last place of its key class, marked runs cover singleton
// classes only, and the members of larger classes fill their places.
void checkGroupSorted(const std::vector<std::uint32_t>& keys, const GroupFixture& f,
                      bool runsMerged) {
    const std::uint32_t m = static_cast<std::uint32_t>(keys.size());
    std::vector<std::uint32_t> sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    auto classEnd = [&](std::uint32_t key) {
        return static_cast<std::uint32_t>(std::upper_bound(sorted.begin(), sorted.end(), key) - sorted.begin());
    };
    auto classBegin = [&](std::uint32_t key) {
        return static_cast<std::uint32_t>(std::lower_bound(sorted.begin(), sorted.end(), key) - sorted.begin());
    };
    for (std::uint32_t x = 0; x < m; ++x) ASSERT_EQ(f.Vbuf[x], classEnd(keys[x])) << "suffix " << x;
    std::vector<bool> seen(m, false);
    bool previousMarked = false;
    for (std::uint32_t p = 0; p < m;) {
        const std::uint32_t e = f.Ibuf[p];
        if (e & marker) {
            const std::uint32_t len = e - marker;
            ASSERT_GE(len, 1u);
            ASSERT_LE(p + len, m);
            if (runsMerged) {
                ASSERT_FALSE(previousMarked) << "unmerged runs at " << p;
            }
            for (std::uint32_t q = p; q < p + len; ++q)
                ASSERT_EQ(classEnd(sorted[q]) - classBegin(sorted[q]), 1u) << "place " << q;
            p += len;
            previousMarked = true;
            continue;
        }
        ASSERT_LT(e, m);
        ASSERT_FALSE(seen[e]);
        seen[e] = true;
        ASSERT_GE(p, classBegin(keys[e]));
        ASSERT_LT(p, classEnd(keys[e]));
        ASSERT_GT(classEnd(keys[e]) - classBegin(keys[e]), 1u);
        previousMarked = false;
        ++p;
    }
}

TEST(SadakaneGroups, NetworksOnEveryKeyPattern) {
    for (unsigned m = 2; m <= 4; ++m) {
        unsigned patterns = 1;
        for (unsigned i = 0; i < m; ++i) patterns *= 4;
        for (unsigned code = 0; code < patterns; ++code) {
            std::vector<std::uint32_t> keys;
            for (unsigned i = 0, c = code; i < m; ++i, c /= 4) keys.push_back(c % 4 * 10);
            GroupFixture f(keys);
            if (m == 2) f.sorter.sort2(0);
            if (m == 3) f.sorter.sort3(0);
            if (m == 4) f.sorter.sort4(0);
            SCOPED_TRACE("m " + std::to_string(m) + " pattern " + std::to_string(code));
            checkGroupSorted(keys, f, true);
        }
    }
}

TEST(SadakaneGroups, NetworkMarkers) {
    {
        GroupFixture f({30, 10, 20});
        f.sorter.sort3(0);
        EXPECT_EQ(f.Ibuf[0], 0x80000003u);
    }
    {
        GroupFixture f({9, 5, 7, 9});
        f.sorter.sort4(0);
        EXPECT_EQ(f.Ibuf[0], 0x80000002u);
        EXPECT_EQ(f.Vbuf[0], 4u);
        EXPECT_EQ(f.Vbuf[3], 4u);
    }
    {
        GroupFixture f({8, 3});
        f.sorter.sort2(0);
        EXPECT_EQ(f.Ibuf[0], 0x80000002u);
        EXPECT_EQ(f.Ibuf[1], 1u);  // untouched
        EXPECT_EQ(f.Vbuf[1], 1u);
        EXPECT_EQ(f.Vbuf[0], 2u);
    }
}

TEST(SadakaneGroups, ThreeWaySplitOnRandomKeys) {
    std::mt19937 rng(2024);
    for (unsigned trial = 0; trial < 3000; ++trial) {
        const unsigned m = 5 + rng() % 60;
        const unsigned alphabet = 1 + rng() % (trial % 3 == 0 ? 3 : 70);
        std::vector<std::uint32_t> keys(m);
        for (auto& k : keys) k = rng() % alphabet;
        GroupFixture f(keys);
        f.sorter.ternaryQuickSort(0, m);
        SCOPED_TRACE("trial " + std::to_string(trial));
        checkGroupSorted(keys, f, false);
    }
}

// Splits that first copy their keys out, alone and below a top split done in
// place because the scratch is smaller than the group.
// Large groups sort by digits of their keys: narrow and wide key ranges (one
// to three digit passes), few distinct keys spread wide, and equal keys.
TEST(SadakaneGroups, GatheredSplitMatchesInPlaceSplit) {
    std::mt19937 rng(77);
    for (unsigned trial = 0; trial < 900; ++trial) {
        const bool large = trial >= 600;
        const unsigned m = large ? 256 + rng() % 3000 : 32 + rng() % 400;
        std::vector<std::uint32_t> keys(m);
        if (!large) {
            const unsigned alphabet = 1 + rng() % (trial % 3 == 0 ? 4 : 300);
            for (auto& k : keys) k = rng() % alphabet;
        } else {
            const std::uint32_t spans[] = {1, 2000, 1u << 20, 1u << 24, 0x7fffffffu};
            const std::uint32_t span = spans[trial % 5];
            const std::uint32_t base = rng() % 1000;
            std::vector<std::uint32_t> pool(trial % 2 == 0 ? 3 : m);
            for (auto& k : pool) k = base + rng() % span;
            for (auto& k : keys) k = pool[rng() % pool.size()];
        }
        const std::uint32_t scratch = trial % 2 == 0 ? m : 32 + rng() % (m - 31);
        GroupFixture inPlace(keys), gathered(keys);
        inPlace.sorter.ternaryQuickSort(0, m);
        gathered.sorter.reserveSplitKeys(scratch);
        gathered.sorter.ternaryQuickSort(0, m);
        SCOPED_TRACE("trial " + std::to_string(trial) + " scratch " + std::to_string(scratch));
        checkGroupSorted(keys, gathered, false);
        ASSERT_EQ(gathered.Vbuf, inPlace.Vbuf);
    }
}

}  // namespace
