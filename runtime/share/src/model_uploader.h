// This site's models on their way to the broker: each is encoded, hashed and stored once, and
// stored again after a failure (later each time) or when its manifest went from the broker.
#pragma once

#include "asset_cache.h"
#include "asset_store.h"
#include "retry.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <string>

namespace zel::share::detail {

class modelUploader {
public:
    enum class status { working, stored, failed, tooLarge };
    struct model {
        status state = status::working;
        std::string hash; // when stored
    };

    // done is called on the uploader's thread after each upload ended, stored or not.
    modelUploader(assetStore& store, assetCache& cache, std::string user, std::ostream& log,
                  const std::atomic<bool>& stopping, const std::atomic<bool>& refused,
                  std::function<void(const import::scene*)> done)
        : store_(store), cache_(cache), user_(std::move(user)), log_(log), stopping_(stopping),
          refused_(refused), done_(std::move(done)) {}

    // Where the model stands; one not known before (or gone, its address used again) is queued.
    model want(const std::shared_ptr<const import::scene>& source);
    // Every stored model is looked for on the broker and stored again when its manifest is gone.
    void recheck();
    // A key of this site's stored model hash changed on the broker without this site: the model
    // is read back and stored again unless it is whole (records naming it keep it meanwhile).
    void repair(const std::string& hash);
    // The uploader's thread, until stop().
    void run();
    void stop();

private:
    struct entry {
        std::weak_ptr<const import::scene> scene;
        status state = status::working;
        std::string hash;
        int failures = 0;
        clock::time_point retryAt{};
        bool recheckQueued = false; // one recheck job at a time
        bool repairQueued = false;  // one repair at a time, again after a failure
        int repairFailures = 0;
        clock::time_point repairAt{};
        // Repairs that stored the model again within the current window; past the bound the model
        // is left as the broker holds it (see repair()).
        int repairsDone = 0;
        clock::time_point repairWindowFrom{};
        bool repairsGivenUp = false;
    };
    struct job {
        std::shared_ptr<const import::scene> scene;
        bool recheck = false;
        bool repair = false;
    };
    void runRepair(job j, std::unique_lock<std::mutex>& lock);
    bool store(const std::string& hash, const std::vector<std::byte>& blob);

    assetStore& store_;
    assetCache& cache_;
    std::string user_;
    std::ostream& log_;
    const std::atomic<bool>& stopping_;
    const std::atomic<bool>& refused_;
    std::function<void(const import::scene*)> done_;

    std::mutex mutex_;
    std::condition_variable cv_;
    bool stopped_ = false;
    bool full_ = false; // the last upload was refused for want of room (the uploader's thread)
    std::map<const import::scene*, entry> models_;
    std::deque<job> jobs_;
};

} // namespace zel::share::detail
