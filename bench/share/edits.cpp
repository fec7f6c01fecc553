// Edits through the broker: an edit to its mirror against a bare put to a watcher, a late joiner's
// catch-up against a bare watcher's, eight sites dragging at once, and one change's bytes.
#include "parts.h"
#include "support.h"

#include <zel/share/records.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace sharebench {

void latency(const std::string& url) {
    // Shared: A edits, B's world thread pumps and sees the mirror change.
    siteWorld a(url, "lat", "alice"), b(url, "lat", "bob");
    a.share->sync(10);
    b.share->waitSites(2, 10);
    b.share->sync(10);
    constexpr int edits = 2000;
    std::vector<double> shared;
    std::atomic<int> sent{-1};
    std::vector<clock_type::time_point> sentAt(edits);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        sceneNode* mirror = nullptr;
        int last = -1;
        while (!done) {
            b.share->pump();
            if (!mirror) {
                zel::world::walkGraph(b.w.getRootNode(), [&](zel::sceneGraph::iSceneNode* n, int) {
                    auto* s = dynamic_cast<sceneNode*>(n);
                    if (s && s->share().mirror && s->getName() == u"drag")
                        mirror = s;
                    return !mirror;
                });
                continue;
            }
            const int seen = static_cast<int>(mirror->getMatrix().data()[12]);
            if (seen > last && seen >= 1 && seen <= edits) {
                shared.push_back(ms(clock_type::now() - sentAt[seen - 1]));
                last = seen;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int i = 1; i <= edits; ++i) {
        sentAt[i - 1] = clock_type::now();
        a.set(static_cast<float>(i));
        a.share->pump();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    done = true;
    reader.join();

    // Bare: a put through one connection to a watcher on another.
    plainClient putter(url), watching(url);
    kvStore *pk = nullptr, *wk = nullptr;
    kvConfig cfg;
    kvConfig_Init(&cfg);
    cfg.Bucket = "bare-lat";
    cfg.History = 1;
    cfg.StorageType = js_FileStorage;
    js_CreateKeyValue(&pk, putter.js(), &cfg);
    js_KeyValue(&wk, watching.js(), "bare-lat");
    kvWatcher* watcher = nullptr;
    kvStore_WatchAll(&watcher, wk, nullptr);
    std::vector<double> bare;
    const std::string value = zel::share::encodeRecord({});
    std::atomic<bool> bareDone{false};
    std::vector<clock_type::time_point> putAt(edits);
    std::thread watch([&] {
        while (!bareDone) {
            kvEntry* e = nullptr;
            if (kvWatcher_Next(&e, watcher, 100) != NATS_OK || !e)
                continue;
            const int i = std::atoi(kvEntry_Key(e) + 2);
            if (i >= 1 && i <= edits)
                bare.push_back(ms(clock_type::now() - putAt[i - 1]));
            kvEntry_Destroy(e);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int i = 1; i <= edits; ++i) {
        const std::string key = "k." + std::to_string(i);
        putAt[i - 1] = clock_type::now();
        kvStore_Put(nullptr, pk, key.c_str(), value.data(), static_cast<int>(value.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    bareDone = true;
    watch.join();
    kvWatcher_Destroy(watcher);
    kvStore_Destroy(pk);
    kvStore_Destroy(wk);

    const percentiles s = of(shared), r = of(bare);
    std::printf("edit to mirror (%zu of %d edits seen): p50 %.3f ms, p99 %.3f ms\n", shared.size(),
                edits, s.p50, s.p99);
    std::printf("bare KV put to watcher (%zu of %d):     p50 %.3f ms, p99 %.3f ms\n", bare.size(),
                edits, r.p50, r.p99);
    std::printf("ratio shared/bare: p50 %.2fx, p99 %.2fx\n", s.p50 / r.p50, s.p99 / r.p99);
}

void lateJoin(const std::string& url, int nodes) {
    const std::string scene = "join" + std::to_string(nodes);
    double sharedMs = 0, bareMs = 0;
    {
        siteWorld a(url, scene, "owner");
        for (int i = 0; i < nodes; ++i) {
            sceneNode* n = a.w.createNode(u"n");
            a.drag->addChild(n);
        }
        a.share->sync(60);
        const std::size_t heapBefore = mallinfo2().uordblks;
        const auto start = clock_type::now();
        siteWorld c(url, scene, "late");
        c.share->sync(60);
        sharedMs = ms(clock_type::now() - start);
        const std::size_t heapAfter = mallinfo2().uordblks;
        if (nodes >= 10000) {
            // The same number of plain nodes hung in a world: what the nodes themselves cost.
            const std::size_t plainBefore = mallinfo2().uordblks;
            {
                zel::world::world plain;
                for (int i = 0; i < nodes; ++i)
                    dynamic_cast<sceneNode*>(plain.getNavigatorNode())
                        ->addChild(plain.createNode(u"n"));
                const std::size_t plainAfter = mallinfo2().uordblks;
                std::printf("bookkeeping per mirror besides the node itself: %.0f bytes "
                            "(heap per mirror %.0f, per plain node %.0f; aim under 300)\n",
                            (double(heapAfter) - double(heapBefore) - double(plainAfter) +
                             double(plainBefore)) /
                                nodes,
                            (double(heapAfter) - double(heapBefore)) / nodes,
                            (double(plainAfter) - double(plainBefore)) / nodes);
            }
        }
        std::size_t mirrors = 0;
        zel::world::walkGraph(c.w.getRootNode(), [&](zel::sceneGraph::iSceneNode* n, int) {
            auto* s = dynamic_cast<sceneNode*>(n);
            mirrors += s && s->share().mirror;
            return true;
        });
        if (mirrors < static_cast<std::size_t>(nodes))
            std::printf("  (late joiner holds %zu mirrors)\n", mirrors);
    }
    {
        // Bare: connect, bind the bucket, and watch until the initial values are done.
        const auto start = clock_type::now();
        plainClient bare(url);
        kvStore* kv = nullptr;
        kvWatcher* w = nullptr;
        const std::string bucket = "zel-scene-" + scene;
        js_KeyValue(&kv, bare.js(), bucket.c_str());
        kvStore_WatchAll(&w, kv, nullptr);
        int got = 0;
        for (;;) {
            kvEntry* e = nullptr;
            if (kvWatcher_Next(&e, w, 10000) != NATS_OK || !e)
                break;
            ++got;
            kvEntry_Destroy(e);
        }
        bareMs = ms(clock_type::now() - start);
        kvWatcher_Destroy(w);
        kvStore_Destroy(kv);
        (void)got;
    }
    std::printf("late join, %5d nodes: shared %.1f ms, bare watcher %.1f ms, ratio %.2fx\n", nodes,
                sharedMs, bareMs, sharedMs / bareMs);
}

void drag(const std::string& url) {
    constexpr int sites = 8;
    constexpr int rate = 60;
    constexpr double seconds = 10.0;
    std::vector<std::unique_ptr<siteWorld>> all;
    for (int i = 0; i < sites; ++i)
        all.push_back(std::make_unique<siteWorld>(url, "drag", "s" + std::to_string(i)));
    for (auto& s : all)
        s->share->waitSites(sites, 30);
    for (auto& s : all)
        s->share->sync(30);
    const int updates = static_cast<int>(rate * seconds);
    std::atomic<int> finished{0};
    std::vector<double> applied(sites, -1), lastAt(sites, 0);
    std::vector<std::thread> threads;
    const auto start = clock_type::now();
    for (int i = 0; i < sites; ++i)
        threads.emplace_back([&, i] {
            siteWorld& s = *all[i];
            for (int u = 1; u <= updates; ++u) {
                s.set(static_cast<float>(u));
                s.share->pump();
                if (u == updates)
                    lastAt[i] = ms(clock_type::now().time_since_epoch());
                else
                    std::this_thread::sleep_until(start +
                                                  std::chrono::microseconds(1000000 / rate * u));
            }
            ++finished;
            // Until every other site's last update is here.
            const auto deadline = clock_type::now() + std::chrono::seconds(10);
            while (clock_type::now() < deadline) {
                s.share->pump();
                const std::vector<float> xs = s.mirroredDrags();
                if (xs.size() == sites - 1 &&
                    std::all_of(xs.begin(), xs.end(), [&](float x) { return x == updates; })) {
                    applied[i] = ms(clock_type::now().time_since_epoch());
                    break;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    for (auto& t : threads)
        t.join();
    const double end = *std::max_element(lastAt.begin(), lastAt.end());
    double worst = 0;
    bool all_ok = true;
    for (double a : applied) {
        if (a < 0)
            all_ok = false;
        worst = std::max(worst, std::max(0.0, a - end));
    }
    std::printf("8 sites dragging at 60 Hz for 10 s: last update applied everywhere %s %.1f ms "
                "after the last site's last update\n",
                all_ok ? "within" : "NOT within 10 s;", worst);
}

void bytes() {
    zel::share::nodeRecord r;
    r.name = "geomSink -> archi.3ds";
    r.parent = "alice.3f09c2d1.2";
    r.order = 0;
    r.matrix = {1, 0, 0, 0, 0, 0, -1, 0, 0, 1, 0, 0, 0.75f, 0.125f, -0.25f, 1};
    r.meshScene = std::string(64, 'a');
    r.meshes = {0};
    const std::string value = zel::share::encodeRecord(r);
    const std::string subject = "$KV.zel-scene-default.alice.3f09c2d1.3";
    // The client's PUB line with its reply inbox, the payload, the line ends; the broker's
    // acknowledgement comes back to the publisher only.
    const std::string pub = "PUB " + subject + " _INBOX.0123456789ABCDEFGHIJKL.0123456789 " +
                            std::to_string(value.size()) + "\r\n";
    std::printf("one matrix change: record %zu bytes, on the wire to the broker %zu bytes "
                "(bare 16 floats: 64 bytes)\n",
                value.size(), pub.size() + value.size() + 2);
}

} // namespace sharebench
