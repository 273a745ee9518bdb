#include "inducedsort.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bwt.h"
#include "testutil.h"

// The induced sorter against prefix doubling, the reference: the suffix
// array, the transform and the primary index must agree on every block.
namespace {

struct Compared {
    bool same;
    std::string what;
};

Compared compareWithDoubling(const std::string& s, unsigned threads = 1) {
    const auto n = static_cast<std::uint32_t>(s.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(s.data());
    std::unique_ptr<std::uint32_t[]> sa(new std::uint32_t[n + 1]);
    sa[n] = 0xdeadbeef;  // a guard past the end
    inducedSuffixArray(bytes, n, sa.get(), threads);
    if (sa[n] != 0xdeadbeef) return {false, "wrote past the suffix array"};
    const std::unique_ptr<unsigned[]> expected =
        suffixArray(s.data(), s.data() + n, 1, false, nullptr, SortRoad::doubling);
    for (std::uint32_t r = 0; r < n; ++r)
        if (sa[r] != expected[r]) return {false, "suffix array differs at rank " + std::to_string(r)};

    // The transform by its definition from the reference order.
    std::string doubled = s, induced = s;
    unsigned index = 0;
    for (std::uint32_t r = 0; r < n; ++r) {
        doubled[r] = s[expected[r] == 0 ? n - 1 : expected[r] - 1];
        if (expected[r] == 0) index = r;
    }
    std::unique_ptr<std::uint32_t[]> work(new std::uint32_t[n + 1]);
    const unsigned inducedIndex = inducedTransform(reinterpret_cast<unsigned char*>(&induced[0]), n, work.get(), threads);
    if (inducedIndex != index) return {false, "primary index differs"};
    if (induced != doubled) return {false, "transform differs"};
    return {true, ""};
}

#define EXPECT_SAME_AS_DOUBLING(s, label, ...)                       \
    do {                                                              \
        const Compared c_ = compareWithDoubling(s, ##__VA_ARGS__);    \
        EXPECT_TRUE(c_.same) << (label) << ": " << c_.what;           \
    } while (0)

std::string repeatTo(const std::string& unit, std::size_t n) {
    std::string s;
    while (s.size() < n) s += unit;
    s.resize(n);
    return s;
}

std::string fibonacciWord(std::size_t n) {
    std::string a = "b", b = "a";
    while (b.size() < n) {
        std::string c = b + a;
        a = std::move(b);
        b = std::move(c);
    }
    return b.substr(0, n);
}

std::string thueMorse(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = __builtin_popcountll(i) % 2 ? 'b' : 'a';
    return s;
}

// The de Bruijn sequence of order k over `alphabet` symbols (Lyndon words
// concatenated in order), as bytes from 'a'.
std::string deBruijn(unsigned alphabet, unsigned k) {
    std::string out;
    std::vector<unsigned> a(k + 1, 0);
    std::function<void(unsigned, unsigned)> build = [&](unsigned t, unsigned p) {
        if (t > k) {
            if (k % p == 0)
                for (unsigned j = 1; j <= p; ++j) out += static_cast<char>('a' + a[j]);
            return;
        }
        a[t] = a[t - p];
        build(t + 1, p);
        for (unsigned j = a[t - p] + 1; j < alphabet; ++j) {
            a[t] = j;
            build(t + 1, t);
        }
    };
    build(1, 1);
    return out;
}

void checkEverySize(std::size_t from, std::size_t to) {
    for (const unsigned alphabet : {1u, 2u, 4u, 256u}) {
        for (std::size_t n = from; n <= to; ++n) {
            const std::string s = testutil::randomBytes(n, alphabet, static_cast<std::uint32_t>(n * 7 + alphabet));
            EXPECT_SAME_AS_DOUBLING(s, "alphabet " + std::to_string(alphabet) + " size " + std::to_string(n));
        }
    }
}

TEST(InducedSort, EverySizeOverSmallAndFullAlphabets) { checkEverySize(0, 500); }

TEST(InducedSortLong, EverySizeOverSmallAndFullAlphabets) { checkEverySize(501, 4096); }

TEST(InducedSort, RunsAndPeriodsWithAndWithoutTail) {
    for (std::size_t period = 1; period <= 40; ++period) {
        const std::string unit = testutil::randomBytes(period, 3, static_cast<std::uint32_t>(period), 'x');
        for (const std::size_t n : {period, 3 * period + 1, std::size_t(997), std::size_t(4096)}) {
            const std::string periodic = repeatTo(unit, n);
            EXPECT_SAME_AS_DOUBLING(periodic, "period " + std::to_string(period) + " size " + std::to_string(n));
            for (const char tail : {'\0', 'y', '\xff'}) {
                EXPECT_SAME_AS_DOUBLING(periodic + tail, "period " + std::to_string(period) + " with a tail");
                EXPECT_SAME_AS_DOUBLING(tail + periodic, "period " + std::to_string(period) + " with a head");
            }
        }
    }
    // Runs of one byte broken by others, and runs of alternating lengths.
    std::string runs;
    for (unsigned k = 1; runs.size() < 20000; ++k) runs += std::string(k % 50, static_cast<char>('a' + k % 3));
    EXPECT_SAME_AS_DOUBLING(runs, "runs");
    EXPECT_SAME_AS_DOUBLING(std::string(5000, 'a') + 'b' + std::string(5000, 'a'), "run broken once");
}

TEST(InducedSort, CombinatorialWords) {
    const struct {
        const char* name;
        std::string block;
    } cases[] = {
        {"fibonacci 1000", fibonacciWord(1000)},
        {"fibonacci 6765", fibonacciWord(6765)},
        {"fibonacci 6766", fibonacciWord(6766)},
        {"thue-morse 1024", thueMorse(1024)},
        {"thue-morse 3001", thueMorse(3001)},
        {"de bruijn 2^12", deBruijn(2, 12)},
        {"de bruijn 4^6", deBruijn(4, 6)},
        {"de bruijn 26^3", deBruijn(26, 3)},
    };
    for (const auto& c : cases) {
        EXPECT_SAME_AS_DOUBLING(c.block, c.name);
        // The same reversed and twice over (deep repeats).
        EXPECT_SAME_AS_DOUBLING(std::string(c.block.rbegin(), c.block.rend()), std::string(c.name) + " reversed");
        EXPECT_SAME_AS_DOUBLING(c.block + c.block, std::string(c.name) + " twice");
    }
}

TEST(InducedSort, ExtremeBytesAtTheEdges) {
    for (std::size_t n : {1u, 2u, 3u, 17u, 500u}) {
        const std::string middle = testutil::randomBytes(n, 256, static_cast<std::uint32_t>(n));
        for (const char left : {'\0', '\xff'})
            for (const char right : {'\0', '\xff'}) {
                const std::string label = "size " + std::to_string(n) + " edges " + std::to_string(int(left)) +
                                          "," + std::to_string(int(right));
                EXPECT_SAME_AS_DOUBLING(left + middle + right, label);
                EXPECT_SAME_AS_DOUBLING(std::string(n, left) + std::string(n, right), label + " halves");
            }
    }
}

// Blocks large enough for the reduced string to go to a team: text-like
// ones whose reduced strings repeat, random bytes (sorted by naming alone or
// one level down), a Fibonacci word (few names: recursion), and bytes
// alternating high and low, whose LMS positions are half the block, so the
// name counts of prefix doubling find no room in the array.
TEST(InducedSort, LargerBlocksOnTeams) {
    const std::string text = testutil::textLike(300000, 5);
    // Words of a large vocabulary: many names, so prefix doubling sorts them.
    std::string words;
    for (std::uint32_t k = 0; words.size() < 300000; ++k)
        words += testutil::randomBytes(3 + k % 7, 26, k % 3000, 'a') + ' ';
    std::string alternating = testutil::randomBytes(300000, 13, 11, 'a');
    for (std::size_t i = 0; i < alternating.size(); i += 2) alternating[i] = char(alternating[i] + 13);
    const struct {
        const char* name;
        std::string block;
    } cases[] = {
        {"text", text},
        {"text with a long repeat", text + text.substr(0, 100000)},
        {"words", words},
        {"words with long repeats", words + words.substr(5000, 100000) + words.substr(0, 50000)},
        {"random bytes", testutil::randomBytes(200000, 256, 9)},
        {"random bits", testutil::randomBytes(200000, 2, 10)},
        {"fibonacci", fibonacciWord(250000)},
        {"alternating", alternating},
        {"alternating with a tail", alternating + 'z'},
        // Runs over the bounds of the team's slices: a slice's last type
        // comes from beyond the next one, and decides whether the run
        // starts with an LMS position (after a larger byte).
        {"a run over the slice bounds, then a smaller byte",
         text.substr(0, 89999) + '~' + std::string(120000, 'm') + 'a' + text.substr(0, 89999)},
        {"a run over the slice bounds, then a larger byte",
         text.substr(0, 89999) + '~' + std::string(120000, 'm') + '~' + text.substr(0, 89999)},
        {"a run to the end", text.substr(0, 100000) + std::string(200000, 'm')},
    };
    for (const auto& c : cases)
        for (const unsigned threads : {1u, 2u, 3u})
            EXPECT_SAME_AS_DOUBLING(c.block, std::string(c.name) + " on " + std::to_string(threads), threads);
}

// The types are found 64 positions to a word, the top level's 16 bytes at a
// time, and a team's slices are whole words (of 300000 positions, three
// slices begin at 99968 and 200000, two at 150016): runs that end or begin
// right at such a bound, or cross it by one, and bytes on both sides of
// 0x80, which the 16-byte comparison must order unsigned.
TEST(InducedSort, RunsAtTheBoundsOfWordsAndSlices) {
    const std::string text = testutil::textLike(300000, 3);
    // Runs of 'm' over [begin, end) of each pair.
    const auto withRuns = [&text](std::initializer_list<std::pair<std::size_t, std::size_t>> runs) {
        std::string s = text;
        for (const auto& r : runs)
            for (std::size_t i = r.first; i < r.second; ++i) s[i] = 'm';
        return s;
    };
    std::string highAndLow = testutil::randomBytes(300000, 4, 21);
    for (char& c : highAndLow) c = "\x7f\x80\x00\xff"[static_cast<unsigned char>(c)];
    const struct {
        const char* name;
        std::string block;
    } cases[] = {
        {"a run ending at a slice bound", withRuns({{99000, 99968}})},
        {"a run beginning at a slice bound", withRuns({{99968, 101000}})},
        {"a run ending one past a slice bound", withRuns({{149000, 150017}})},
        {"a run beginning one before a slice bound", withRuns({{199999, 201000}})},
        {"a run over every slice bound to the end", withRuns({{99967, 300000}})},
        {"runs of 63, 64 and 65 over words", withRuns({{640, 703}, {1280, 1344}, {1919, 1984}})},
        {"bytes on both sides of 0x80", highAndLow},
    };
    for (const auto& c : cases)
        for (const unsigned threads : {1u, 2u, 3u})
            EXPECT_SAME_AS_DOUBLING(c.block, std::string(c.name) + " on " + std::to_string(threads), threads);
}

TEST(InducedSort, EmptyAndOneByteBlocks) {
    unsigned char one[1] = {'q'};
    std::uint32_t work[1] = {7};
    EXPECT_EQ(inducedTransform(one, 0, work), 0u);
    EXPECT_EQ(inducedTransform(one, 1, work), 0u);
    EXPECT_EQ(one[0], 'q');
    inducedSuffixArray(one, 1, work);
    EXPECT_EQ(work[0], 0u);
}

}  // namespace
