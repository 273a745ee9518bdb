// Speed of the block checksum: the table path and the instruction path over
// a short block, a cache-sized one and a full-size block.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "crc32c.h"

namespace {

std::vector<unsigned char> randomBuffer(std::size_t n) {
    std::mt19937 rng(1);
    std::vector<unsigned char> v(n);
    for (auto& b : v) b = static_cast<unsigned char>(rng());
    return v;
}

template <std::uint32_t (*F)(std::uint32_t, const void*, std::size_t)>
void run(benchmark::State& state) {
    const auto data = randomBuffer(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(F(0, data.data(), data.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_Crc32cTable(benchmark::State& state) { run<crc32cTable>(state); }

void BM_Crc32cHardware(benchmark::State& state) {
    if (!crc32cHardwareAvailable()) {
        state.SkipWithError("no CRC32 instruction");
        return;
    }
    run<crc32cHardware>(state);
}

}  // namespace

BENCHMARK(BM_Crc32cTable)->Arg(4096)->Arg(1 << 18)->Arg(10 << 20);
BENCHMARK(BM_Crc32cHardware)->Arg(4096)->Arg(1 << 18)->Arg(10 << 20);
