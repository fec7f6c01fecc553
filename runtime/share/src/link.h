// The link to the broker: the connection, the scene's buckets and their watchers, this site's
// presence, the records on their way out (each kept until the broker acknowledged it), and the
// models on their way in and out. Its threads never touch the world: what arrives waits in
// inboxes that the world's thread empties, and what leaves is handed over in publish().
//
// Threads: one drains each bucket's watcher (and makes the watcher again when it went silent or
// its bucket was lost); one refreshes the presence record every second and does nothing else; one
// publishes records and hears their acknowledgements; one uploads this site's models; a few fetch
// other sites' models, taking turns among their users.
#pragma once

#include "handles.h"
#include "mirror_set.h"
#include "own_nodes.h"

#include <zel/share/records.h>
#include <zel/share/shared_scene.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
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
};

struct arrivedAsset {
    std::string user;
    std::string hash;
    sceneRef scene; // null: it will not come
};

struct linkCallbacks;

class link {
public:
    // Connects, opens (or makes) the buckets and starts the threads. Null, with one line in error,
    // when the broker cannot be reached, refuses the credentials or the buckets cannot be opened.
    static std::unique_ptr<link> open(const shareOptions& options, const siteName& self,
                                      std::ostream& log, std::string& error);
    // Stops the threads, takes this site's presence off the broker (when it may) and closes.
    ~link();
    link(const link&) = delete;
    link& operator=(const link&) = delete;

    // ---- from the world's thread ----
    // Records to send. Each stays pending until the broker acknowledged its latest state; a
    // record equal to what the broker already holds is not sent again.
    void publish(std::vector<outgoing> items);
    // What the broker holds under one of this site's own keys: when it is not what this site
    // wants there (deleted by someone, or a stale write), the wanted state goes out again.
    void verifyOwn(const std::string& key, const std::string& value, bool erased);
    void fetch(const assetRequest& request);
    // Node entries in arrival order, the newest per key, at most max.
    std::vector<bucketEntry> takeNodes(std::size_t max);
    std::vector<bucketEntry> takePresence();
    std::vector<arrivedAsset> takeAssets();
    sceneRef findAsset(const std::string& hash);

    // Records not yet acknowledged (models waiting for their upload included).
    std::size_t unsettled();
    // The last problem the broker reported with a record ("" when none).
    std::string lastError();
    // Models that records name and that are not on the broker ("user.hash").
    std::vector<std::string> missingAssets();
    // Fetches that are queued or under way.
    std::size_t fetchesUnderWay();
    // The node bucket's last sequence, or nothing when the broker does not answer.
    std::optional<std::uint64_t> nodesLastSequence(int waitMs);

    bool nodesLoaded() const { return nodesLoaded_; }
    bool presenceLoaded() const { return presenceLoaded_; }
    bool connected() const { return connected_; }
    bool writeRefused() const { return writeRefused_; }
    // When this site joined, as its presence record says (seconds since 1970).
    double joinedAt() const { return joinedAt_; }
    // Called on the link's threads each time something arrives for the world's thread; quick and
    // safe on any thread. Empty: nobody is called.
    void setWakeUp(std::function<void()> wake);
    const std::string& nodeBucket() const { return nodes_.name; }

    // Called on libnats threads.
    void onError(natsStatus err, const char* text);
    void onDisconnected();
    void onReconnected();
    void onAck(natsMsg* msg, jsPubAckErr* pae);

private:
    struct bucket {
        std::string name;
        storeHandle kv;
        watcherHandle watcher;
    };
    struct keyState {
        std::string value; // the record; empty for a delete
        bool erase = false;
        bool dirty = false; // to be sent
        bool acked = false; // the broker acknowledged the latest send
        int inflight = 0;
        int failures = 0;
        clock::time_point retryAt{};
        bool settled() const { return !dirty && inflight == 0 && acked; }
    };
    struct sharedModel {
        std::weak_ptr<const import::scene> scene;
        enum state { working, stored, failed, tooLarge } state = working;
        std::string hash;
        int failures = 0;
        clock::time_point retryAt{};
    };
    struct fetchState {
        enum state { queued, fetching, missing, retrying, failed } state = queued;
        int attempts = 0;
        clock::time_point retryAt{};
    };
    struct cached {
        sceneRef scene;
        std::size_t bytes = 0;
        std::list<std::string>::iterator use;
    };

    link(std::ostream& log, const shareOptions& options, const siteName& self);
    bool connect(std::string& error);
    bool openBucket(bucket& b, const std::string& name, std::int64_t ttl, std::string& error);
    void start();
    bool ownSubject(const char* text) const;
    // The broker refused this site's own records: it views the scene from now on.
    void refused();

    void watchLoop(bucket& b, bool presence);
    void presenceLoop();
    void publishLoop();
    void uploadLoop();
    void fetchLoop();

    // Under publishMutex_: changes one key's state and keeps the count of unsettled keys.
    template <class F> void update(const std::string& key, F&& change);
    void enqueue(outgoing item); // under publishMutex_
    void resendEverything();
    void uploadFinished(const import::scene* scene);

    // The asset "user.hash": manifest, chunks, hash and decoding checked. Null with the reason;
    // transient tells whether trying again later may help.
    sceneRef download(const std::string& user, const std::string& hash, std::string& reason,
                      bool& transient, bool& missing);
    bool upload(const std::string& hash, const std::vector<std::byte>& blob);
    void remember(const std::string& hash, const sceneRef& scene, std::size_t bytes);

    std::ostream& log_;
    shareOptions options_;
    siteName self_;
    std::string selfId_;
    double joinedAt_ = 0.0;
    std::shared_ptr<linkCallbacks> callbacks_;

    // Destroyed in reverse: buckets (watchers, stores), then the context, then the connection.
    connectionHandle conn_;
    jetStreamHandle js_;
    bucket nodes_, presence_, assets_;
    std::mutex watcherMutex_;

    std::atomic<bool> stopping_{false};
    std::atomic<bool> connected_{true};
    std::atomic<bool> writeRefused_{false};
    std::atomic<bool> toldRefused_{false};
    std::atomic<bool> nodesLoaded_{false};
    std::atomic<bool> presenceLoaded_{false};
    std::vector<std::thread> threads_;
    std::mutex sleepMutex_;
    std::condition_variable sleepCv_;

    // Inboxes.
    std::mutex inboxMutex_;
    std::deque<std::string> nodeOrder_;
    std::unordered_map<std::string, bucketEntry> nodeInbox_;
    // The newest per key.
    std::unordered_map<std::string, bucketEntry> presenceInbox_;
    std::function<void()> wakeUp_; // under inboxMutex_
    std::vector<arrivedAsset> assetInbox_;

    // Publishing.
    std::mutex publishMutex_;
    std::condition_variable publishCv_;
    std::unordered_map<std::string, keyState> keys_;
    std::size_t unsettled_ = 0;
    std::string lastError_;
    clock::time_point lastErrorLine_{};
    // Records whose model is being uploaded (or could not be): sent again once it is stored.
    std::unordered_map<std::string, outgoing> parked_;
    std::map<const import::scene*, sharedModel> models_;
    std::deque<std::shared_ptr<const import::scene>> uploads_;
    std::condition_variable uploadCv_;

    // Fetching and the cache.
    std::mutex assetMutex_;
    std::condition_variable assetCv_;
    std::map<std::string, std::deque<std::string>> fetchQueues_; // user -> hashes
    std::string lastUserServed_;
    std::unordered_map<std::string, fetchState> fetches_; // "user.hash"
    std::unordered_map<std::string, cached> cache_;
    std::list<std::string> cacheUse_; // most recent first
    std::size_t cacheBytes_ = 0;
    int fetching_ = 0;
    std::size_t underWay_ = 0; // fetches queued, under way or to be tried again soon
    std::multimap<clock::time_point, std::string> retries_;
    clock::time_point lastMissingLine_{};
};

} // namespace zel::share::detail
