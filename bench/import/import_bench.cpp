// The cost of isolation: the same files read in process and through the helper, and the decoder
// alone. Wall-clock time (the isolated import's work happens in another process).

#include "assimp_import.h"
#include <zel/import/isolated_import.h>
#include <zel/import/scene_codec.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <sys/resource.h>

namespace imp = zel::import;

namespace {

const std::filesystem::path corpus = ZEL_CORPUS_DIR;

// CPU seconds (user + system) of the children reaped so far: the helpers' share of the work,
// which the benchmark's own CPU time leaves out.
double childrenCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

void inProcess(benchmark::State& state, const char* file) {
    std::size_t triangles = 0;
    for (auto _ : state) {
        std::string reason;
        std::optional<imp::scene> s = imp::importInProcess(corpus / file, &reason);
        if (!s) {
            state.SkipWithError(reason.c_str());
            return;
        }
        triangles = s->triangleCount();
    }
    state.counters["triangles"] = double(triangles);
}

void isolated(benchmark::State& state, const char* file) {
    imp::isolationOptions options;
    std::size_t triangles = 0;
    const double cpuBefore = childrenCpuSeconds();
    for (auto _ : state) {
        std::string reason;
        std::optional<imp::scene> s = imp::importIsolated(corpus / file, options, &reason);
        if (!s) {
            state.SkipWithError(reason.c_str());
            return;
        }
        triangles = s->triangleCount();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the last helper reaped
    state.counters["triangles"] = double(triangles);
    state.counters["helper_cpu_ms"] = benchmark::Counter(
        (childrenCpuSeconds() - cpuBefore) * 1000.0, benchmark::Counter::kAvgIterations);
}

// As the host imports: a helper started ahead has loaded its libraries by the time the file comes
// (the wait for it is not timed). Counters: when the result began to arrive and when it was
// decoded, from the request (ms).
void isolatedReady(benchmark::State& state, const char* file, bool sandbox) {
    imp::isolationOptions options;
    options.keepOneReady = true;
    options.sandbox = sandbox;
    std::size_t triangles = 0;
    double firstByte = 0, decoded = 0;
    const double cpuBefore = childrenCpuSeconds();
    imp::prepareImporter(options);
    for (auto _ : state) {
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        state.ResumeTiming();
        std::string reason;
        imp::isolationStats stats;
        std::optional<imp::scene> s = imp::importIsolated(corpus / file, options, &reason, &stats);
        if (!s || !stats.readyChild) {
            state.SkipWithError(s ? "no helper was ready" : reason.c_str());
            break;
        }
        triangles = s->triangleCount();
        firstByte += stats.firstByteSeconds * 1000.0;
        decoded += stats.decodedSeconds * 1000.0;
    }
    imp::dismissReadyImporter();
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the last helpers reaped
    state.counters["triangles"] = double(triangles);
    // Includes the start of each next helper, which the host overlaps with its own work.
    state.counters["helper_cpu_ms"] = benchmark::Counter(
        (childrenCpuSeconds() - cpuBefore) * 1000.0, benchmark::Counter::kAvgIterations);
    state.counters["first_byte_ms"] =
        benchmark::Counter(firstByte, benchmark::Counter::kAvgIterations);
    state.counters["decoded_ms"] = benchmark::Counter(decoded, benchmark::Counter::kAvgIterations);
}

void decodeOnly(benchmark::State& state, const char* file) {
    std::string reason;
    std::optional<imp::scene> s = imp::importInProcess(corpus / file, &reason);
    if (!s) {
        state.SkipWithError(reason.c_str());
        return;
    }
    const std::vector<std::byte> bytes = imp::encode(*s);
    for (auto _ : state) {
        imp::decodeResult res = imp::decode(bytes);
        benchmark::DoNotOptimize(res);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(bytes.size()));
}

} // namespace

BENCHMARK_CAPTURE(inProcess, medium, "generated/medium.3ds")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(isolated, medium, "generated/medium.3ds")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(inProcess, large, "generated/large.3ds")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(isolated, large, "generated/large.3ds")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(isolatedReady, large, "generated/large.3ds", true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(isolatedReady, large_no_sandbox, "generated/large.3ds", false)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(decodeOnly, large, "generated/large.3ds")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
