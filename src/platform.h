// What the program asks of the processor and the operating system beyond
// the standard library, in one place: memory advice, prefetches, bit counts,
// processor features, the clock and the number of usable cores. Each helper
// has a portable fallback.
#ifndef VEXAQ38_PLATFORM_H
#define VEXAQ38_PLATFORM_H

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

// Memory for a large array: from 1 MiB, whole 2 MiB-aligned huge pages that
// the kernel is asked to back as such (advice can only reach the aligned
// interior of an ordinary allocation, which for a few MiB is little or
// nothing). The sorter and the inverse transform touch big tables at random,
// and with small pages nearly every access also misses the TLB. Fresh
// memory is faulted in page by page, and on a virtual machine each fault is
// dear: a huge page costs about as much as thirty small ones and covers
// 512. `huge` false: plain heap memory. Contents uninitialised; an
// allocation failure throws std::bad_alloc.
void* allocateLarge(std::size_t bytes, bool huge = true);

struct FreeLarge {
    void operator()(void* p) const noexcept;
};

// An array of `count` entries of a trivial type on allocateLarge's memory.
template <class T>
using LargeArray = std::unique_ptr<T[], FreeLarge>;

template <class T>
LargeArray<T> allocateLargeArray(std::size_t count, bool huge = true) {
    static_assert(std::is_trivial_v<T>, "the entries are not constructed");
    return LargeArray<T>(static_cast<T*>(allocateLarge(count * sizeof(T), huge)));
}

// allocateLarge's memory for a container: whole huge pages once large.
template <class T>
struct LargeAllocator {
    using value_type = T;
    LargeAllocator() = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}
    T* allocate(std::size_t count) { return static_cast<T*>(allocateLarge(count * sizeof(T))); }
    void deallocate(T* p, std::size_t) noexcept { FreeLarge()(p); }
    template <class U>
    bool operator==(const LargeAllocator<U>&) const noexcept { return true; }
    template <class U>
    bool operator!=(const LargeAllocator<U>&) const noexcept { return false; }
};

// Memory kept from one use to the next: it grows to the largest request,
// never shrinks, and is handed out as the last user left it. Pages once
// touched stay mapped, so a block on kept memory does not fault them in
// (and have the kernel zero them) again.
template <class T>
class KeptBuffer {
public:
    // At least `count` entries, their contents undefined. An allocation
    // failure propagates as std::bad_alloc.
    T* get(std::size_t count) {
        if (count > capacity) {
            release();  // before the larger one: the peak stays at one
            memory = allocateLargeArray<T>(count);
            capacity = count;
        }
        used = std::max(used, count);
        return memory.get();
    }
    // The most bytes one request has been handed so far; their user is
    // expected to have touched them all.
    std::size_t usedBytes() const { return used * sizeof(T); }
    // Gives the memory back.
    void release() {
        memory.reset();
        capacity = 0;
        used = 0;
    }

private:
    LargeArray<T> memory;
    std::size_t capacity = 0;
    std::size_t used = 0;
};

// A hint that `p` will be read (or written) soon; never faults.
inline void prefetchRead(const void* p) {
#if defined(__GNUC__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}
inline void prefetchWrite(const void* p) {
#if defined(__GNUC__)
    __builtin_prefetch(p, 1);
#else
    (void)p;
#endif
}

// Leading zero bits of x != 0.
inline int countLeadingZeros32(std::uint32_t x) {
#if defined(__GNUC__)
    return __builtin_clz(x);
#else
    int n = 0;
    while ((x & 0x80000000u) == 0) {
        x <<= 1;
        ++n;
    }
    return n;
#endif
}

// Whether the system may start one more thread. Always true in a run; tests
// make it false after a given number of starts (failThreadStartsAfter) to
// stand for a process at its thread limit.
bool threadStartAllowed();

// From now on the first `starts` thread starts succeed and every later one
// fails, as when the process meets its limit; a negative count lifts the
// limit. For tests only.
void failThreadStartsAfter(long starts);

// Starts a thread running f into `t`; false, with nothing started, when the
// system refuses one (resource limits). Every caller then does the work on
// the threads it has, down to its own, with the same result.
template <typename F>
bool tryStartThread(std::thread& t, F&& f) {
    if (!threadStartAllowed()) return false;
    try {
        t = std::thread(std::forward<F>(f));
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

// How often each byte value occurs in b[0, n), into counts[0, 256).
void countBytes(const unsigned char* b, std::size_t n, std::uint32_t* counts);

// The start of slice t of [0, count) cut evenly into `slices`.
inline std::size_t sliceBegin(std::size_t count, unsigned slices, unsigned t) {
    return static_cast<std::size_t>(static_cast<unsigned long long>(count) * t / slices);
}

// Runs f(t, from, to) for the slices t = 0 ... threads - 1 of [0, count)
// (see sliceBegin) on the caller and up to threads - 1 more threads, at most
// 64 in all. A slice whose thread the system refuses runs on the caller.
template <typename F>
void runSlices(unsigned threads, std::size_t count, const F& f) {
    threads = threads < 1 ? 1 : threads > 64 ? 64 : threads;
    const auto slice = [&f, count, threads](unsigned t) {
        f(t, sliceBegin(count, threads, t), sliceBegin(count, threads, t + 1));
    };
    std::vector<std::thread> helpers(threads - 1);
    std::vector<bool> started(threads - 1, false);
    for (unsigned t = 1; t < threads; ++t) started[t - 1] = tryStartThread(helpers[t - 1], [&slice, t] { slice(t); });
    slice(0);
    for (unsigned t = 1; t < threads; ++t)
        if (!started[t - 1]) slice(t);
    for (unsigned t = 1; t < threads; ++t)
        if (started[t - 1]) helpers[t - 1].join();
}

// Processor features, found once at start-up (false off x86-64). Plain
// loads, cheap enough for hot loops.
namespace cpufeatures {
extern const bool avx2;
extern const bool sse42;
extern const bool popcnt;
extern const bool fastBitDeposit;
}  // namespace cpufeatures
inline bool cpuHasAvx2() { return cpufeatures::avx2; }
inline bool cpuHasSse42() { return cpufeatures::sse42; }
inline bool cpuHasPopcnt() { return cpufeatures::popcnt; }
// BMI2's bit deposit (pdep) at a few cycles: Intel processors with BMI2, and
// AMD from family 19h; earlier AMD ones run it in microcode, slower than
// the arithmetic it would replace.
inline bool cpuHasFastBitDeposit() { return cpufeatures::fastBitDeposit; }

// Milliseconds elapsed since the program started, from a monotonic clock;
// -1 when no clock is available. Differences stay far inside 32 bits.
long readClock();

// The cores this process may run on (its CPU affinity), at least 1.
unsigned availableCores();

// The cores of a run, shared between the blocks coded at once and the sorts
// that could use more. Each block being coded holds one. Once the last block
// has started, a core no block holds may be lent to a sort still running on
// one thread, for its remaining passes; before that, a freed core waits for
// the next block, which would otherwise share it. Thread-safe.
class SpareCores {
public:
    explicit SpareCores(unsigned cores) : cores_(cores) {}

    void blockStarted();
    void blockEnded();
    void lastBlockStarted();

    // Lends up to `most` cores; 0 when none is spare. Each one lent is given
    // back when its work ends.
    unsigned borrow(unsigned most);
    void giveBack(unsigned count);

    // Cores borrowed for one piece of work (none from a null `spare`), given
    // back when the loan ends.
    // A core for work already running, lent once one is free: wait()
    // blocks until one is (true) or until stop() (false). The core goes
    // back when the loan ends.
    class LateLoan {
    public:
        explicit LateLoan(SpareCores& spare) : spare_(spare) {}
        ~LateLoan();
        LateLoan(const LateLoan&) = delete;
        LateLoan& operator=(const LateLoan&) = delete;
        bool wait();
        void stop();

    private:
        SpareCores& spare_;
        bool stopped_ = false;  // under the lender's mutex
        bool holding_ = false;
    };

    class Loan {
    public:
        Loan(SpareCores* spare, unsigned most) : spare_(spare), count_(spare ? spare->borrow(most) : 0) {}
        ~Loan() {
            if (count_ > 0) spare_->giveBack(count_);
        }
        Loan(const Loan&) = delete;
        Loan& operator=(const Loan&) = delete;
        unsigned count() const { return count_; }

    private:
        SpareCores* spare_;
        unsigned count_;
    };

private:
    bool canLend() const { return lastStarted_ && held_ + lent_ < cores_; }

    std::mutex mutex_;
    std::condition_variable freed_;  // a core may have become free
    unsigned cores_;
    unsigned held_ = 0;  // by blocks being coded
    unsigned lent_ = 0;
    bool lastStarted_ = false;
};

#endif
