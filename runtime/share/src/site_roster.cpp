#include "site_roster.h"

#include <algorithm>
#include <utility>

namespace zel::share::detail {

siteRoster::siteRoster(siteName self) : self_(std::move(self)) {
    siteState& me = siteOf(self_);
    me.self = true;
    me.present = true;
    ++me.user->present;
}

siteState& siteRoster::siteOf(const siteName& name) {
    std::string id = name.id();
    auto it = sites_.find(id);
    if (it == sites_.end()) {
        it = sites_.emplace(id, siteState{}).first;
        it->second.name = name;
        it->second.id = std::move(id);
        it->second.user = &users_[name.user];
        it->second.absentSince = clock::now();
    }
    return it->second;
}

siteState* siteRoster::find(const std::string& id) {
    auto it = sites_.find(id);
    return it == sites_.end() ? nullptr : &it->second;
}

void siteRoster::forgetIfEmpty(const std::string& id) {
    auto it = sites_.find(id);
    if (it != sites_.end() && !it->second.self && !it->second.present && it->second.nodes.empty())
        sites_.erase(it);
}

void siteRoster::setPresent(siteState& s, bool present) {
    s.present = present;
    if (present) {
        ++s.user->present;
    } else {
        --s.user->present;
        s.absentSince = clock::now();
    }
}

bool siteRoster::heard(const siteName& key, double joined, clock::time_point now,
                       siteState*& came) {
    came = nullptr;
    if (auto it = sites_.find(key.id());
        (it == sites_.end() || !it->second.present) && users_[key.user].present >= maxSitesPerUser)
        return false;
    siteState& s = siteOf(key);
    s.joined = joined;
    s.seen = now;
    if (!s.present) {
        setPresent(s, true);
        came = &s;
    }
    return true;
}

siteState* siteRoster::deleted(const std::string& id) {
    siteState* s = find(id);
    if (!s || !s->present || s->self)
        return nullptr;
    setPresent(*s, false);
    return s;
}

std::vector<siteState*> siteRoster::expire(clock::time_point now) {
    std::vector<siteState*> gone;
    for (auto& [id, s] : sites_)
        if (s.present && !s.self && now - s.seen > presenceTimeout)
            gone.push_back(&s);
    for (siteState* s : gone)
        setPresent(*s, false);
    return gone;
}

std::vector<siteEntry> siteRoster::sites() const {
    std::vector<siteEntry> out;
    for (const auto& [id, s] : sites_)
        if (s.present)
            out.push_back({id, s.name.user, s.self, s.self ? selfJoined_ : s.joined});
    std::sort(out.begin(), out.end(),
              [](const siteEntry& a, const siteEntry& b) { return a.site < b.site; });
    return out;
}

std::vector<std::string> siteRoster::staleKeysOfOwnUser(clock::time_point now,
                                                        clock::duration absence) {
    std::vector<std::string> keys;
    for (auto& [id, s] : sites_) {
        if (s.self || s.present || s.name.user != self_.user || s.nodes.empty() ||
            now - s.absentSince <= absence ||
            (s.cleanedAt != clock::time_point{} && now - s.cleanedAt <= absence))
            continue;
        s.cleanedAt = now;
        for (const auto& [n, m] : s.nodes)
            keys.push_back(nodeKey{s.name, n}.text());
    }
    return keys;
}

} // namespace zel::share::detail
