// Forward and inverse transform speed over the benchmark corpus, one block of
// at most the size cap per file (the first bytes of larger files). Forward/
// is the road the program takes, Induced/ and Doubling/ each suffix sorter
// on one thread. Rates are
// per CPU second (Google Benchmark's default), which a busy machine distorts
// less than wall time; compare with another program's user + system time.
// Runs on more than one thread report wall time instead; the inverse runs
// on one and on two threads, both timed by the wall clock.
//   bwt_bench --benchmark_filter='(Induced|Doubling|Reference)/english'
//   bwt_bench --benchmark_filter='Inverse/english.*threads:1'
// Built against libdivsufsort, Reference/ times its divbwt on the same block
// (one thread), the yardstick of the forward transform.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bwt.h"
#include "container.h"
#include "globals.h"

#if defined(Q38_HAVE_DIVSUFSORT)
#include <divsufsort.h>
#endif

namespace {

std::string readBlock(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::string s(std::istreambuf_iterator<char>(f), {});
    if (s.size() > maxBlockSize) s.resize(maxBlockSize);
    return s;
}

void forward(benchmark::State& state, const std::string& file, SortRoad road, unsigned threads) {
    const std::string block = readBlock(file);
    std::string work;
    for (auto _ : state) {
        state.PauseTiming();
        work = block;
        state.ResumeTiming();
        benchmark::DoNotOptimize(
            bwt(work.data(), static_cast<unsigned>(work.size()), SuffixDumps{}, threads, true, nullptr, road));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(block.size()));
}

#if defined(Q38_HAVE_DIVSUFSORT)
void reference(benchmark::State& state, const std::string& file) {
    const std::string block = readBlock(file);
    std::string out(block.size(), '\0');
    const auto* in = reinterpret_cast<const sauchar_t*>(block.data());
    for (auto _ : state)
        benchmark::DoNotOptimize(divbwt(in, reinterpret_cast<sauchar_t*>(out.data()), nullptr,
                                        static_cast<saidx_t>(block.size())));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(block.size()));
}
#endif

// The inverse alone on `threads` threads (the state's one argument).
void inverse(benchmark::State& state, const std::string& file) {
    std::string transformed = readBlock(file);
    const unsigned index = bwt(transformed.data(), static_cast<unsigned>(transformed.size()));
    std::string out(transformed.size(), '\0');
    const auto threads = static_cast<unsigned>(state.range(0));
    for (auto _ : state) {
        ibwt(out.data(), transformed.data(), static_cast<unsigned>(out.size()), index, threads);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(out.size()));
}

// Registers one forward and one inverse case per corpus file, in name order.
const bool registered = [] {
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(Q38_CORPUS, ec))
        if (e.is_regular_file() && e.path().filename() != "MANIFEST.txt" &&
            e.path().extension() != ".sh")
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
        const std::string name = f.filename().string();
        // Medians of three: the machine is shared and single runs scatter.
        benchmark::RegisterBenchmark(("Forward/" + name).c_str(), forward, f.string(), SortRoad::chosen, 1u)
            ->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(true);
        benchmark::RegisterBenchmark(("Induced/" + name).c_str(), forward, f.string(), SortRoad::induced, 1u)
            ->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(true);
        benchmark::RegisterBenchmark(("Doubling/" + name).c_str(), forward, f.string(), SortRoad::doubling, 1u)
            ->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(true);
        benchmark::RegisterBenchmark(("Forward2T/" + name).c_str(), forward, f.string(), SortRoad::chosen, 2u)
            ->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(true)
            ->UseRealTime();
#if defined(Q38_HAVE_DIVSUFSORT)
        benchmark::RegisterBenchmark(("Reference/" + name).c_str(), reference, f.string())
            ->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(true);
#endif
        benchmark::RegisterBenchmark(("Inverse/" + name).c_str(), inverse, f.string())
            ->ArgName("threads")->Arg(1)->Arg(2)->UseRealTime()
            ->Unit(benchmark::kMillisecond)->Iterations(2)->Repetitions(3)->ReportAggregatesOnly(true);
    }
    return true;
}();

}  // namespace
