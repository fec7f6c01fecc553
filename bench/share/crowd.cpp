// A crowd of sites, ten of them dragging: edit to mirror at one watching site against a bare put to
// a watcher under the same load, and what an idle site costs.
#include "parts.h"
#include "support.h"

#include <zel/world/geometry.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace sharebench {

void crowd(const std::string& url, int count) {
    constexpr int dragging = 10;
    constexpr int rate = 30;
    constexpr double seconds = 10.0;
    const int updates = static_cast<int>(rate * seconds);
    const std::string scene = "crowd";
    const long rssBefore = rssKiB();
    std::vector<std::unique_ptr<siteWorld>> all;
    auto model = triangleModel(1);
    for (int i = 0; i < count; ++i) {
        all.push_back(std::make_unique<siteWorld>(url, scene, "c" + std::to_string(i)));
        sceneNode* placed = all.back()->w.createNode(u"model");
        placed->addAttribute(zel::world::makeSceneGeometry(model, 0).release());
        all.back()->drag->addChild(placed);
    }
    for (auto& s : all)
        s->share->sync(60);
    siteWorld& watcher = *all.back();
    watcher.share->waitSites(count, 60);
    watcher.share->sync(60);
    const long rssJoined = rssKiB();
    // Everyone but the draggers and the watcher is pumped by one thread, as a frame loop would.
    std::atomic<bool> stop{false};
    std::thread idle([&] {
        while (!stop) {
            for (int i = dragging; i < count - 1; ++i)
                all[i]->share->pump();
            std::this_thread::sleep_for(std::chrono::milliseconds(1000 / rate));
        }
    });
    const double cpu0 = cpuSeconds();
    const auto idle0 = clock_type::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double idleCpu =
        (cpuSeconds() - cpu0) / std::chrono::duration<double>(clock_type::now() - idle0).count();
    // Draggers: x = update number; the watcher notes when each arrives.
    std::vector<std::vector<clock_type::time_point>> sentAt(
        dragging, std::vector<clock_type::time_point>(updates + 1));
    std::vector<double> latencies;
    std::atomic<bool> dragDone{false};
    std::thread watch([&] {
        std::vector<sceneNode*> mirrors(dragging, nullptr);
        std::vector<int> last(dragging, 0);
        while (!dragDone) {
            watcher.share->pump();
            const auto now = clock_type::now();
            zel::world::walkGraph(watcher.w.getRootNode(),
                                  [&](zel::sceneGraph::iSceneNode* n, int) {
                                      auto* s = dynamic_cast<sceneNode*>(n);
                                      if (!s || !s->share().mirror || s->getName() != u"drag")
                                          return true;
                                      const std::string& user = s->share().user;
                                      const int i = std::atoi(user.c_str() + 1);
                                      if (i < 0 || i >= dragging)
                                          return true;
                                      const int x = static_cast<int>(s->getMatrix().data()[12]);
                                      if (x > last[i] && x <= updates) {
                                          latencies.push_back(ms(now - sentAt[i][x]));
                                          last[i] = x;
                                      }
                                      return true;
                                  });
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::vector<std::thread> draggers;
    const auto start = clock_type::now() + std::chrono::milliseconds(200);
    for (int d = 0; d < dragging; ++d)
        draggers.emplace_back([&, d] {
            for (int u = 1; u <= updates; ++u) {
                std::this_thread::sleep_until(start +
                                              std::chrono::microseconds(1000000 / rate * u));
                sentAt[d][u] = clock_type::now();
                all[d]->set(static_cast<float>(u));
                all[d]->share->pump();
            }
        });
    for (auto& t : draggers)
        t.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    dragDone = true;
    watch.join();
    stop = true;
    idle.join();
    const std::size_t expected = static_cast<std::size_t>(dragging) * updates;
    all.clear();

    // Bare: the same number of connections watching one bucket, ten of them putting at 30 Hz.
    plainClient admin(url);
    kvConfig cfg;
    kvConfig_Init(&cfg);
    cfg.Bucket = "bare-crowd";
    cfg.History = 1;
    cfg.StorageType = js_FileStorage;
    kvStore* adminKv = nullptr;
    js_CreateKeyValue(&adminKv, admin.js(), &cfg);
    struct conn {
        natsConnection* nc = nullptr;
        jsCtx* js = nullptr;
        kvStore* kv = nullptr;
        kvWatcher* w = nullptr;
    };
    std::vector<conn> conns(count);
    for (conn& c : conns) {
        natsConnection_ConnectTo(&c.nc, url.c_str());
        natsConnection_JetStream(&c.js, c.nc, nullptr);
        js_KeyValue(&c.kv, c.js, "bare-crowd");
        kvStore_WatchAll(&c.w, c.kv, nullptr);
    }
    std::vector<std::vector<clock_type::time_point>> putAt(
        dragging, std::vector<clock_type::time_point>(updates + 1));
    std::vector<double> bare;
    std::atomic<bool> bareDone{false};
    std::vector<std::thread> drains;
    for (int i = 0; i < count; ++i)
        drains.emplace_back([&, i] {
            while (!bareDone) {
                kvEntry* e = nullptr;
                if (kvWatcher_Next(&e, conns[i].w, 100) != NATS_OK || !e)
                    continue;
                if (i == count - 1 && kvEntry_ValueLen(e) > 0) {
                    const int d = std::atoi(kvEntry_Key(e) + 1);
                    const int u = std::atoi(static_cast<const char*>(kvEntry_Value(e)));
                    if (d >= 0 && d < dragging && u >= 1 && u <= updates)
                        bare.push_back(ms(clock_type::now() - putAt[d][u]));
                }
                kvEntry_Destroy(e);
            }
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<std::thread> putters;
    const auto bareStart = clock_type::now() + std::chrono::milliseconds(200);
    for (int d = 0; d < dragging; ++d)
        putters.emplace_back([&, d] {
            const std::string key = "d" + std::to_string(d);
            for (int u = 1; u <= updates; ++u) {
                std::this_thread::sleep_until(bareStart +
                                              std::chrono::microseconds(1000000 / rate * u));
                std::string value = std::to_string(u);
                value.resize(200, ' '); // about a record's size
                putAt[d][u] = clock_type::now();
                kvStore_Put(nullptr, conns[d].kv, key.c_str(), value.data(),
                            static_cast<int>(value.size()));
            }
        });
    for (auto& t : putters)
        t.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    bareDone = true;
    for (auto& t : drains)
        t.join();
    for (conn& c : conns) {
        kvWatcher_Destroy(c.w);
        kvStore_Destroy(c.kv);
        jsCtx_Destroy(c.js);
        natsConnection_Destroy(c.nc);
    }
    kvStore_Destroy(adminKv);

    const percentiles s = of(latencies), r = of(bare);
    std::printf("%d sites, %d dragging at %d Hz for %.0f s, watched at one site:\n", count,
                dragging, rate, seconds);
    std::printf("  edit to mirror (%zu of %zu updates seen): p50 %.2f ms, p99 %.2f ms\n",
                latencies.size(), expected, s.p50, s.p99);
    std::printf("  bare put to watcher, %d watchers (%zu seen): p50 %.2f ms, p99 %.2f ms\n", count,
                bare.size(), r.p50, r.p99);
    std::printf("  ratio shared/bare: p50 %.2fx, p99 %.2fx (aim: p99 within 3x)\n", s.p50 / r.p50,
                s.p99 / r.p99);
    std::printf("  idle site: %.2f%% of a core, %.0f KiB resident each (whole process over %d "
                "sites)\n",
                100.0 * idleCpu / count, double(rssJoined - rssBefore) / count, count);
}

} // namespace sharebench
