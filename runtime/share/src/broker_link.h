// The link to the broker, made of one part per job: the connection, the scene's two watched
// buckets, this site's presence beacon, the record publisher, the model uploader, the asset
// store with its cache, and the asset fetcher. Its threads never touch the world: what arrives
// waits in inboxes that the world's thread empties, and what leaves is handed over in publish().
//
// Threads: one drains each watched bucket; one refreshes the presence record every second and
// does nothing else; one publishes records and hears their acknowledgements; one uploads this
// site's models and one watches this user's keys among the models; a few fetch other sites'
// models, taking turns among their users.
#pragma once

#include "asset_cache.h"
#include "asset_fetcher.h"
#include "asset_store.h"
#include "bucket_watcher.h"
#include "connection.h"
#include "model_uploader.h"
#include "presence_beacon.h"
#include "record_publisher.h"
#include "share_types.h"

#include <zel/share/records.h>
#include <zel/share/share_options.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace zel::share::detail {

struct arrivedAsset {
    std::string user;
    std::string hash;
    sceneRef scene; // null: it will not come
};

class brokerLink final : connectionListener {
public:
    // Connects, opens (or makes) the buckets and starts the threads. Null, with one line in error,
    // when the broker cannot be reached, refuses the credentials or the buckets cannot be opened.
    static std::unique_ptr<brokerLink> open(const shareOptions& options, const siteName& self,
                                            std::ostream& log, std::string& error);
    // Stops the threads, takes this site's presence off the broker (when it may) and closes.
    ~brokerLink();
    brokerLink(const brokerLink&) = delete;
    brokerLink& operator=(const brokerLink&) = delete;

    // ---- from the world's thread ----
    // Records to send. Each stays pending until the broker acknowledged its latest state; a
    // record equal to what the broker already holds is not sent again. A record naming a model
    // waits for the model's upload.
    void publish(std::vector<outgoing> items);
    // What the broker holds under one of this site's own keys (see recordPublisher::verifyOwn).
    void verifyOwn(const std::string& key, const std::string& value, bool erased);
    void fetch(const assetRequest& request);
    // Node entries in arrival order, the newest per key, at most max.
    std::vector<bucketEntry> takeNodes(std::size_t max) { return nodes_.take(max); }
    std::vector<bucketEntry> takePresence() { return presence_.take(SIZE_MAX); }
    std::vector<arrivedAsset> takeAssets();
    sceneRef findAsset(const std::string& hash) { return cache_.find(hash); }

    // Records not yet acknowledged (those waiting for their model's upload included).
    std::size_t unsettled();
    // The last problem the broker reported with a record ("" when none).
    std::string lastError() { return publisher_.lastError(); }
    // Models that records name and that are not on the broker ("user.hash").
    std::vector<std::string> missingAssets() { return fetcher_.missing(); }
    // Fetches that are queued or under way.
    std::size_t fetchesUnderWay() { return fetcher_.underWay(); }
    // The node bucket's last sequence, or nothing when the broker does not answer.
    std::optional<std::uint64_t> nodesLastSequence(int waitMs) {
        return conn_->lastSequence(nodes_.name(), waitMs);
    }

    // Counts the times the node bucket was found made anew.
    std::uint64_t nodesGeneration() const { return nodes_.generation(); }
    bool nodesLoaded() const { return nodes_.loaded(); }
    bool presenceLoaded() const { return presence_.loaded(); }
    bool connected() const { return connected_; }
    bool writeRefused() const { return writeRefused_; }
    // When this site joined, as its presence record says (seconds since 1970).
    double joinedAt() const { return joinedAt_; }
    // Called on the link's threads each time something arrives for the world's thread; quick and
    // safe on any thread. Empty: nobody is called.
    void setWakeUp(std::function<void()> wake);
    const std::string& nodeBucket() const { return nodes_.name(); }

private:
    brokerLink(std::ostream& log, const shareOptions& options, const siteName& self);
    bool open(std::string& error);
    void start();
    void wake();
    bool ownSubject(const char* text) const;
    // The broker refused this site's own records: it views the scene from now on.
    void refused();
    // Under routeMutex_: a record goes to the publisher, or waits for its model.
    void route(outgoing item);
    void modelDone(const import::scene* scene);
    // Records may have gone without a delete of their own: this site's records go again, and its
    // models whose manifest is gone are stored again.
    void verifyEverything();
    void publishLoop();
    // Watches this user's keys in the asset bucket: a model of this site's that someone else
    // changed or deleted is mended, as its records are.
    void watchOwnAssets();
    bool send(const std::string& key, const std::string& value, bool erase);

    // Called on libnats threads.
    void onError(natsStatus err, const char* text) override;
    void onDisconnected() override;
    void onReconnected() override;
    void onAck(natsMsg* msg, jsPubAckErr* pae) override;

    std::ostream& log_;
    shareOptions options_;
    siteName self_;
    std::string selfId_;
    double joinedAt_ = 0.0;

    std::atomic<bool> stopping_{false};
    std::atomic<bool> connected_{true};
    std::atomic<bool> writeRefused_{false};
    std::atomic<bool> toldRefused_{false};
    std::atomic<bool> toldPurged_{false};

    // Destroyed in reverse: the parts that use the connection go before it.
    std::unique_ptr<connection> conn_;
    bucketWatcher nodes_;
    bucketWatcher presence_;
    // Models fetched before, in this run or an earlier one, kept by their hash on disk.
    std::unique_ptr<import::diskCache> modelCache_;
    assetCache cache_;
    assetStore store_;
    recordPublisher publisher_;
    modelUploader uploader_;
    assetFetcher fetcher_;
    std::unique_ptr<presenceBeacon> beacon_;
    watcherHandle ownAssets_; // this user's keys among the models: watchOwnAssets()'s
    std::vector<std::thread> threads_;

    std::mutex wakeMutex_;
    std::function<void()> wakeUp_;
    std::mutex assetInboxMutex_;
    std::vector<arrivedAsset> assetInbox_;

    // Records whose model is being uploaded (or could not be): sent again once it is stored.
    std::mutex routeMutex_;
    std::unordered_map<std::string, outgoing> parked_;
};

} // namespace zel::share::detail
