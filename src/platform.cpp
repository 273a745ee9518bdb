#include "platform.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__GNUC__) && defined(__x86_64__)
#include <cpuid.h>
#endif
#if defined(__linux__)
#include <sched.h>
#include <sys/mman.h>
#endif
#include <thread>

namespace {

// Asks the kernel to back the 2 MiB-aligned interior of [p, p + bytes) with
// huge pages. Only advice: nothing happens where the platform lacks it or
// refuses.
void adviseHugePages(void* p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t huge = std::uintptr_t(1) << 21;
    const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(p) + huge - 1) & ~(huge - 1);
    const std::uintptr_t last = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(huge - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

}  // namespace

void* allocateLarge(std::size_t bytes, bool huge) {
    constexpr std::size_t page = std::size_t(1) << 21;
    void* p = nullptr;
    if (huge && bytes >= page / 2 && bytes <= SIZE_MAX - page) {
        const std::size_t whole = (bytes + page - 1) & ~(page - 1);
        p = std::aligned_alloc(page, whole);
        if (p != nullptr) adviseHugePages(p, whole);
    } else {
        p = std::malloc(bytes != 0 ? bytes : 1);
    }
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void FreeLarge::operator()(void* p) const noexcept { std::free(p); }

#if defined(__GNUC__) && defined(__x86_64__)
namespace {
bool detectAvx2() {
    __builtin_cpu_init();  // may run before the runtime's own initialisation
    return __builtin_cpu_supports("avx2") != 0;
}
bool detectSse42() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.2") != 0;
}
bool detectPopcnt() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("popcnt") != 0;
}
bool detectFastBitDeposit() {
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("bmi2")) return false;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(0, &a, &b, &c, &d)) return false;
    char vendor[13] = {};
    std::memcpy(vendor, &b, 4);
    std::memcpy(vendor + 4, &d, 4);
    std::memcpy(vendor + 8, &c, 4);
    if (std::strcmp(vendor, "GenuineIntel") == 0) return true;
    if (std::strcmp(vendor, "AuthenticAMD") != 0 || !__get_cpuid(1, &a, &b, &c, &d)) return false;
    unsigned family = (a >> 8) & 0xF;
    if (family == 0xF) family += (a >> 20) & 0xFF;
    return family >= 0x19;
}
}  // namespace
const bool cpufeatures::avx2 = detectAvx2();
const bool cpufeatures::sse42 = detectSse42();
const bool cpufeatures::popcnt = detectPopcnt();
const bool cpufeatures::fastBitDeposit = detectFastBitDeposit();
#else
const bool cpufeatures::avx2 = false;
const bool cpufeatures::sse42 = false;
const bool cpufeatures::popcnt = false;
const bool cpufeatures::fastBitDeposit = false;
#endif

namespace {

// Read during static initialisation, so "since the program started".
const std::chrono::steady_clock::time_point programStart = std::chrono::steady_clock::now();

}  // namespace

long readClock() {
    const auto elapsed = std::chrono::steady_clock::now() - programStart;
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

namespace {
// Starts left before threadStartAllowed says no; negative: no limit.
std::atomic<long> threadStartsLeft{-1};
}  // namespace

bool threadStartAllowed() {
    long left = threadStartsLeft.load(std::memory_order_relaxed);
    while (left >= 0) {
        if (left == 0) return false;
        if (threadStartsLeft.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) return true;
    }
    return true;
}

void failThreadStartsAfter(long starts) { threadStartsLeft.store(starts < 0 ? -1 : starts); }

void countBytes(const unsigned char* b, std::size_t n, std::uint32_t* counts) {
    // Four tables: with one, a run of one byte waits at every step on the
    // count the step before wrote.
    std::uint32_t c[4][256] = {};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        ++c[0][b[i]];
        ++c[1][b[i + 1]];
        ++c[2][b[i + 2]];
        ++c[3][b[i + 3]];
    }
    for (; i < n; ++i) ++c[0][b[i]];
    for (unsigned v = 0; v < 256; ++v) counts[v] = c[0][v] + c[1][v] + c[2][v] + c[3][v];
}

unsigned availableCores() {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

void SpareCores::blockStarted() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++held_;
}

void SpareCores::blockEnded() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --held_;
    }
    freed_.notify_all();
}

void SpareCores::lastBlockStarted() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lastStarted_ = true;
    }
    freed_.notify_all();
}

unsigned SpareCores::borrow(unsigned most) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!canLend()) return 0;
    const unsigned count = std::min(most, cores_ - held_ - lent_);
    lent_ += count;
    return count;
}

void SpareCores::giveBack(unsigned count) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lent_ -= count;
    }
    freed_.notify_all();
}

bool SpareCores::LateLoan::wait() {
    std::unique_lock<std::mutex> lock(spare_.mutex_);
    spare_.freed_.wait(lock, [this] { return stopped_ || spare_.canLend(); });
    if (stopped_) return false;
    ++spare_.lent_;
    holding_ = true;
    return true;
}

void SpareCores::LateLoan::stop() {
    {
        std::lock_guard<std::mutex> lock(spare_.mutex_);
        stopped_ = true;
    }
    spare_.freed_.notify_all();
}

SpareCores::LateLoan::~LateLoan() {
    if (holding_) spare_.giveBack(1);
}
