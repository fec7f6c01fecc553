#include "bucket_watcher.h"

#include "retry.h"

#include <zel/share/key_watch.h>

#include <condition_variable>
#include <cstring>
#include <thread>

namespace zel::share::detail {

bool bucketWatcher::open(connection& conn, std::string& error) {
    conn_ = &conn;
    if (!conn_->openBucket(kv_, spec_, log_, error, &purgeable_))
        return false;
    bool watching = false;
    for (int tries = 0; tries < 3 && !watching; ++tries)
        watching = watch();
    if (!watching) {
        error = "cannot watch the bucket " + spec_.name + " at " + conn_->where();
        return false;
    }
    return true;
}

bool bucketWatcher::watch() {
    std::lock_guard lock(watcherMutex_);
    std::uint64_t held = 1;
    conn_->lastSequence(spec_.name, 2000, nullptr, &held);
    if (stopping_)
        return false;
    natsSubscription* w = watchKeys(conn_->jetStream(), spec_.name, ">", keyWatch{});
    if (!w)
        return false;
    replayed_ = held == 0;
    loaded_ = loaded_ || replayed_;
    watchedAt_ = clock::now();
    // The old watcher takes its consumer down with it, which only the administrator may: for
    // anyone else the broker never answers and the request waits its time out. It goes on a
    // thread of its own, so that the new watcher is drained meanwhile.
    std::erase_if(retiring_, [](retiring& r) {
        if (!*r.done)
            return false;
        r.thread.join();
        return true;
    });
    if (watcher_) {
        auto done = std::make_shared<std::atomic<bool>>(false);
        retiring_.push_back({std::thread([old = std::move(watcher_), done]() mutable {
                                 old.reset();
                                 *done = true;
                             }),
                             done});
    }
    watcher_.reset(w);
    return true;
}

void bucketWatcher::close() {
    std::lock_guard lock(watcherMutex_);
    for (retiring& r : retiring_)
        r.thread.join();
    retiring_.clear();
    watcher_.reset();
    kv_.reset();
}

std::vector<bucketEntry> bucketWatcher::take(std::size_t max) {
    std::vector<bucketEntry> out;
    std::lock_guard lock(inboxMutex_);
    while (!order_.empty() && out.size() < max) {
        auto it = inbox_.find(order_.front());
        order_.pop_front();
        if (it == inbox_.end())
            continue;
        out.push_back(std::move(it->second));
        inbox_.erase(it);
    }
    return out;
}

// The records a remade watcher replays are states, so applying them again is harmless.
void bucketWatcher::run() {
    auto lastEntry = clock::now();
    auto nextCheck = clock::now();
    std::uint64_t seen = 0;
    int checks = 0;
    // Records are verified again after a purge at most once a minute, however many markers come.
    bool purgeHeard = false;
    clock::time_point nextVerify{};
    while (!stopping_) {
        const auto now = clock::now();
        if (purgeHeard && now >= nextVerify) {
            purgeHeard = false;
            nextVerify = now + std::chrono::minutes(1);
            if (on_.purged)
                on_.purged();
        }
        if (connected_ && now - lastEntry > std::chrono::seconds(3) && now >= nextCheck) {
            bool found = true;
            const std::optional<std::uint64_t> last = conn_->lastSequence(spec_.name, 1000, &found);
            bool again = false;
            if (last) {
                again = *last != seen; // moved on, or made anew
                if (*last < seen) {
                    seen = 0;
                    ++generation_;
                }
            } else if (!found) {
                // The bucket is gone: make it again where this user may.
                std::string error;
                storeHandle fresh;
                if (conn_->openBucket(fresh, spec_, log_, error)) {
                    again = true;
                    seen = 0;
                    ++generation_;
                }
            }
            ++checks;
            nextCheck = now + (again ? std::chrono::seconds(2)
                                     : std::min<clock::duration>(std::chrono::seconds(2) * checks,
                                                                 std::chrono::seconds(10)));
            if (again && watch()) {
                lastEntry = clock::now();
                checks = 0;
                if (on_.remade)
                    on_.remade();
            }
        }
        natsMsg* raw = nullptr;
        const natsStatus s = natsSubscription_NextMsg(&raw, watcher_.get(), 100);
        messageHandle msg(raw);
        if (stopping_)
            break;
        if (!replayed_ && (s != NATS_OK || !raw) &&
            clock::now() - watchedAt_ > std::chrono::seconds(2)) {
            replayed_ = true;
            loaded_ = true;
        }
        if (s == NATS_TIMEOUT)
            continue;
        if (s != NATS_OK || !raw) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        lastEntry = clock::now();
        const std::string prefix = "$KV." + spec_.name + ".";
        const char* subject = natsMsg_GetSubject(raw);
        jsMsgMetaData* meta = nullptr;
        if (!subject || std::strncmp(subject, prefix.c_str(), prefix.size()) != 0 ||
            !subject[prefix.size()] || natsMsg_GetMetaData(&meta, raw) != NATS_OK)
            continue;
        const std::uint64_t sequence = meta->Sequence.Stream, pending = meta->NumPending;
        jsMsgMetaData_Destroy(meta);
        bucketEntry e;
        e.key = subject + prefix.size();
        const char* operation = nullptr;
        const bool purge = natsMsgHeader_Get(raw, "KV-Operation", &operation) == NATS_OK &&
                           operation && std::strcmp(operation, "PURGE") == 0;
        e.erased = purge || (operation && std::strcmp(operation, "DEL") == 0);
        e.generation = generation_;
        e.received = lastEntry;
        if (purge && purgeable_)
            purgeHeard = true;
        if (!e.erased && natsMsg_GetDataLength(raw) > 0)
            e.value.assign(natsMsg_GetData(raw),
                           static_cast<std::size_t>(natsMsg_GetDataLength(raw)));
        e.revision = sequence;
        seen = std::max(seen, e.revision);
        const bool lastOfReplay = !replayed_ && pending == 0;
        {
            std::lock_guard lock(inboxMutex_);
            // The newest entry per key, in the place of the first.
            auto [it, fresh] = inbox_.try_emplace(e.key);
            if (fresh)
                order_.push_back(e.key);
            it->second = std::move(e);
        }
        // Applied after the last record of the replay is in the inbox.
        if (lastOfReplay) {
            replayed_ = true;
            loaded_ = true;
        }
        if (on_.arrived)
            on_.arrived();
    }
}

} // namespace zel::share::detail
