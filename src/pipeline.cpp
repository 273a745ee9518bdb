#include "pipeline.h"

#include <algorithm>
#include <fstream>
#include <string>

ThreadShare shareThreads(unsigned threads, std::uint64_t numBlocks, std::uint64_t memoryBudget,
                         std::uint64_t blockMemory) {
    std::uint64_t workers = std::min<std::uint64_t>(threads, std::max<std::uint64_t>(numBlocks, 1));
    if (memoryBudget != 0 && blockMemory != 0) workers = std::min(workers, memoryBudget / blockMemory);
    workers = std::max<std::uint64_t>(workers, 1);
    const unsigned w = static_cast<unsigned>(workers);
    return ThreadShare{w, std::max(1u, threads / w)};
}

std::uint64_t blockMemory(bool compressing, std::uint32_t blockSize) {
    // Peak resident memory of one 10 MiB block on one thread: 98 MB
    // compressing, 68 MB extracting, of which about 4 MB is the process.
    const std::uint64_t perByte = compressing ? 10 : 7;
    return perByte * blockSize + (std::uint64_t(4) << 20);
}

namespace {

// The first number in the file, or 0 when there is none ("max" included).
std::uint64_t numberIn(const char* name) {
    std::ifstream f(name);
    std::uint64_t v = 0;
    if (!(f >> v)) return 0;
    return v;
}

// What a cgroup limit leaves, or 0 when there is none.
std::uint64_t cgroupLeft(const char* limitName, const char* usageName) {
    const std::uint64_t limit = numberIn(limitName);
    // cgroup v1 writes its "no limit" as a number near 2^63.
    if (limit == 0 || limit >= (std::uint64_t(1) << 60)) return 0;
    const std::uint64_t used = numberIn(usageName);
    return limit > used ? limit - used : 1;
}

}  // namespace

std::uint64_t availableMemory() {
    std::uint64_t least = 0;
    const auto take = [&least](std::uint64_t v) {
        if (v != 0 && (least == 0 || v < least)) least = v;
    };
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::uint64_t kib = 0;
    while (meminfo >> key >> kib) {
        if (key == "MemAvailable:") {
            take(kib * 1024);
            break;
        }
        meminfo.ignore(256, '\n');
    }
    take(cgroupLeft("/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory.current"));
    take(cgroupLeft("/sys/fs/cgroup/memory/memory.limit_in_bytes", "/sys/fs/cgroup/memory/memory.usage_in_bytes"));
    return least;
}
