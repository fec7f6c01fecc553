#include "asset_fetcher.h"

#include "kept_assets.h"
#include "share_types.h"

#include <zel/import/scene_codec.h>

#include <algorithm>

namespace zel::share::detail {

void assetFetcher::fetch(const std::string& user, const std::string& hash) {
    std::vector<fetchTable::job> dropped;
    {
        std::lock_guard lock(mutex_);
        const fetchTable::answer a = table_.request(user, hash, clock::now(), &dropped);
        if (a == fetchTable::answer::failed)
            dropped.push_back({user, hash});
        else if (a == fetchTable::answer::queued)
            cv_.notify_one();
    }
    for (const fetchTable::job& j : dropped)
        arrived_(j.user, j.hash, nullptr);
}

std::vector<std::string> assetFetcher::missing() {
    std::lock_guard lock(mutex_);
    return table_.missing();
}

std::size_t assetFetcher::underWay() {
    std::lock_guard lock(mutex_);
    return table_.underWay();
}

void assetFetcher::stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    cv_.notify_all();
}

void assetFetcher::run() {
    std::unique_lock lock(mutex_);
    while (!stopped_ && !stopping_) {
        clock::time_point wake = clock::now() + std::chrono::seconds(1);
        const std::optional<fetchTable::job> j = table_.next(clock::now(), wake);
        if (!j) {
            cv_.wait_until(lock, wake);
            continue;
        }
        const bool seenMissing = table_.seenMissing(*j);
        lock.unlock();
        assetStore::outcome got;
        got.scene = cache_.find(j->hash);
        if (!got.scene && (got.scene = cachedAsset(store_.disk(), j->hash, log_)))
            cache_.remember(j->hash, got.scene, import::encodedSize(*got.scene));
        if (!got.scene) {
            std::size_t bytes = 0;
            got = store_.download(j->user, j->hash, &bytes);
            if (got.scene)
                cache_.remember(j->hash, got.scene, bytes);
        }
        lock.lock();
        const fetchTable::outcome o = got.scene       ? fetchTable::outcome::arrived
                                      : got.missing   ? fetchTable::outcome::missing
                                      : got.transient ? fetchTable::outcome::transient
                                                      : fetchTable::outcome::failed;
        table_.finished(*j, o, clock::now());
        if (o == fetchTable::outcome::missing || o == fetchTable::outcome::transient) {
            if (o == fetchTable::outcome::missing && !seenMissing && !stopping_ &&
                clock::now() - lastMissingLine_ > std::chrono::seconds(1)) {
                lastMissingLine_ = clock::now();
                log_ << "shared scene: model " << printable(j->user + "." + j->hash, 32)
                     << "... is not on the broker; looking again later" << std::endl;
            }
            continue;
        }
        if (o == fetchTable::outcome::failed && !stopping_)
            log_ << "shared scene: dropped a model of user " << printable(j->user) << ": "
                 << got.reason << std::endl;
        lock.unlock();
        arrived_(j->user, j->hash, got.scene);
        lock.lock();
    }
}

} // namespace zel::share::detail
