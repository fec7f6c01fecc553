// Frames of a watching site while a large site comes and goes, and while a long chain above many
// leaves moves: the longest pump against the median.
#include "parts.h"
#include "support.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

namespace sharebench {

void leaveAndReturn(const std::string& url) {
    const std::string scene = "comings";
    siteWorld watcher(url, scene, "watch");
    plainClient writer(url);
    natsConnection* nc = writer.connection();
    constexpr int records = 100000;
    const std::string& identity = identityField;
    for (int i = 1; i <= records; ++i) {
        const std::string subject = "$KV.zel-scene-" + scene + ".big.0000000d." + std::to_string(i);
        const std::string value = R"({"name":"r","parent":"","order":)" +
                                  std::to_string((i * 7919) % records) + "," + identity + "}";
        writer.publishAsync(subject, value);
    }
    writer.finish();
    // The site's presence, refreshed every second while it is there.
    std::atomic<bool> there{true}, done{false};
    std::thread beacon([&] {
        const std::string subject = "$KV.zel-presence-" + scene + ".big.0000000d";
        const std::string value = R"({"user":"big","site":"big-0000000d","joined":1})";
        while (!done) {
            if (there)
                natsConnection_Publish(nc, subject.c_str(), value.data(),
                                       static_cast<int>(value.size()));
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        }
    });
    watcher.share->sync(120);
    auto mirrorsAtRoot = [&] { return watcher.w.getRootNode()->getNumChildren(); };
    // Frames every 5 ms until `until` holds (at most 30 s): the processor time of each (the
    // world's thread does all of a frame's work), and the longest in wall-clock time.
    double longestWall = 0;
    auto frames = [&](const std::function<bool()>& until) {
        std::vector<double> took;
        const auto deadline = clock_type::now() + std::chrono::seconds(30);
        while (!until() && clock_type::now() < deadline) {
            const auto start = clock_type::now();
            const double cpu = threadMs();
            watcher.share->pump();
            took.push_back(threadMs() - cpu);
            longestWall = std::max(longestWall, ms(clock_type::now() - start));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return took;
    };
    frames([&] { return mirrorsAtRoot() >= records; });
    const auto steadyUntil = clock_type::now() + std::chrono::seconds(2);
    std::vector<double> steady = frames([&] { return clock_type::now() > steadyUntil; });
    const int shown = mirrorsAtRoot();
    longestWall = 0;
    there = false;
    std::vector<double> leaving = frames([&] { return mirrorsAtRoot() < shown; });
    const int hidden = mirrorsAtRoot();
    const double wallLeaving = std::exchange(longestWall, 0.0);
    there = true;
    std::vector<double> returning = frames([&] { return mirrorsAtRoot() == shown; });
    done = true;
    beacon.join();
    auto longest = [](const std::vector<double>& v) {
        return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end());
    };
    const double median = of(steady).p50;
    double load[1] = {0};
    getloadavg(load, 1);
    std::printf("a site of %d root records leaving and returning (%d then %d then %d nodes at the "
                "root): longest frame while it leaves %.1f ms, while it returns %.1f ms of "
                "processor time (aim: under 50 ms; wall clock %.0f and %.0f ms at load average "
                "%.1f); median steady frame %.3f ms, longest %.1f ms\n",
                records, shown, hidden, mirrorsAtRoot(), longest(leaving), longest(returning),
                wallLeaving, longestWall, load[0], median, longest(steady));
}

void chainMove(const std::string& url) {
    // One writer's chain of 200 nodes with 99,800 leaves below its bottom node; then the chain's
    // nodes move, 400 records a second for 10 s. A watching site pumps every 5 ms: its longest pump
    // against its median pump before the moves, and whether another site's presence held.
    const std::string scene = "chain";
    siteWorld watcher(url, scene, "watch");
    plainClient writer(url);
    natsConnection* nc = writer.connection();
    constexpr int chain = 200, leaves = 99800;
    const auto record = [](int parent, int order, float x) {
        const std::string p = parent > 0 ? "big.0000000d." + std::to_string(parent) : std::string();
        return R"({"name":"c","parent":")" + p + R"(","order":)" + std::to_string(order) +
               R"(,"matrix":[1,0,0,0,0,1,0,0,0,0,1,0,)" + std::to_string(x) + ",0,0,1]}";
    };
    const auto put = [&](int n, const std::string& value) {
        const std::string subject = "$KV.zel-scene-" + scene + ".big.0000000d." + std::to_string(n);
        writer.publishAsync(subject, value);
    };
    for (int i = 1; i <= chain; ++i)
        put(i, record(i - 1, 0, 0));
    for (int i = 1; i <= leaves; ++i)
        put(chain + i, record(chain, i, static_cast<float>(i % 100)));
    writer.finish();
    // The writer's presence and another site's, each refreshed every second.
    std::atomic<bool> done{false};
    std::thread beacon([&] {
        const std::string big = "$KV.zel-presence-" + scene + ".big.0000000d";
        const std::string bigValue = R"({"user":"big","site":"big-0000000d","joined":1})";
        const std::string friendly = "$KV.zel-presence-" + scene + ".friend.0000000f";
        const std::string friendValue = R"({"user":"friend","site":"friend-0000000f","joined":1})";
        while (!done) {
            natsConnection_Publish(nc, big.c_str(), bigValue.data(),
                                   static_cast<int>(bigValue.size()));
            natsConnection_Publish(nc, friendly.c_str(), friendValue.data(),
                                   static_cast<int>(friendValue.size()));
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        }
    });
    watcher.share->sync(120);
    const auto friendPresent = [&] {
        for (const auto& site : watcher.share->sites())
            if (site.user == "friend")
                return true;
        return false;
    };
    int mirrored = 0;
    // Each pump's processor time (the world's thread does all of a pump's work), and its longest
    // wall-clock time.
    double longestWall = 0;
    auto frames = [&](const std::function<bool()>& until, int seconds, int* friendMissing) {
        std::vector<double> took;
        const auto deadline = clock_type::now() + std::chrono::seconds(seconds);
        while (!until() && clock_type::now() < deadline) {
            const auto start = clock_type::now();
            const double cpu = threadMs();
            watcher.share->pump();
            took.push_back(threadMs() - cpu);
            longestWall = std::max(longestWall, ms(clock_type::now() - start));
            if (friendMissing && !friendPresent())
                ++*friendMissing;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return took;
    };
    const auto countMirrors = [&] {
        mirrored = 0;
        zel::world::walkGraph(watcher.w.getRootNode(), [&](zel::sceneGraph::iSceneNode* n, int) {
            auto* node = dynamic_cast<sceneNode*>(n);
            mirrored += node && node->share().mirror;
            return true;
        });
        return mirrored;
    };
    frames([&] { return countMirrors() >= chain + leaves; }, 60, nullptr);
    const auto steadyUntil = clock_type::now() + std::chrono::seconds(2);
    const std::vector<double> steady =
        frames([&] { return clock_type::now() > steadyUntil; }, 3, nullptr);
    // 400 records a second: one every 2.5 ms, round the chain.
    std::atomic<bool> moving{true};
    std::thread mover([&] {
        const auto start = clock_type::now();
        for (int k = 0; moving; ++k) {
            const int n = 1 + k % chain;
            put(n, record(n - 1, 0, static_cast<float>(k % 7)));
            std::this_thread::sleep_until(start + std::chrono::microseconds(2500) * (k + 1));
        }
    });
    int friendMissing = 0;
    longestWall = 0;
    const std::vector<double> during = frames([] { return false; }, 10, &friendMissing);
    moving = false;
    mover.join();
    done = true;
    beacon.join();
    const int shown = countMirrors();
    const double longest = during.empty() ? 0.0 : *std::max_element(during.begin(), during.end());
    const double median = of(steady).p50;
    double load[1] = {0};
    getloadavg(load, 1);
    std::printf("a chain of %d with %d leaves below it, the chain moved 400 records a second for "
                "10 s: longest pump %.1f ms of processor time, p99 %.1f ms over %zu pumps (aim: "
                "16 ms; longest wall clock %.1f ms at load average %.1f); median pump before the "
                "moves %.3f ms (ratio %.0fx); another site missing in %d pumps; %d mirrors shown\n",
                chain, leaves, longest, of(during).p99, during.size(), longestWall, load[0], median,
                median > 0 ? longest / median : 0.0, friendMissing, shown);
}

} // namespace sharebench
