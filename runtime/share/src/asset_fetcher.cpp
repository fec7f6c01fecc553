#include "asset_fetcher.h"

#include "mirror_set.h"

#include <algorithm>

namespace zel::share::detail {

namespace {

// Fetches remembered (missing or failed ones included).
constexpr std::size_t maxFetches = 20000;

} // namespace

void assetFetcher::fetch(const std::string& user, const std::string& hash) {
    std::lock_guard lock(mutex_);
    const std::string id = user + "." + hash;
    auto known = fetches_.find(id);
    if (known != fetches_.end() && known->second.state != fetchState::failed)
        return;
    if (known == fetches_.end() && fetches_.size() >= maxFetches) {
        // Room is made from what will not be fetched again soon; failing that the request waits
        // for a later record that names the model.
        auto f = fetches_.begin();
        for (int looked = 0; f != fetches_.end() && looked < 64; ++f, ++looked)
            if (f->second.state == fetchState::failed || (f->second.state == fetchState::missing &&
                                                          f->second.retryAt == clock::time_point{}))
                break;
        if (f == fetches_.end() ||
            (f->second.state != fetchState::failed && f->second.state != fetchState::missing))
            return;
        fetches_.erase(f);
    }
    fetches_[id] = fetchState{};
    ++underWay_;
    queues_[user].push_back(hash);
    cv_.notify_one();
}

std::vector<std::string> assetFetcher::missing() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& [id, f] : fetches_)
        if (f.state == fetchState::missing)
            out.push_back(id);
    std::sort(out.begin(), out.end());
    return out;
}

std::size_t assetFetcher::underWay() {
    std::lock_guard lock(mutex_);
    return underWay_;
}

void assetFetcher::stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    cv_.notify_all();
}

void assetFetcher::run() {
    std::unique_lock lock(mutex_);
    while (!stopped_ && !stopping_) {
        // Fetches due again go back into their users' queues.
        const auto now = clock::now();
        clock::time_point next = now + std::chrono::seconds(1);
        while (!retries_.empty() && retries_.begin()->first <= now) {
            const std::string id = std::move(retries_.begin()->second);
            retries_.erase(retries_.begin());
            auto f = fetches_.find(id);
            if (f == fetches_.end() || f->second.retryAt == clock::time_point{})
                continue;
            f->second.retryAt = {};
            if (f->second.state == fetchState::missing)
                ++underWay_;
            f->second.state = fetchState::queued;
            const std::size_t dot = id.find('.');
            queues_[id.substr(0, dot)].push_back(id.substr(dot + 1));
        }
        if (!retries_.empty())
            next = std::min(next, retries_.begin()->first);
        // Users take turns: the one after the last served.
        auto q = queues_.upper_bound(lastUserServed_);
        if (q == queues_.end())
            q = queues_.begin();
        if (q == queues_.end()) {
            cv_.wait_until(lock, next);
            continue;
        }
        const std::string user = q->first;
        const std::string hash = q->second.front();
        q->second.pop_front();
        if (q->second.empty())
            queues_.erase(q);
        lastUserServed_ = user;
        const std::string id = user + "." + hash;
        auto f = fetches_.find(id);
        if (f == fetches_.end())
            continue;
        const bool wasMissing = f->second.attempts > 0;
        f->second.state = fetchState::fetching;
        lock.unlock();
        assetStore::outcome got;
        got.scene = cache_.find(hash);
        if (!got.scene) {
            std::size_t bytes = 0;
            got = store_.download(user, hash, &bytes);
            if (got.scene)
                cache_.remember(hash, got.scene, bytes);
        }
        lock.lock();
        f = fetches_.find(id);
        if (got.scene) {
            if (f != fetches_.end()) {
                fetches_.erase(f);
                --underWay_;
            }
        } else if (f != fetches_.end()) {
            fetchState& st = f->second;
            ++st.attempts;
            if (got.missing || got.transient) {
                // A model that is not there is looked for again a few times, less often each time;
                // sync does not wait for it meanwhile.
                st.state = got.missing ? fetchState::missing : fetchState::retrying;
                if (got.missing)
                    --underWay_;
                if (st.attempts < 8) {
                    st.retryAt = clock::now() + backoff(st.attempts, std::chrono::seconds(1),
                                                        std::chrono::seconds(60));
                    retries_.emplace(st.retryAt, id);
                } else if (!got.missing) {
                    st.state = fetchState::missing;
                    --underWay_;
                }
                if (got.missing && !wasMissing && !stopping_ &&
                    clock::now() - lastMissingLine_ > std::chrono::seconds(1)) {
                    lastMissingLine_ = clock::now();
                    log_ << "shared scene: model " << printable(id, 32)
                         << "... is not on the broker; looking again later" << std::endl;
                }
                continue;
            }
            st.state = fetchState::failed;
            --underWay_;
            if (!stopping_)
                log_ << "shared scene: dropped a model of user " << printable(user) << ": "
                     << got.reason << std::endl;
        }
        lock.unlock();
        arrived_(user, hash, got.scene);
        lock.lock();
    }
}

} // namespace zel::share::detail
