#include "platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "testutil.h"

namespace {

// What a sort may borrow after each event of a run: cores no block being
// coded holds, and only once the last block has started.
TEST(SpareCores, LendsOnlyWhatNoBlockHoldsOnceTheLastHasStarted) {
    SpareCores spare(3);
    spare.blockStarted();
    spare.blockStarted();
    EXPECT_EQ(spare.borrow(3), 0u) << "a freed core waits for the next block";
    spare.blockEnded();
    EXPECT_EQ(spare.borrow(3), 0u) << "still before the last block";
    spare.blockStarted();
    spare.lastBlockStarted();
    EXPECT_EQ(spare.borrow(3), 1u) << "three cores, two held";
    EXPECT_EQ(spare.borrow(3), 0u) << "the one spare is lent";
    spare.blockEnded();
    EXPECT_EQ(spare.borrow(1), 1u);
    spare.giveBack(2);
    spare.blockEnded();
    EXPECT_EQ(spare.borrow(5), 3u) << "every core back";
}

TEST(SpareCores, LoanGivesBackWhenItEnds) {
    SpareCores spare(4);
    spare.lastBlockStarted();
    {
        const SpareCores::Loan a(&spare, 2);
        EXPECT_EQ(a.count(), 2u);
        const SpareCores::Loan b(&spare, 5);
        EXPECT_EQ(b.count(), 2u);
        const SpareCores::Loan none(nullptr, 5);
        EXPECT_EQ(none.count(), 0u);
    }
    EXPECT_EQ(spare.borrow(4), 4u);
}

// A late loan waits for a core no block holds once the last block has
// started, or for stop(); the core it got goes back when it ends.
TEST(SpareCores, LateLoanWaitsForAFreedCoreOrStop) {
    SpareCores spare(2);
    spare.blockStarted();
    spare.blockStarted();
    {
        SpareCores::LateLoan stopped(spare);
        std::thread waiter([&] { EXPECT_FALSE(stopped.wait()); });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        stopped.stop();
        waiter.join();
    }
    for (bool lastFirst : {true, false}) {
        SCOPED_TRACE(lastFirst ? "last block started, then one ended" : "one ended, then the last started");
        SpareCores s(2);
        s.blockStarted();
        s.blockStarted();
        {
            SpareCores::LateLoan late(s);
            std::atomic<bool> got{false};
            std::thread waiter([&] { got = late.wait(); });
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_FALSE(got);
            if (lastFirst) {
                s.lastBlockStarted();
            } else {
                s.blockEnded();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_FALSE(got) << "no core is spare yet";
            if (lastFirst) {
                s.blockEnded();
            } else {
                s.lastBlockStarted();
            }
            waiter.join();
            EXPECT_TRUE(got);
            EXPECT_EQ(s.borrow(2), 0u) << "the freed core is lent";
        }
        EXPECT_EQ(s.borrow(2), 1u) << "and back when the loan ends";
    }
}

}  // namespace

// Every index of [0, count) is visited exactly once, by the slice sliceBegin
// gives it, at any thread count and whichever starts the system refuses.
TEST(RunSlices, CoversEachIndexOnceInItsSliceWithTheThreadsItGets) {
    for (const std::size_t count : {std::size_t(0), std::size_t(1), std::size_t(5), std::size_t(1000)})
        for (const unsigned threads : {1u, 2u, 3u, 8u, 70u})
            for (const long starts : {-1L, 0L, 1L}) {
                failThreadStartsAfter(starts);
                const unsigned slices = threads > 64 ? 64 : threads;
                std::vector<std::atomic<int>> seen(count);
                std::atomic<bool> misplaced{false};
                runSlices(threads, count, [&](unsigned t, std::size_t from, std::size_t to) {
                    if (from != sliceBegin(count, slices, t) || to != sliceBegin(count, slices, t + 1))
                        misplaced = true;
                    for (std::size_t i = from; i < to; ++i) ++seen[i];
                });
                failThreadStartsAfter(-1);
                EXPECT_FALSE(misplaced) << count << " in " << threads << ", starts " << starts;
                for (std::size_t i = 0; i < count; ++i)
                    ASSERT_EQ(seen[i].load(), 1) << "index " << i << " of " << count << " in " << threads;
            }
}

// The four tables' counts add up, whatever is left over after the last
// whole group of four.
TEST(CountBytes, MatchesOneCountPerByte) {
    for (const std::size_t n : {std::size_t(0), std::size_t(1), std::size_t(3), std::size_t(4), std::size_t(7),
                                std::size_t(1001)})
        for (const unsigned alphabet : {1u, 3u, 256u}) {
            const std::string s = testutil::randomBytes(n, alphabet, static_cast<std::uint32_t>(n + alphabet),
                                                           alphabet == 256 ? 0 : 250);
            std::uint32_t counts[256], expected[256] = {};
            for (const char c : s) ++expected[static_cast<unsigned char>(c)];
            countBytes(reinterpret_cast<const unsigned char*>(s.data()), s.size(), counts);
            for (unsigned v = 0; v < 256; ++v) ASSERT_EQ(counts[v], expected[v]) << "byte " << v << ", size " << n;
        }
}

namespace {

// Every size gets writable memory of its length; from 1 MiB it starts on a
// huge page's edge, so that none of it is left to small pages.
TEST(AllocateLarge, GivesWholeAlignedHugePagesFromOneMebibyte) {
    constexpr std::size_t mib = std::size_t(1) << 20;
    for (const std::size_t bytes : {std::size_t(0), std::size_t(1), mib - 1, mib, 3 * mib + 5, 20 * mib}) {
        const LargeArray<unsigned char> a = allocateLargeArray<unsigned char>(bytes);
        ASSERT_NE(a.get(), nullptr) << bytes;
        if (bytes >= mib) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.get()) % (2 * mib), 0u) << bytes;
        }
        if (bytes > 0) {
            a[bytes - 1] = 2;
            EXPECT_EQ(a[bytes - 1], 2) << bytes;
            a[0] = 1;
            EXPECT_EQ(a[0], 1) << bytes;
        }
    }
}

// A vector on LargeAllocator: its contents survive growth from heap memory
// into whole huge pages, which it then has.
TEST(AllocateLarge, VectorGrowsOntoHugePages) {
    constexpr std::size_t mib = std::size_t(1) << 20;
    std::vector<char, LargeAllocator<char>> v;
    for (std::size_t i = 0; i < 3 * mib; ++i) v.push_back(static_cast<char>(i * 7));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.data()) % (2 * mib), 0u);
    for (std::size_t i = 0; i < v.size(); i += 4093) ASSERT_EQ(v[i], static_cast<char>(i * 7)) << i;
    std::vector<char, LargeAllocator<char>> w = v;
    EXPECT_TRUE(w == v);
}

}  // namespace
