#include "model_uploader.h"

#include <zel/import/scene_codec.h>
#include <zel/share/records.h>

#include <nats/nats.h>

namespace zel::share::detail {

modelUploader::model modelUploader::want(const std::shared_ptr<const import::scene>& source) {
    std::lock_guard lock(mutex_);
    entry& m = models_[source.get()];
    if (m.scene.expired()) {
        // New, or a model that went away and whose address was used again.
        std::erase_if(models_, [&](const auto& e) {
            return e.second.scene.expired() && e.first != source.get();
        });
        m = entry{};
        m.scene = source;
        jobs_.push_back({source, false});
        cv_.notify_one();
    }
    return {m.state, m.hash};
}

void modelUploader::recheck() {
    std::lock_guard lock(mutex_);
    for (auto& [p, m] : models_)
        if (m.state == status::stored && !m.recheckQueued)
            if (auto scene = m.scene.lock()) {
                m.recheckQueued = true;
                jobs_.push_back({std::move(scene), true});
            }
    cv_.notify_one();
}

// A model whose keys someone else keeps removing (the broker's keeper holding this user to its
// share of the scene's models, or a hostile peer) is stored again at most this often in a window,
// so that the site and the remover do not take turns for ever.
constexpr int repairsPerWindow = 3;
constexpr auto repairWindow = std::chrono::minutes(10);

void modelUploader::repair(const std::string& hash) {
    std::lock_guard lock(mutex_);
    const auto now = clock::now();
    for (auto& [p, m] : models_) {
        if (m.state != status::stored || m.hash != hash || m.repairQueued)
            continue;
        if (now - m.repairWindowFrom >= repairWindow) {
            m.repairWindowFrom = now;
            m.repairsDone = 0;
            m.repairsGivenUp = false;
        }
        if (m.repairsDone >= repairsPerWindow) {
            if (!m.repairsGivenUp)
                log_ << "shared scene: model " << hash.substr(0, 12)
                     << " was removed from the broker " << repairsPerWindow
                     << " times in ten minutes; it is not stored again until "
                     << "then (past this user's share of the scene's models?)" << std::endl;
            m.repairsGivenUp = true;
            continue;
        }
        if (auto scene = m.scene.lock()) {
            m.repairQueued = true;
            jobs_.push_back({std::move(scene), false, true});
            cv_.notify_one();
        }
    }
}

void modelUploader::runRepair(job j, std::unique_lock<std::mutex>& lock) {
    auto it = models_.find(j.scene.get());
    if (it == models_.end() || it->second.state != status::stored) {
        if (it != models_.end())
            it->second.repairQueued = false;
        return;
    }
    const std::string hash = it->second.hash;
    lock.unlock();
    // Whole on the broker (another site of this user mended it): nothing to do.
    const bool ok = store(hash, import::encode(*j.scene));
    lock.lock();
    it = models_.find(j.scene.get());
    if (it == models_.end())
        return;
    entry& m = it->second;
    if (ok || refused_ || m.state != status::stored) {
        m.repairQueued = false;
        m.repairFailures = 0;
        if (ok)
            ++m.repairsDone;
        return;
    }
    // Again later, each time later; the model stays stored for the records meanwhile.
    ++m.repairFailures;
    m.repairAt =
        clock::now() + backoff(m.repairFailures, std::chrono::seconds(1), std::chrono::seconds(60));
}

void modelUploader::stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    cv_.notify_all();
}

bool modelUploader::store(const std::string& hash, const std::vector<std::byte>& blob) {
    // This user's own complete copy may be there already (another of its sites stored it).
    if (store_.download(user_, hash).scene)
        return true;
    if (refused_)
        return false;
    if (store_.upload(user_, hash, blob))
        return true;
    // The broker's own words tell a full bucket or a full disk from other failures.
    const char* text = nats_GetLastError(nullptr);
    const std::string why = text ? text : "";
    full_ = why.find("maximum bytes exceeded") != std::string::npos ||
            why.find("insufficient") != std::string::npos;
    return false;
}

void modelUploader::run() {
    std::unique_lock lock(mutex_);
    while (!stopped_ && !stopping_) {
        const auto now = clock::now();
        clock::time_point next = now + std::chrono::seconds(60);
        for (auto& [p, m] : models_) {
            if (m.repairQueued && m.repairAt != clock::time_point{}) {
                if (m.repairAt > now) {
                    next = std::min(next, m.repairAt);
                } else if (auto scene = m.scene.lock()) {
                    m.repairAt = {};
                    jobs_.push_back({std::move(scene), false, true});
                }
            }
            if (m.state != status::failed)
                continue;
            if (m.retryAt > now) {
                next = std::min(next, m.retryAt);
            } else if (auto scene = m.scene.lock()) {
                m.state = status::working;
                jobs_.push_back({std::move(scene), false});
            }
        }
        if (jobs_.empty()) {
            cv_.wait_until(lock, next);
            continue;
        }
        job j = std::move(jobs_.front());
        jobs_.pop_front();
        if (j.repair) {
            runRepair(std::move(j), lock);
            continue;
        }
        if (j.recheck) {
            // Only a model whose manifest the broker says it does not have is stored again.
            auto it = models_.find(j.scene.get());
            if (it != models_.end())
                it->second.recheckQueued = false;
            if (it == models_.end() || it->second.state != status::stored)
                continue;
            const std::string hash = it->second.hash;
            lock.unlock();
            const std::optional<bool> there = store_.hasManifest(user_, hash);
            lock.lock();
            if (!there || *there)
                continue;
            it = models_.find(j.scene.get());
            if (it == models_.end() || it->second.state != status::stored)
                continue;
            it->second.state = status::working;
        }
        std::shared_ptr<const import::scene> scene = std::move(j.scene);
        lock.unlock();
        // The size first: a model over the limit is never encoded.
        const std::size_t size = import::encodedSize(*scene);
        std::string hash;
        bool ok = false;
        const bool tooLarge = size > maxAssetBytes;
        if (tooLarge) {
            log_ << "shared scene: a model of " << size
                 << " bytes is larger than 512 MiB and is shared without geometry" << std::endl;
        } else {
            const std::vector<std::byte> blob = import::encode(*scene);
            hash = sha256Hex(blob);
            cache_.remember(hash, scene, blob.size());
            ok = store(hash, blob);
        }
        lock.lock();
        auto it = models_.find(scene.get());
        if (it == models_.end())
            continue;
        entry& m = it->second;
        m.hash = hash;
        if (tooLarge) {
            m.state = status::tooLarge;
        } else if (ok) {
            m.state = status::stored;
            m.failures = 0;
        } else {
            m.state = status::failed;
            ++m.failures;
            m.retryAt = clock::now() +
                        backoff(m.failures, std::chrono::seconds(1), std::chrono::seconds(60));
            if (!stopping_ && m.failures == 1 && full_)
                log_ << "shared scene: the broker's store for this scene's models is full: model "
                     << hash.substr(0, 12) << " (" << size
                     << " bytes) is not shared; the others see it without geometry" << std::endl;
            else if (!stopping_ && m.failures == 1)
                log_ << "shared scene: could not store a model on the broker; it is shared "
                        "without geometry until it is"
                     << std::endl;
        }
        lock.unlock();
        // The records that wait for this model go out, with it or (for now) without.
        done_(scene.get());
        lock.lock();
    }
}

} // namespace zel::share::detail
