#include "record_publisher.h"

namespace zel::share::detail {

namespace {

constexpr auto firstRetry = std::chrono::milliseconds(200);
constexpr auto mostRetry = std::chrono::seconds(30);

} // namespace

template <class F> void recordPublisher::update(const std::string& key, F&& change) {
    auto [it, fresh] = keys_.try_emplace(key);
    keyState& k = it->second;
    // A key not known before counts as settled: nothing was wanted of it.
    const bool before = fresh || k.settled();
    change(k);
    const bool after = k.settled();
    if (before && !after)
        ++unsettled_;
    else if (!before && after)
        --unsettled_;
}

void recordPublisher::failed(keyState& k) {
    ++k.failures;
    k.dirty = true;
    k.acked = false;
    k.retryAt = now_() + backoff(k.failures, firstRetry, mostRetry);
}

void recordPublisher::put(const std::string& key, std::string value, bool erase) {
    std::lock_guard lock(mutex_);
    update(key, [&](keyState& k) {
        if (k.erase == erase && k.value == value && (k.acked || k.inflight > 0 || k.dirty))
            return;
        k.erase = erase;
        k.value = std::move(value);
        k.dirty = true;
        k.acked = false;
        k.failures = 0;
        k.retryAt = {};
    });
    cv_.notify_all();
}

void recordPublisher::verifyOwn(const std::string& key, const std::string& value, bool erased) {
    std::lock_guard lock(mutex_);
    auto it = keys_.find(key);
    if (it == keys_.end()) {
        // A record of this site that it does not want (a write that landed late): deleted.
        if (!erased)
            update(key, [](keyState& k) {
                k.erase = true;
                k.dirty = true;
                k.acked = false;
            });
    } else {
        keyState& k = it->second;
        if (k.dirty || k.inflight > 0)
            return;
        if (k.erase ? !erased : (erased || value != k.value))
            update(key, [](keyState& s) {
                s.dirty = true;
                s.acked = false;
            });
    }
    cv_.notify_all();
}

void recordPublisher::resendEverything() {
    std::lock_guard lock(mutex_);
    for (auto& [key, state] : keys_)
        update(key, [](keyState& k) {
            k.dirty = true;
            k.acked = false;
            k.retryAt = {};
        });
    cv_.notify_all();
}

bool recordPublisher::acknowledged(const std::string& key, bool ok, const std::string& error) {
    std::lock_guard lock(mutex_);
    auto it = keys_.find(key);
    if (it == keys_.end())
        return false;
    update(key, [&](keyState& k) {
        if (k.inflight > 0)
            --k.inflight;
        if (!ok) {
            // Not known whether it landed: this key goes again, later each time it fails.
            failed(k);
            lastError_ = error;
        } else if (k.inflight == 0 && !k.dirty) {
            k.acked = true;
            k.failures = 0;
        }
    });
    bool tell = false;
    if (!ok && now_() - lastErrorLine_ > std::chrono::seconds(10)) {
        lastErrorLine_ = now_();
        tell = true;
    }
    // A delete the broker acknowledged is done with.
    if (it->second.erase && it->second.settled())
        keys_.erase(it);
    cv_.notify_all();
    return tell;
}

std::size_t recordPublisher::sendDue(const sendFn& send, std::size_t max, clock::time_point& next) {
    struct item {
        std::string key;
        std::string value;
        bool erase;
    };
    std::vector<item> batch;
    {
        std::lock_guard lock(mutex_);
        const auto now = now_();
        for (auto& [key, k] : keys_) {
            if (!k.dirty)
                continue;
            if (k.retryAt > now) {
                next = std::min(next, k.retryAt);
                continue;
            }
            if (batch.size() >= max) {
                next = now;
                break;
            }
            k.dirty = false;
            ++k.inflight;
            batch.push_back({key, k.value, k.erase});
        }
    }
    for (const item& i : batch) {
        if (send(i.key, i.value, i.erase))
            continue;
        std::lock_guard lock(mutex_);
        if (keys_.count(i.key))
            update(i.key, [&](keyState& k) {
                if (k.inflight > 0)
                    --k.inflight;
                failed(k);
            });
    }
    return batch.size();
}

void recordPublisher::wait(clock::time_point until) {
    std::unique_lock lock(mutex_);
    if (stopping_)
        return;
    cv_.wait_until(lock, until);
}

void recordPublisher::stop() {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    cv_.notify_all();
}

std::size_t recordPublisher::unsettled() const {
    std::lock_guard lock(mutex_);
    return unsettled_;
}

std::string recordPublisher::lastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

bool recordPublisher::knows(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return keys_.count(key) != 0;
}

} // namespace zel::share::detail
