// Joins under strain: beside a peer's hostile records, beside records that name one model 30,000
// times (the joiner's peak memory, as a process of its own), and scenes one broker holds.
#include "parts.h"
#include "support.h"

#include <nats_broker.h>
#include <zel/import/model_import.h>
#include <zel/import/scene_codec.h>
#include <zel/share/records.h>
#include <zel/world/geometry.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace sharebench {

namespace fs = std::filesystem;

void hostileJoin(const std::string& url) {
    const std::string scene = "hostile";
    siteWorld honest(url, scene, "honest");
    sceneNode* model = honest.w.createNode(u"model");
    model->addAttribute(zel::world::makeSceneGeometry(triangleModel(3), 0).release());
    honest.drag->addChild(model);
    honest.share->sync(30);
    // The peer: 20,000 in a chain, 20,000 at the top, 10,000 naming models that do not exist.
    plainClient peer(url);
    const std::string& identity = identityField;
    auto put = [&](const std::string& key, const std::string& value) {
        peer.publishAsync("$KV.zel-scene-" + scene + "." + key, value);
    };
    for (int i = 1; i <= 20000; ++i)
        put("mal.0000000a." + std::to_string(i),
            R"({"name":"c","parent":")" +
                (i == 1 ? std::string() : "mal.0000000a." + std::to_string(i - 1)) +
                R"(","order":0,)" + identity + "}");
    for (int i = 1; i <= 20000; ++i)
        put("mal.0000000b." + std::to_string(i),
            R"({"name":"f","parent":"","order":)" + std::to_string(i) + "," + identity + "}");
    char hash[65];
    for (int i = 1; i <= 10000; ++i) {
        std::snprintf(hash, sizeof hash, "%064x", i);
        put("mal.0000000c." + std::to_string(i), R"({"name":"m","parent":"","order":0,)" +
                                                     identity + R"(,"mesh":{"scene":")" + hash +
                                                     R"(","meshes":[0]}})");
    }
    for (const char* hex : {"0000000a", "0000000b", "0000000c"}) {
        const std::string subject = std::string("$KV.zel-presence-") + scene + ".mal." + hex;
        const std::string value =
            std::string(R"({"user":"mal","site":"mal-)") + hex + R"(","joined":0})";
        peer.publishAsync(subject, value);
    }
    peer.finish();
    std::ostringstream quiet;
    const auto start = clock_type::now();
    zel::world::world w;
    zel::share::shareOptions so;
    so.servers = {url};
    so.scene = scene;
    so.user = "joiner";
    std::string error;
    auto joiner = zel::share::sharedScene::join(w, so, quiet, error);
    const bool synced = joiner && joiner->sync(60);
    const double took = ms(clock_type::now() - start);
    bool arrived = false;
    zel::world::walkGraph(w.getRootNode(), [&](zel::sceneGraph::iSceneNode* n, int) {
        auto* s = dynamic_cast<sceneNode*>(n);
        if (s && s->share().mirror && s->getName() == u"model")
            arrived = s->findAttribute<zel::world::geometryAttr>() != nullptr;
        return true;
    });
    std::printf("join beside 50,000 hostile records: %s in %.0f ms (aim under 5000 ms), honest "
                "model %s\n",
                synced ? "synced" : "NOT synced", took, arrived ? "arrived" : "MISSING");
    joiner.reset();
}

// The child of amplifiedJoin: joins the scene, syncs, says how many mirrors carry geometry.
int joinOnly(const std::string& url, const std::string& scene) {
    zel::world::world w;
    zel::share::shareOptions o;
    o.servers = {url};
    o.scene = scene;
    o.user = "joiner";
    std::string error;
    std::ostringstream quiet;
    auto joined = zel::share::sharedScene::join(w, o, quiet, error);
    if (!joined || !joined->sync(120))
        return 1;
    std::size_t geometries = 0;
    zel::world::walkGraph(w.getRootNode(), [&](zel::sceneGraph::iSceneNode* n, int) {
        for (auto it = n->getAttributes(); it.isValid(); it.advance())
            geometries += dynamic_cast<zel::world::geometryAttr*>(it.getCurrent()) != nullptr;
        return true;
    });
    // The peak of this process's own memory: a spawned child's rusage would count the
    // parent's too (its memory until the exec).
    long peak = 0;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            peak = std::atol(line.c_str() + 6);
    std::printf("%ld %zu\n", peak, geometries);
    return 0;
}

// Peak resident memory (KiB) of `share_bench --join URL SCENE` as a process of its own, and the
// geometries it shows, as it reports them.
namespace {

std::pair<long, std::string> joinerPeak(const std::string& url, const std::string& scene) {
    int out[2];
    if (pipe(out) != 0)
        return {0, ""};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    char* argv[] = {const_cast<char*>(self.c_str()), const_cast<char*>("--join"),
                    const_cast<char*>(url.c_str()), const_cast<char*>(scene.c_str()), nullptr};
    pid_t pid = -1;
    posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string said;
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        said.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    long peak = 0;
    std::size_t geometries = 0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        std::sscanf(said.c_str(), "%ld %zu", &peak, &geometries) != 2)
        return {0, "FAILED"};
    return {peak, std::to_string(geometries)};
}

} // namespace

void amplifiedJoin(const std::string& url) {
    // The writer's model: the corpus's large.3ds (the sample archi.3ds without the corpus), its
    // first material naming a 1,000-character texture (any model file may).
    std::shared_ptr<const zel::import::scene> imported;
    fs::path file;
    for (const fs::path& candidate : {fs::path(ZEL_CORPUS_DIR) / "generated/large.3ds",
                                      fs::path(ZEL_SAMPLE_MODELS_DIR) / "archi.3ds"}) {
        std::string reason;
        file = candidate;
        if (fs::exists(candidate) && (imported = zel::import::importFile(candidate, {}, reason)) &&
            !imported->materials.empty())
            break;
        std::printf("amplified join: cannot use %s: %s\n", candidate.c_str(), reason.c_str());
        imported.reset();
    }
    if (!imported)
        return;
    auto copy = std::make_shared<zel::import::scene>(*imported);
    // Mesh 0 (one digit: 30,000 of them fit a record) with a long texture name.
    if (copy->meshes.empty() || copy->meshes[0].material >= copy->materials.size())
        return;
    copy->materials[copy->meshes[0].material].diffuseTexture = std::string(1000, 't');
    const std::shared_ptr<const zel::import::scene> model = copy;
    const std::string hash = zel::share::sha256Hex(zel::import::encode(*model));
    const std::uint32_t mesh = 0;
    std::string amplified = "[";
    for (int i = 0; i < 30000; ++i)
        amplified += (i ? "," : "") + std::to_string(mesh);
    amplified += "]";
    const std::string once = "[" + std::to_string(mesh) + "]";
    const std::string& identity = identityField;
    long peak[2] = {0, 0};
    std::string said[2];
    plainClient beaconClient(url);
    natsConnection* beaconConnection = beaconClient.connection();
    for (int amplify : {1, 0}) {
        const std::string scene = amplify ? "amplified" : "plain";
        // The writer shares the model; its user's made-up site names it in 120 records.
        siteWorld writer(url, scene, "owner");
        sceneNode* placed = writer.w.createNode(u"model");
        placed->addAttribute(zel::world::makeSceneGeometry(model, mesh).release());
        writer.drag->addChild(placed);
        writer.share->sync(60);
        {
            plainClient peer(url);
            for (int i = 1; i <= 120; ++i) {
                peer.publishAsync("$KV.zel-scene-" + scene + ".owner.0000eeee." + std::to_string(i),
                                  R"({"name":"m","parent":"","order":)" + std::to_string(i) + "," +
                                      identity + R"(,"mesh":{"scene":")" + hash + R"(","meshes":)" +
                                      (amplify ? amplified : once) + "}}");
            }
            peer.finish();
        }
        // The made-up site is present while the joiner joins, so that its mirrors hang.
        std::atomic<bool> joined{false};
        std::thread beacon([&] {
            const std::string subject = "$KV.zel-presence-" + scene + ".owner.0000eeee";
            const std::string value = R"({"user":"owner","site":"owner-0000eeee","joined":1})";
            while (!joined) {
                natsConnection_Publish(beaconConnection, subject.c_str(), value.data(),
                                       static_cast<int>(value.size()));
                for (int i = 0; i < 20 && !joined; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        // Peaks vary with when the model arrives: the median of three joiners.
        std::vector<long> peaks;
        for (int run = 0; run < 3; ++run) {
            auto [kib, geometries] = joinerPeak(url, scene);
            peaks.push_back(kib);
            said[amplify] = geometries;
        }
        std::sort(peaks.begin(), peaks.end());
        peak[amplify] = peaks[1];
        std::printf("  %s: joiner peaks %ld, %ld, %ld KiB\n", scene.c_str(), peaks[0], peaks[1],
                    peaks[2]);
        joined = true;
        beacon.join();
    }
    std::printf("join beside 120 records naming one mesh of %s (its material's texture name "
                "1,000 characters long) 30,000 times: joiner peak %.0f MiB, %s geometries shown; "
                "beside 120 naming it once: %.0f MiB, %s geometries shown; ratio %.2fx (aim: "
                "within 1.2x and under 1.5 GB)\n",
                file.filename().c_str(), peak[1] / 1024.0, said[1].c_str(), peak[0] / 1024.0,
                said[0].c_str(), peak[0] ? double(peak[1]) / double(peak[0]) : 0.0);
}

namespace {

// How many new scenes a broker takes, at most `most`, and the median time of a join that makes
// one; stops at the first refusal, whose line it keeps.
struct scenesHeld {
    int count = 0;
    double medianMs = 0;
    std::string refusal;
};
scenesHeld holdScenes(const std::string& url, int most) {
    scenesHeld out;
    std::vector<double> times;
    for (int i = 0; i < most; ++i) {
        zel::world::world w;
        zel::share::shareOptions o;
        o.servers = {url};
        o.scene = "many" + std::to_string(i);
        o.user = "maker";
        std::string error;
        std::ostringstream log;
        const auto t0 = clock_type::now();
        auto share = zel::share::sharedScene::join(w, o, log, error);
        if (!share) {
            out.refusal = error;
            break;
        }
        times.push_back(ms(clock_type::now() - t0));
        ++out.count;
    }
    out.medianMs = of(times).p50;
    return out;
}

} // namespace

void scenes(const std::string& program) {
    constexpr int most = 40;
    scenesHeld capped, reserved;
    {
        zeltest::brokerOptions options;
        options.jetstream = "  max_file_store: 1PB\n";
        options.program = program;
        zeltest::natsBroker deployment(options);
        if (!deployment.started())
            fail("nats-server did not start: " + deployment.err());
        capped = holdScenes(deployment.url(), most);
    }
    {
        zeltest::brokerOptions options;
        options.program = program;
        zeltest::natsBroker plain(options);
        if (!plain.started())
            fail("nats-server did not start: " + plain.err());
        reserved = holdScenes(plain.url(), most);
    }
    std::cout << "10. scenes one broker holds (at most " << most << "): " << capped.count
              << " as tools/broker.sh configures it (median join " << capped.medianMs
              << " ms), against " << reserved.count << " at the server's default"
              << (reserved.refusal.empty() ? std::string() : " (then: " + reserved.refusal + ")")
              << ": " << (reserved.count ? capped.count / double(reserved.count) : 0.0) << "x"
              << (capped.refusal.empty() ? std::string() : "; refused: " + capped.refusal) << "\n";
}

} // namespace sharebench
