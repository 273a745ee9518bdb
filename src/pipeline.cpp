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

unsigned blocksAhead(unsigned workers, std::uint64_t memoryBudget, std::uint64_t blockMemory,
                     std::uint64_t blockBytes) {
    if (workers <= 1) return 0;
    std::uint64_t ahead = 2 * std::uint64_t(workers);
    if (memoryBudget != 0 && blockBytes != 0) {
        const std::uint64_t coding = std::uint64_t(workers) * blockMemory;
        ahead = std::min(ahead, memoryBudget > coding ? (memoryBudget - coding) / blockBytes : 0);
    }
    return static_cast<unsigned>(ahead);
}

std::uint64_t blockMemory(bool compressing, std::uint32_t blockSize) {
    // Peak resident memory of a block on one thread, about 4 MB of it the
    // process: 68 MB extracting 10 MiB; compressing, 54 MB for 10 MiB on the
    // induced sorter (blocks over 4 MiB), up to 10 bytes a byte on prefix
    // doubling (smaller blocks of spread bytes).
    const std::uint64_t perByte = !compressing ? 7 : blockSize > (std::uint32_t(1) << 22) ? 6 : 10;
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

// The process's own folder in a cgroup hierarchy, from /proc/self/cgroup:
// the line "N:memory:/path" of v1 (`v1`), or "0::/path" of v2; "" for none.
std::string cgroupFolder(bool v1) {
    std::ifstream f("/proc/self/cgroup");
    std::string line;
    while (std::getline(f, line)) {
        const std::size_t a = line.find(':');
        const std::size_t b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos) continue;
        const std::string controllers = line.substr(a + 1, b - a - 1);
        const bool memory = (',' + controllers + ',').find(",memory,") != std::string::npos;
        if (v1 ? memory : controllers.empty()) return line.substr(b + 1);
    }
    return "";
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
    // The hierarchy's root and the process's own group, whichever limits.
    for (const std::string& folder : {std::string(), cgroupFolder(false)}) {
        const std::string v2 = "/sys/fs/cgroup" + folder;
        take(cgroupLeft((v2 + "/memory.max").c_str(), (v2 + "/memory.current").c_str()));
    }
    for (const std::string& folder : {std::string(), cgroupFolder(true)}) {
        const std::string v1 = "/sys/fs/cgroup/memory" + folder;
        take(cgroupLeft((v1 + "/memory.limit_in_bytes").c_str(), (v1 + "/memory.usage_in_bytes").c_str()));
    }
    return least;
}
