// The cost of isolation: the same files read in process and through the helper, and the decoder
// alone. Wall-clock time (the isolated import's work happens in another process).

#include <zel/import/assimp_import.h>
#include <zel/import/isolated_import.h>
#include <zel/import/scene_codec.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

namespace imp = zel::world::import;

namespace {

const std::filesystem::path corpus = ZEL_CORPUS_DIR;

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
    for (auto _ : state) {
        std::string reason;
        std::optional<imp::scene> s = imp::importIsolated(corpus / file, options, &reason);
        if (!s) {
            state.SkipWithError(reason.c_str());
            return;
        }
        triangles = s->triangleCount();
    }
    state.counters["triangles"] = double(triangles);
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
BENCHMARK_CAPTURE(decodeOnly, large, "generated/large.3ds")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
