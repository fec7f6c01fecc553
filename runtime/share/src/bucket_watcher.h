// One bucket and its watcher: a thread drains the watcher into an inbox that keeps the newest
// entry per key in the order keys first came, and makes the watcher again when it went silent
// while its stream moved on (its consumer went down with a cluster node) or when its bucket was
// lost and made again. The watcher is an ordered consumer bound to the bucket's stream by name:
// the client's own key-value watcher first looks the stream up among all stream names, which a
// deployment with an account per user rightly does not tell.
#pragma once

#include "connection.h"
#include "handles.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace zel::share::detail {

// One entry of a bucket as its watcher delivered it.
struct bucketEntry {
    std::string key;
    std::string value;
    bool erased = false;
    std::uint64_t revision = 0;
    std::uint64_t generation = 0; // the bucket's generation it came from
    // When the watcher's thread took it: a presence counts from then, however late it is applied.
    std::chrono::steady_clock::time_point received{};
};

class bucketWatcher {
public:
    struct events {
        // Something arrived for the inbox; quick and safe on any thread.
        std::function<void()> arrived;
        // The watcher was made again: what it replays may not be all there was.
        std::function<void()> remade;
        // A purge marker arrived in a bucket that lets writers purge or roll up: records may be
        // gone without a delete of their own. At most once a minute.
        std::function<void()> purged;
    };
    bucketWatcher(bucketSpec spec, std::ostream& log, const std::atomic<bool>& connected,
                  const std::atomic<bool>& stopping, events on)
        : spec_(std::move(spec)), log_(log), connected_(connected), stopping_(stopping),
          on_(std::move(on)) {}
    ~bucketWatcher() { close(); }

    // Opens (or makes) the bucket on conn and starts watching it.
    bool open(connection& conn, std::string& error);
    // The watcher's thread, until stopping.
    void run();
    void close();

    std::vector<bucketEntry> take(std::size_t max);
    bool loaded() const { return loaded_; }
    const std::string& name() const { return spec_.name; }
    // Counts the times the bucket was found made anew (its sequence started again).
    std::uint64_t generation() const { return generation_; }
    kvStore* store() const { return kv_.get(); }

private:
    bool watch();

    connection* conn_ = nullptr;
    bucketSpec spec_;
    std::ostream& log_;
    std::atomic<std::uint64_t> generation_{0};
    const std::atomic<bool>& connected_;
    const std::atomic<bool>& stopping_;
    events on_;
    std::atomic<bool> loaded_{false};
    // The current watcher's first replay: done once a record says none are pending after it, or
    // once the stream held none, or after a quiet moment (records that expired meanwhile).
    bool replayed_ = false;
    std::chrono::steady_clock::time_point watchedAt_;
    // The bucket lets writers purge or roll up; elsewhere a purge marker deletes its one key.
    bool purgeable_ = false;

    std::mutex watcherMutex_;
    storeHandle kv_;
    watcherHandle watcher_;
    struct retiring {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<retiring> retiring_; // old watchers going

    std::mutex inboxMutex_;
    std::deque<std::string> order_;
    std::unordered_map<std::string, bucketEntry> inbox_;
};

} // namespace zel::share::detail
