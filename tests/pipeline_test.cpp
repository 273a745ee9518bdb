// The block pipeline: blocks finished in file order whatever order their
// coding ends in, never more coded at once than the workers nor more held
// than the workers and the blocks ahead, the first failure in file order
// raised, and the same under refused thread starts.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "pipeline.h"
#include "platform.h"

namespace {

struct TestBlock {
    int index = 0;
    int sleepMs = 0;  // the cost of coding it
    bool fails = false;
    bool failed = false;
    std::string coded;
};

struct Outcome {
    std::vector<std::string> events;  // "done i" and "finish i", in order
    std::vector<int> finished;      // block indexes in the order finished
    std::vector<std::string> lines;  // what finish saw
    std::string error;
    int mostCoding = 0;
    std::size_t mostHeld = 0;
};

// Feeds `costs.size()` blocks (block i sleeps costs[i] ms, the ones in
// `failing` throw) through a pipeline of `workers` and `ahead`, with thread
// starts refused after `startsAllowed` (negative: never). With `withDone`
// a done step runs too, failing for the blocks in `doneFailing`.
Outcome feed(unsigned workers, unsigned ahead, const std::vector<int>& costs, const std::vector<int>& failing,
             long startsAllowed, bool withDone = false, const std::vector<int>& doneFailing = {}) {
    Outcome r;
    std::atomic<int> coding{0};
    std::atomic<int> most{0};
    std::atomic<std::size_t> held{0};
    const auto code = [&](TestBlock& b) {
        const int now = ++coding;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(b.sleepMs));
        b.coded = "block " + std::to_string(b.index);
        --coding;
        if (b.fails) throw std::runtime_error("bad block " + std::to_string(b.index));
    };
    const auto done = [&](TestBlock& b) {
        r.events.push_back("done " + std::to_string(b.index));
        for (int f : doneFailing)
            if (f == b.index) throw std::runtime_error("done step failed " + std::to_string(b.index));
    };
    const auto finish = [&](TestBlock& b) {
        --held;
        r.events.push_back("finish " + std::to_string(b.index));
        r.finished.push_back(b.index);
        r.lines.push_back(b.failed ? "failed" : b.coded);
    };
    failThreadStartsAfter(startsAllowed);
    try {
        BlockPipeline<TestBlock> pipeline(workers, code, finish, ahead,
                                          withDone ? BlockPipeline<TestBlock>::Step(done) : nullptr);
        for (int i = 0; i < static_cast<int>(costs.size()); ++i) {
            pipeline.makeRoom();
            auto b = std::make_unique<TestBlock>();
            b->index = i;
            b->sleepMs = costs[i];
            for (int f : failing) b->fails = b->fails || f == i;
            r.mostHeld = std::max(r.mostHeld, ++held);
            pipeline.submit(std::move(b));
        }
        pipeline.drain();
    } catch (const std::exception& e) {
        r.error = e.what();
    }
    failThreadStartsAfter(-1);
    r.mostCoding = most.load();
    return r;
}

std::vector<int> upTo(int n) {
    std::vector<int> v;
    for (int i = 0; i < n; ++i) v.push_back(i);
    return v;
}

// A slow first block, then quick ones: those are coded while it runs, held
// until it is finished, and everything comes out in file order.
TEST(Pipeline, FileOrderWhateverOrderCodingEnds) {
    const std::vector<int> costs = {120, 1, 1, 1, 1, 30, 1, 0, 5};
    struct Case {
        unsigned workers, ahead;
        long starts;
    } cases[] = {{1, 0, -1}, {2, 0, -1}, {2, 4, -1}, {3, 6, -1}, {8, 16, -1}, {2, 4, 0}, {2, 4, 3}, {3, 6, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE("workers " + std::to_string(c.workers) + " ahead " + std::to_string(c.ahead) + " starts " +
                     std::to_string(c.starts));
        const Outcome r = feed(c.workers, c.ahead, costs, {}, c.starts);
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(r.finished, upTo(static_cast<int>(costs.size())));
        for (std::size_t i = 0; i < r.lines.size(); ++i) EXPECT_EQ(r.lines[i], "block " + std::to_string(i));
        EXPECT_LE(r.mostCoding, static_cast<int>(c.workers));
        EXPECT_LE(r.mostHeld, std::size_t(c.workers) + c.ahead + (c.workers > 1 ? 0 : 1));
    }
}

// The blocks ahead are what keeps a worker busy beside a slow block: with
// them every quick block is coded, and held, while the slow one is still
// coding (without them at most two blocks are held). The slow block's second
// leaves room for a loaded machine.
TEST(Pipeline, QuickBlocksCodedBesideASlowOne) {
    const std::vector<int> costs = {1000, 1, 1, 1, 1, 1};
    const Outcome r = feed(2, 4, costs, {}, -1);
    EXPECT_EQ(r.finished, upTo(6));
    EXPECT_EQ(r.mostHeld, 6u);
}

// A later block failing first: the earlier blocks are finished in order, the
// first failing block is finished as failed, its error is raised, and
// nothing after it is finished; the same under refused thread starts.
TEST(Pipeline, FirstFailureInFileOrder) {
    const std::vector<int> costs = {100, 1, 1, 40, 1, 1, 1};
    for (long starts : {-1L, 0L, 2L}) {
        for (unsigned workers : {1u, 2u, 3u}) {
            SCOPED_TRACE("workers " + std::to_string(workers) + " starts " + std::to_string(starts));
            const Outcome r = feed(workers, 2 * workers, costs, {3, 5}, starts);
            EXPECT_EQ(r.error, "bad block 3");
            // One worker prints straight to the console: nothing to finish
            // after a failure.
            const int finished = workers == 1 ? 3 : 4;
            EXPECT_EQ(r.finished, upTo(finished));
            ASSERT_EQ(r.lines.size(), std::size_t(finished));
            if (workers > 1) {
                EXPECT_EQ(r.lines[3], "failed");
            }
        }
    }
}

// The done step: once per block, before its finish step, as soon as its
// coding ends, so quick blocks pass it while a slow earlier one is still
// coding; its failure is the block's own and raised in file order.
TEST(Pipeline, DoneStepAsSoonAsCoded) {
    const auto indexOf = [](const Outcome& r, const std::string& event) {
        return std::find(r.events.begin(), r.events.end(), event) - r.events.begin();
    };
    const std::vector<int> costs = {400, 1, 1, 1, 30, 1};
    for (unsigned workers : {1u, 2u, 3u}) {
        SCOPED_TRACE("workers " + std::to_string(workers));
        const Outcome r = feed(workers, 2 * workers, costs, {}, -1, true);
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(r.finished, upTo(6));
        ASSERT_EQ(r.events.size(), 12u);
        for (int i = 0; i < 6; ++i) {
            const std::string n = std::to_string(i);
            EXPECT_EQ(std::count(r.events.begin(), r.events.end(), "done " + n), 1);
            EXPECT_LT(indexOf(r, "done " + n), indexOf(r, "finish " + n));
        }
        // The quick blocks are coded, and pass their done step, beside the slow first one.
        if (workers > 1) {
            for (int i = 1; i < 4; ++i) EXPECT_LT(indexOf(r, "done " + std::to_string(i)), indexOf(r, "finish 0"));
        }
    }
    struct Case {
        std::vector<int> codeFailing, doneFailing;
        std::string error;
        int finished;  // blocks finished, the failed one included
    } cases[] = {
        {{}, {2}, "done step failed 2", 3},
        {{}, {4, 1}, "done step failed 1", 2},
        {{3}, {2}, "done step failed 2", 3},
        {{1}, {3}, "bad block 1", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        const Outcome r = feed(2, 4, costs, c.codeFailing, -1, true, c.doneFailing);
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(r.finished, upTo(c.finished));
        ASSERT_FALSE(r.lines.empty());
        EXPECT_EQ(r.lines.back(), "failed");
        for (int f : c.codeFailing) EXPECT_EQ(std::count(r.events.begin(), r.events.end(), "done " + std::to_string(f)), 0);
    }
}

// Two per worker, bounded by the memory the blocks in flight leave.
TEST(Pipeline, BlocksAhead) {
    struct Case {
        unsigned workers;
        std::uint64_t budget, memory, bytes;
        unsigned expected;
    } cases[] = {
        {1, 0, 70, 10, 0},     // one worker: nothing to wait for
        {2, 0, 70, 10, 4},     // no bound
        {4, 0, 70, 10, 8},     //
        {2, 1000, 70, 10, 4},  // plenty
        {2, 170, 70, 10, 3},   // 30 left
        {2, 140, 70, 10, 0},   // none left
        {4, 100, 70, 10, 0},   // the workers alone are over it
        {2, 175, 70, 0, 4},    // no block size known
    };
    for (const Case& c : cases)
        EXPECT_EQ(blocksAhead(c.workers, c.budget, c.memory, c.bytes), c.expected)
            << c.workers << " " << c.budget << " " << c.memory << " " << c.bytes;
}

// The objects lent to the blocks being coded: each to one block at a time,
// and never more made than blocks coded at once, also when thread starts
// are refused and the calling thread codes.
TEST(Pipeline, LentObjectsNeverSharedNorMoreThanTheWorkers) {
    struct Scratch {
        std::atomic<int> users{0};
    };
    for (unsigned workers : {1u, 2u, 3u}) {
        for (long startsAllowed : {-1L, 4L}) {
            LendingPool<Scratch> pool;
            std::atomic<bool> shared{false};
            const auto code = [&](TestBlock& b) {
                const LendingPool<Scratch>::Loan scratch(pool);
                if (++(*scratch).users != 1) shared = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(b.sleepMs));
                --(*scratch).users;
            };
            failThreadStartsAfter(startsAllowed);
            {
                BlockPipeline<TestBlock> pipeline(workers, code, [](TestBlock&) {}, 2);
                for (int i = 0; i < 12; ++i) {
                    auto b = std::make_unique<TestBlock>();
                    b->sleepMs = (i * 7) % 5;
                    pipeline.submit(std::move(b));
                }
                pipeline.drain();
            }
            failThreadStartsAfter(-1);
            EXPECT_FALSE(shared) << workers << " workers";
            EXPECT_GE(pool.made(), 1u);
            EXPECT_LE(pool.made(), workers) << workers << " workers, starts " << startsAllowed;
        }
    }
}

}  // namespace
