// Offscreen drawing of a large model at 1280x720: the time to the first frame (upload, draw, read
// back) and the frames per second once the model is on the GPU. The argument is the multisample
// count (0 compares with viewers that do not multisample by default).
//
// The model is read with the project's in-process importer, so the renderer gets what the scene
// graph's reader gives it; ZEL_BENCH_MODEL names another file.

#include "assimp_import.h"

#include <zel/render/backend.h>
#include <zel/render/screen.h>

#include <status_window.h>

#include <GL/gl.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>

namespace imp = zel::import;
using namespace zel::render;

namespace {

std::filesystem::path modelFile() {
    if (const char* file = std::getenv("ZEL_BENCH_MODEL")) {
        return file;
    }
    return std::filesystem::path(ZEL_CORPUS_DIR) / "generated" / "large.3ds";
}

matrix multiply(const matrix& a, const matrix& b) {
    matrix r{};
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            for (int k = 0; k < 4; ++k) {
                r[i * 4 + j] += a[i * 4 + k] * b[k * 4 + j];
            }
        }
    }
    return r;
}

// The model as draw items, with the camera framing it from the front (+Z, looking -Z).
struct model {
    std::shared_ptr<const imp::scene> data;
    std::vector<drawItem> items;
    camera view;
    double loadSeconds = 0;
    std::size_t triangles = 0;

    // New mesh keys: the renderer takes the meshes for new ones and uploads them again.
    void rekey() {
        for (drawItem& d : items) {
            d.key = std::make_shared<int>(0);
        }
    }
};

const model* loadModel(std::string* reason) {
    static std::optional<model> loaded;
    static std::string failure;
    if (loaded) {
        return &*loaded;
    }
    if (!failure.empty()) {
        *reason = failure;
        return nullptr;
    }
    const auto start = std::chrono::steady_clock::now();
    std::optional<imp::scene> s = imp::importInProcess(modelFile(), &failure);
    if (!s) {
        failure = modelFile().string() + ": " + failure;
        *reason = failure;
        return nullptr;
    }
    model m;
    m.loadSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.data = std::make_shared<const imp::scene>(std::move(*s));
    const imp::scene& sc = *m.data;

    // Parents come before their children.
    std::vector<matrix> world(sc.nodes.size(), identityMatrix);
    std::vector<int> parent(sc.nodes.size(), -1);
    for (std::size_t i = 0; i < sc.nodes.size(); ++i) {
        for (std::uint32_t c : sc.nodes[i].children) {
            parent[c] = static_cast<int>(i);
        }
    }
    float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (std::size_t i = 0; i < sc.nodes.size(); ++i) {
        matrix local;
        std::copy(std::begin(sc.nodes[i].matrix), std::end(sc.nodes[i].matrix), local.begin());
        world[i] = parent[i] < 0 ? local : multiply(local, world[std::size_t(parent[i])]);
        for (std::uint32_t mi : sc.nodes[i].meshes) {
            const imp::mesh& mesh = sc.meshes[mi];
            drawItem d;
            d.positions = mesh.positions.data();
            d.normals = mesh.normals.empty() ? nullptr : mesh.normals.data();
            d.uvs = mesh.uvs.empty() ? nullptr : mesh.uvs.data();
            d.vertexCount = static_cast<std::uint32_t>(mesh.vertexCount());
            d.indices = mesh.indices.data();
            d.indexCount = static_cast<std::uint32_t>(mesh.indices.size());
            d.world = world[i];
            if (mesh.material < sc.materials.size()) {
                const imp::material& mat = sc.materials[mesh.material];
                const float* c = mat.diffuse;
                d.diffuse = {c[0], c[1], c[2], c[3]};
                // The highlight as the scene graph's reader passes it on.
                d.specular = {std::clamp(mat.specular[0], 0.0f, 1.0f),
                              std::clamp(mat.specular[1], 0.0f, 1.0f),
                              std::clamp(mat.specular[2], 0.0f, 1.0f)};
                d.shininess = mat.shininess > 0 ? std::clamp(mat.shininess, 1.0f, 128.0f) : 0.0f;
            }
            m.items.push_back(d);
            m.triangles += mesh.triangleCount();
            for (std::size_t v = 0; v < mesh.positions.size(); v += 3) {
                for (int k = 0; k < 3; ++k) {
                    float p = world[i][12 + k];
                    for (int r = 0; r < 3; ++r) {
                        p += mesh.positions[v + r] * world[i][r * 4 + k];
                    }
                    lo[k] = std::min(lo[k], p);
                    hi[k] = std::max(hi[k], p);
                }
            }
        }
    }
    float radius = 0;
    for (int k = 0; k < 3; ++k) {
        radius = std::max(radius, (hi[k] - lo[k]) / 2);
    }
    const float distance = radius / std::sin(m.view.fovY * 3.14159265f / 360.0f) + radius;
    m.view.world = identityMatrix;
    m.view.world[12] = (lo[0] + hi[0]) / 2;
    m.view.world[13] = (lo[1] + hi[1]) / 2;
    m.view.world[14] = (lo[2] + hi[2]) / 2 + distance;
    m.view.farPlane = distance + 4 * radius;
    m.rekey();
    loaded = std::move(m);
    return &*loaded;
}

frame makeFrame(const model& m) {
    frame f;
    f.view = m.view;
    f.items = m.items;
    f.windows.push_back(
        rendertest::statusWindow("Status", "Axis: X", "geoms.zip", {210, 28, 14, 14}));
    f.hud = {"position 0 0 0   rotation 0 0 0 1   scale 1 1 1"};
    return f;
}

std::unique_ptr<screen> openView(benchmark::State& state) {
    backendOptions o;
    o.width = 1280;
    o.height = 720;
    o.samples = static_cast<int>(state.range(0));
    screenOptions options;
    options.smoothEdges = state.range(1) != 0;
    auto v = screen::create(makeOffscreenBackend(o), nullptr, options);
    if (!v) {
        state.SkipWithError("no offscreen OpenGL 3.3 context");
    }
    return v;
}

// The model and an offscreen view for one benchmark; null (and the benchmark skipped) when either
// is missing.
std::unique_ptr<screen> prepare(benchmark::State& state, const model*& m) {
    std::string reason;
    m = loadModel(&reason);
    if (!m) {
        state.SkipWithError(reason.c_str());
        return nullptr;
    }
    return openView(state);
}

// Upload of every mesh, the first draw and the read-back of the picture: what a snapshot costs
// after the model is read.
void firstFrame(benchmark::State& state) {
    const model* m = nullptr;
    auto v = prepare(state, m);
    if (!v)
        return;
    model fresh = *m;
    for (auto _ : state) {
        state.PauseTiming();
        fresh.rekey(); // the previous keys expire: their copies go at this frame's start
        const frame f = makeFrame(fresh);
        state.ResumeTiming();
        benchmark::DoNotOptimize(v->capture(f));
    }
    state.counters["triangles"] = double(m->triangles);
    state.counters["vertices"] = double(v->scene().stats().uploadedVertices) /
                                 double(std::max<std::int64_t>(state.iterations(), 1));
    state.counters["loadSeconds"] = m->loadSeconds;
}

// Frames of the model already on the GPU; glFinish makes each frame's time the time to draw it.
void steadyFrames(benchmark::State& state) {
    const model* m = nullptr;
    auto v = prepare(state, m);
    if (!v)
        return;
    const frame f = makeFrame(*m);
    v->capture(f);
    for (auto _ : state) {
        v->drawFrame(f);
        glFinish();
    }
    state.counters["fps"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["triangles"] = double(m->triangles);
}

// Frames of a status window full of text and no model: Latin (0) against Arabic and Devanagari
// (1), which are shaped; a still window shapes nothing per frame, so the two should cost alike.
void statusText(benchmark::State& state) {
    backendOptions o;
    o.width = 1280;
    o.height = 720;
    auto v = screen::create(makeOffscreenBackend(o), nullptr);
    if (!v) {
        state.SkipWithError("no offscreen OpenGL 3.3 context");
        return;
    }
    const char* const latin = "Geom File: the-quick-brown-fox-jumps-over.3ds";
    const char* const shaped[] = {"Geom File: ملف البيت الكبير الجديد جدا.3ds",
                                  "Geom File: क्षत्रिय नमस्ते दुनिया घर.3ds"};
    std::string label;
    for (int line = 0; line < 12; ++line) {
        label += (line ? "\n" : "") + std::string(state.range(0) ? shaped[line % 2] : latin);
    }
    frame f;
    f.windows.push_back(rendertest::statusWindow("Status", label, "geoms.zip", {420, 168, 14, 14}));
    f.hud = {state.range(0) ? shaped[0] : latin};
    v->capture(f);
    for (auto _ : state) {
        v->drawFrame(f);
        glFinish();
    }
    state.counters["fps"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

// Arguments: multisampling (samples), the edge pass (1) or not (0).
BENCHMARK(firstFrame)
    ->Args({0, 1})
    ->Args({0, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(steadyFrames)
    ->Args({0, 1})
    ->Args({4, 0})
    ->Args({0, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(statusText)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
