// Other sites' models on their way in: requests queue per user and users take turns; a model
// that is not there yet is looked for again later; what arrived (or will not) is handed over.
#pragma once

#include "asset_cache.h"
#include "asset_store.h"
#include "fetch_table.h"
#include "retry.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

namespace zel::share::detail {

class assetFetcher {
public:
    // arrived is called on a fetch thread with the user, the hash and the model (null: it will
    // not come).
    using arrivedFn =
        std::function<void(const std::string& user, const std::string& hash, sceneRef scene)>;
    assetFetcher(assetStore& store, assetCache& cache, std::ostream& log,
                 const std::atomic<bool>& stopping, arrivedFn arrived)
        : store_(store), cache_(cache), log_(log), stopping_(stopping),
          arrived_(std::move(arrived)) {}

    // A model that failed its checks before is answered at once (null), without a fetch.
    void fetch(const std::string& user, const std::string& hash);
    // Models that records name and that are not on the broker ("user.hash").
    std::vector<std::string> missing();
    // Fetches that are queued or under way.
    std::size_t underWay();
    // One fetch thread, until stop().
    void run();
    void stop();

private:
    assetStore& store_;
    assetCache& cache_;
    std::ostream& log_;
    const std::atomic<bool>& stopping_;
    arrivedFn arrived_;

    std::mutex mutex_;
    std::condition_variable cv_;
    bool stopped_ = false;
    fetchTable table_;
    clock::time_point lastMissingLine_{};
};

} // namespace zel::share::detail
