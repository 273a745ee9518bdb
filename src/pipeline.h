// The block pipeline of both file drivers: blocks read on the calling
// thread, coded on worker threads, finished (written, their console lines
// printed) on the calling thread in file order, a block that can be written
// at its own place written as soon as it is coded; and the share of threads
// and memory between the blocks in flight.
#ifndef VEXAQ38_PIPELINE_H
#define VEXAQ38_PIPELINE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <thread>
#include <vector>

#include "platform.h"

// A block's coded bytes, on whole huge pages once large: only the pages
// written are faulted in, one per 2 MiB instead of 512.
using PayloadBytes = std::vector<char, LargeAllocator<char>>;

// An output stream's buffer that appends to a payload: a block's payload is
// coded into memory, so blocks can be coded on several threads and written
// in order.
class VectorOutBuf : public std::streambuf {
public:
    explicit VectorOutBuf(PayloadBytes& v) : bytes(v) {}

protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) bytes.push_back(traits_type::to_char_type(c));
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        bytes.insert(bytes.end(), s, s + n);
        return n;
    }

private:
    PayloadBytes& bytes;
};

// An input stream's buffer over bytes in memory, read in place.
class MemoryInBuf : public std::streambuf {
public:
    MemoryInBuf(const char* p, std::size_t n) {
        char* b = const_cast<char*>(p);  // never written: this buffer has no put area
        setg(b, b, b + n);
    }
};

// Blocks pass through three steps: read on the calling thread, coded on up to
// `workers` threads at once, finished on the calling thread in file order.
// With one worker nothing runs on another thread. A block coded ahead of an
// earlier one still being coded waits for its turn to be finished, so a
// slow block does not leave a core idle: up to `ahead` such blocks are held
// beside the ones being coded. An optional done step runs on the calling
// thread for each block as soon as its coding ends, in any order (not for a
// block whose coding failed; its own failure counts as the block's). A block
// whose thread the system refuses is coded on the calling thread; the blocks
// already started go on, and the output is the same.
template <class Block>
class BlockPipeline {
public:
    using Step = std::function<void(Block&)>;

    BlockPipeline(unsigned workerCount, Step codeStep, Step finishStep, unsigned aheadCount = 0,
                  Step doneStep = nullptr)
        : workers(workerCount), held(workerCount + aheadCount), code(std::move(codeStep)),
          finish(std::move(finishStep)), done(std::move(doneStep)) {}
    ~BlockPipeline() {
        for (auto& e : inFlight)
            if (e->thread.joinable()) e->thread.join();
    }
    BlockPipeline(const BlockPipeline&) = delete;
    BlockPipeline& operator=(const BlockPipeline&) = delete;

    // Waits until another block may be read: a worker is free and the
    // blocks held are within bounds.
    void makeRoom() {
        while (!inFlight.empty() && !settle(true)) {
        }
    }

    void submit(std::unique_ptr<Block> block) {
        if (workers <= 1) {
            code(*block);
            if (done) done(*block);
            finish(*block);
            return;
        }
        makeRoom();
        auto entry = std::make_unique<Entry>();
        entry->block = std::move(block);
        Entry* e = entry.get();
        {
            const std::lock_guard<std::mutex> lock(mutex);
            ++coding;
        }
        inFlight.push_back(std::move(entry));
        if (!tryStartThread(e->thread, [this, e] { run(*e); })) run(*e);
        // Blocks already coded are written while the new one is coded.
        runDone(dueEntries());
        while (!inFlight.empty() && isDone(*inFlight.front())) finishFront();
    }

    // Finishes every block still held, in order. The first failure is
    // raised; the blocks after it are still waited for (by the destructor).
    void drain() {
        while (!inFlight.empty()) settle(false);
    }

private:
    struct Entry {
        std::unique_ptr<Block> block;
        std::thread thread;
        std::exception_ptr error;
        bool coded = false;    // under the pipeline's mutex
        bool settled = false;  // its done step has run or will not; calling thread only
    };

    void run(Entry& e) noexcept {
        try {
            code(*e.block);
        } catch (...) {
            e.error = std::current_exception();
        }
        {
            const std::lock_guard<std::mutex> lock(mutex);
            e.coded = true;
            --coding;
        }
        changed.notify_all();
    }

    bool isDone(const Entry& e) {
        const std::lock_guard<std::mutex> lock(mutex);
        return e.coded;
    }

    bool hasRoom() const { return coding < workers && inFlight.size() < held; }

    // Whether a coded block's done step has not run; under the mutex.
    bool anyDue() const {
        if (done)
            for (const auto& e : inFlight)
                if (e->coded && !e->settled) return true;
        return false;
    }

    // The coded blocks whose done step has not run, marked as run; under
    // the mutex.
    std::vector<Entry*> takeDue() {
        std::vector<Entry*> due;
        if (!done) return due;
        for (auto& e : inFlight)
            if (e->coded && !e->settled) {
                e->settled = true;
                due.push_back(e.get());
            }
        return due;
    }
    std::vector<Entry*> dueEntries() {
        const std::lock_guard<std::mutex> lock(mutex);
        return takeDue();
    }

    void runDone(const std::vector<Entry*>& due) {
        for (Entry* e : due) {
            if (!done || e->error) continue;
            try {
                done(*e->block);
            } catch (...) {
                e->error = std::current_exception();
            }
        }
    }

    // Waits until the front block is coded, another block's done step is
    // due, or (`forRoom`) another block may be read; runs the due done
    // steps and finishes the front block if it is coded. Returns whether
    // another block may be read.
    bool settle(bool forRoom) {
        std::vector<Entry*> due;
        bool frontCoded = false;
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [this, forRoom] {
                return (forRoom && hasRoom()) || inFlight.front()->coded || anyDue();
            });
            due = takeDue();
            frontCoded = inFlight.front()->coded;
        }
        runDone(due);
        if (frontCoded) finishFront();
        return isRoomNow();
    }
    bool isRoomNow() {
        const std::lock_guard<std::mutex> lock(mutex);
        return hasRoom();
    }

    void finishFront() {
        std::unique_ptr<Entry> e = std::move(inFlight.front());
        inFlight.pop_front();
        if (e->thread.joinable()) e->thread.join();
        if (!e->settled) {
            e->settled = true;
            runDone({e.get()});
        }
        if (e->error) {
            e->block->failed = true;
            finish(*e->block);  // the lines printed before the failure
            std::rethrow_exception(e->error);
        }
        finish(*e->block);
    }

    unsigned workers;
    std::size_t held;  // blocks being coded or waiting to be finished, at most
    Step code;
    Step finish;
    Step done;
    std::deque<std::unique_ptr<Entry>> inFlight;
    std::mutex mutex;
    std::condition_variable changed;
    unsigned coding = 0;  // blocks whose code step has not ended; under `mutex`
};

// Objects lent to the blocks being coded and handed back when their coding
// ends, each lent to one block at a time: a worker's scratch memory. No more
// are ever made than blocks were coded at once, and they live as long as
// the pool.
template <class T>
class LendingPool {
public:
    // An object on loan for the scope: one handed back before, or a new one.
    class Loan {
    public:
        explicit Loan(LendingPool& owner) : pool(owner), item(owner.take()) {}
        ~Loan() { pool.giveBack(std::move(item)); }
        Loan(const Loan&) = delete;
        Loan& operator=(const Loan&) = delete;
        T& operator*() const { return *item; }

    private:
        LendingPool& pool;
        std::unique_ptr<T> item;
    };

    // How many objects have been made.
    std::size_t made() const {
        const std::lock_guard<std::mutex> lock(mutex);
        return count;
    }

private:
    std::unique_ptr<T> take() {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            if (!idle.empty()) {
                std::unique_ptr<T> t = std::move(idle.back());
                idle.pop_back();
                return t;
            }
        }
        std::unique_ptr<T> t = std::make_unique<T>();
        const std::lock_guard<std::mutex> lock(mutex);
        ++count;
        return t;
    }
    void giveBack(std::unique_ptr<T> t) noexcept {
        const std::lock_guard<std::mutex> lock(mutex);
        try {
            idle.push_back(std::move(t));
        } catch (...) {
            --count;  // no room to keep it: it is freed
        }
    }

    mutable std::mutex mutex;
    std::vector<std::unique_ptr<T>> idle;
    std::size_t count = 0;
};

// The console lines of one block: straight to the console when blocks are
// coded one at a time, else gathered and printed when the block is finished,
// so the lines come out in file order whatever the threads do.
class BlockConsole {
public:
    BlockConsole(std::ostream& console, bool buffered) : target(console) {
        if (buffered) {
            buffer = std::make_unique<std::ostringstream>();
            // Times keep the precision the console has at this point.
            buffer->precision(console.precision());
            buffer->flags(console.flags());
        }
    }
    std::ostream& stream() { return buffer ? static_cast<std::ostream&>(*buffer) : target; }
    void print() {
        if (!buffer) return;
        target << buffer->str() << std::flush;
        buffer->str(std::string());
    }

private:
    std::ostream& target;
    std::unique_ptr<std::ostringstream> buffer;
};

// How a run's threads go to blocks: `workers` blocks coded at once, each on
// `perBlock` threads.
struct ThreadShare {
    unsigned workers;
    unsigned perBlock;
};

// As many blocks at once as there are blocks (up to the threads) and as fit
// in `memoryBudget` bytes at `blockMemory` bytes each (budget 0: no bound),
// at least one; the rest of the threads inside each block.
ThreadShare shareThreads(unsigned threads, std::uint64_t numBlocks, std::uint64_t memoryBudget,
                         std::uint64_t blockMemory);

// How many blocks already coded may wait, `blockBytes` each at most, for an
// earlier block still being coded: two per worker, as many as the memory
// left by `workers` blocks in flight allows (budget 0: no bound); none with
// one worker.
unsigned blocksAhead(unsigned workers, std::uint64_t memoryBudget, std::uint64_t blockMemory,
                     std::uint64_t blockBytes);

// The memory one block in flight takes at its peak, measured: the block,
// the sort's tables and the payload when compressing; the block, the
// transform and the inverse's table when extracting.
std::uint64_t blockMemory(bool compressing, std::uint32_t blockSize);

// The memory the process may still take: the system's available memory
// (MemAvailable) and what any cgroup (v2 or v1) limit leaves, the least of
// them; 0 when none can be read.
std::uint64_t availableMemory();

#endif
