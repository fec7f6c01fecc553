// The scene's asset bucket: a model is a manifest under "user.hash" and its chunks under
// "user.hash.i", deflated when that makes it smaller. Everything read back is checked: the
// manifest, each chunk's size, the inflated size, the hash of the whole and its decoding.
#pragma once

#include "asset_cache.h"
#include "handles.h"

#include <zel/import/disk_cache.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace zel::share::detail {

class assetStore {
public:
    // stopping ends a transfer under way early.
    assetStore(const std::atomic<bool>& stopping) : stopping_(stopping) {}
    void attach(storeHandle kv) { kv_ = std::move(kv); }
    void close() { kv_.reset(); }
    // Where checked models are kept on disk by their hash (null: nowhere), for the next run.
    void keepOnDisk(zel::import::diskCache* disk) { disk_ = disk; }
    zel::import::diskCache* disk() const { return disk_; }
    kvStore* kv() const { return kv_.get(); }

    struct outcome {
        sceneRef scene;
        std::string reason;     // why not, when no scene
        bool transient = false; // trying again later may help
        bool missing = false;   // not (or not wholly) on the broker
    };
    // The model "user.hash", with its encoded size in bytes.
    outcome download(const std::string& user, const std::string& hash,
                     std::size_t* bytes = nullptr);
    // Stores the chunks, then the manifest. False when the broker did not take one of them.
    bool upload(const std::string& user, const std::string& hash,
                const std::vector<std::byte>& blob);
    // Whether the manifest of "user.hash" is there (the broker answered and has it); nothing
    // when the broker did not answer.
    std::optional<bool> hasManifest(const std::string& user, const std::string& hash);
    // True when this store wrote key at that revision itself.
    bool wrote(const std::string& key, std::uint64_t revision);

private:
    void remember(const std::string& key, std::uint64_t revision);

    const std::atomic<bool>& stopping_;
    storeHandle kv_;
    zel::import::diskCache* disk_ = nullptr;
    // The revision of each key this store wrote last (a few per model of this site's).
    std::mutex writtenMutex_;
    std::unordered_map<std::string, std::uint64_t> written_;
};

} // namespace zel::share::detail
