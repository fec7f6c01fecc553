#include "fetch_table.h"

#include <algorithm>

namespace zel::share::detail {

namespace {

constexpr auto firstRetry = std::chrono::seconds(1);
constexpr auto mostRetry = std::chrono::seconds(60);
// Transient failures after which sync stops waiting for a model (it is still looked for).
constexpr int attemptsWaitedFor = 8;

} // namespace

void fetchTable::enter(userState& u, const std::string& user, const std::string& hash) {
    entries_[user + "." + hash] = entry{};
    ++u.entries;
    ++underWay_;
    u.queue.push_back(hash);
}

fetchTable::answer fetchTable::request(const std::string& user, const std::string& hash,
                                       clock::time_point, std::vector<job>* dropped) {
    const std::string id = user + "." + hash;
    if (failed_.count(id))
        return answer::failed;
    if (entries_.count(id))
        return answer::known;
    userState& u = users_[user];
    if (u.entries >= limits_.perUser) {
        // Room is made from this user's model missing longest; failing that the request waits.
        auto longest = entries_.end();
        for (auto it = entries_.begin(); it != entries_.end(); ++it)
            if (it->second.state == entry::missing &&
                it->first.compare(0, user.size() + 1, user + ".") == 0 &&
                (longest == entries_.end() || it->second.attempts > longest->second.attempts))
                longest = it;
        if (longest == entries_.end()) {
            if (u.waitingSet.count(hash))
                return answer::waiting;
            if (u.waiting.size() >= limits_.waiting) {
                if (dropped)
                    dropped->push_back({user, u.waiting.front()});
                u.waitingSet.erase(u.waiting.front());
                u.waiting.pop_front();
            }
            u.waiting.push_back(hash);
            u.waitingSet.insert(hash);
            return answer::waiting;
        }
        if (dropped)
            dropped->push_back({user, longest->first.substr(user.size() + 1)});
        entries_.erase(longest);
        --u.entries;
    }
    enter(u, user, hash);
    return answer::queued;
}

void fetchTable::leave(const std::string& user, const std::string& hash) {
    auto it = entries_.find(user + "." + hash);
    if (it == entries_.end())
        return;
    if (counted(it->second.state))
        --underWay_;
    entries_.erase(it);
    userState& u = users_[user];
    --u.entries;
    // A request that waited for room takes it.
    while (u.entries < limits_.perUser && !u.waiting.empty()) {
        const std::string next = std::move(u.waiting.front());
        u.waiting.pop_front();
        u.waitingSet.erase(next);
        if (!entries_.count(user + "." + next) && !failed_.count(user + "." + next))
            enter(u, user, next);
    }
}

std::optional<fetchTable::job> fetchTable::next(clock::time_point now, clock::time_point& wake) {
    // Fetches due again go back into their users' queues.
    while (!retries_.empty() && retries_.begin()->first <= now) {
        const std::string id = std::move(retries_.begin()->second);
        retries_.erase(retries_.begin());
        auto f = entries_.find(id);
        if (f == entries_.end() || f->second.retryAt == clock::time_point{})
            continue;
        f->second.retryAt = {};
        if (!counted(f->second.state))
            ++underWay_;
        f->second.state = entry::queued;
        const std::size_t dot = id.find('.');
        users_[id.substr(0, dot)].queue.push_back(id.substr(dot + 1));
    }
    if (!retries_.empty())
        wake = std::min(wake, retries_.begin()->first);
    // Users take turns: the one after the last served.
    for (int pass = 0; pass < 2; ++pass) {
        for (auto u = pass == 0 ? users_.upper_bound(lastServed_) : users_.begin();
             u != users_.end(); ++u) {
            while (!u->second.queue.empty()) {
                const std::string hash = std::move(u->second.queue.front());
                u->second.queue.pop_front();
                auto f = entries_.find(u->first + "." + hash);
                if (f == entries_.end() || f->second.state != entry::queued)
                    continue;
                f->second.state = entry::fetching;
                lastServed_ = u->first;
                return job{u->first, hash};
            }
        }
    }
    return std::nullopt;
}

void fetchTable::finished(const job& j, outcome o, clock::time_point now) {
    const std::string id = j.user + "." + j.hash;
    auto f = entries_.find(id);
    if (f == entries_.end() || f->second.state != entry::fetching)
        return;
    if (o == outcome::arrived) {
        leave(j.user, j.hash);
        return;
    }
    if (o == outcome::failed) {
        leave(j.user, j.hash);
        failedOrder_.push_front(id);
        failed_[id] = failedOrder_.begin();
        if (failedOrder_.size() > limits_.failed) {
            failed_.erase(failedOrder_.back());
            failedOrder_.pop_back();
        }
        return;
    }
    // Not there (yet), or the broker did not answer: looked for again for as long as it is wanted.
    entry& e = f->second;
    ++e.attempts;
    const bool waitedFor = o == outcome::transient && e.attempts < attemptsWaitedFor;
    if (!waitedFor)
        --underWay_;
    e.state = waitedFor ? entry::retrying : entry::missing;
    e.retryAt = now + backoff(e.attempts, firstRetry, mostRetry);
    retries_.emplace(e.retryAt, id);
}

std::vector<std::string> fetchTable::missing() const {
    std::vector<std::string> out;
    for (const auto& [id, e] : entries_)
        if (e.state == entry::missing)
            out.push_back(id);
    std::sort(out.begin(), out.end());
    return out;
}

bool fetchTable::seenMissing(const job& j) const {
    auto f = entries_.find(j.user + "." + j.hash);
    return f != entries_.end() && f->second.attempts > 0;
}

} // namespace zel::share::detail
