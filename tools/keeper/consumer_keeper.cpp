#include "consumer_keeper.h"

#include <algorithm>
#include <tuple>

namespace zel::keeper {

std::string inboxOwner(const std::string& deliverSubject) {
    static const std::string prefix = "_INBOX_";
    if (deliverSubject.rfind(prefix, 0) != 0)
        return "";
    const std::size_t dot = deliverSubject.find('.', prefix.size());
    if (dot == std::string::npos || dot == prefix.size() || dot + 1 == deliverSubject.size())
        return "";
    return deliverSubject.substr(prefix.size(), dot - prefix.size());
}

std::vector<std::pair<consumerSeen, std::string>>
consumerKeeper::pass(const std::vector<consumerSeen>& all, double now) {
    std::vector<std::pair<consumerSeen, std::string>> out;
    std::map<std::pair<std::string, std::string>, seen> next;
    // Per stream and user, the consumers kept so far: bound ones first, then the oldest.
    std::map<std::pair<std::string, std::string>, std::vector<const consumerSeen*>> byUser;
    for (const consumerSeen& c : all) {
        const auto key = std::pair(c.stream, c.name);
        seen s;
        if (const auto it = seen_.find(key); it != seen_.end())
            s = it->second;
        else
            s.first = now;
        if (c.bound)
            s.unboundSince = -1;
        else if (s.unboundSince < 0)
            s.unboundSince = now;
        const std::string owner = inboxOwner(c.deliverSubject);
        if (owner.empty()) {
            out.emplace_back(c, "delivers to no inbox");
            continue;
        }
        if (!c.bound && now - s.unboundSince >= limits_.unboundSeconds) {
            out.emplace_back(c, "nobody listens");
            continue;
        }
        next[key] = s;
        byUser[{c.stream, owner}].push_back(&c);
    }
    for (auto& [streamUser, list] : byUser) {
        if (list.size() <= limits_.perUser)
            continue;
        std::sort(list.begin(), list.end(), [&](const consumerSeen* a, const consumerSeen* b) {
            const seen& x = next[{a->stream, a->name}];
            const seen& y = next[{b->stream, b->name}];
            return std::tuple(!a->bound, x.first, a->name) <
                   std::tuple(!b->bound, y.first, b->name);
        });
        for (std::size_t i = limits_.perUser; i < list.size(); ++i) {
            out.emplace_back(*list[i], "past its user's share");
            next.erase({list[i]->stream, list[i]->name});
        }
    }
    seen_ = std::move(next);
    return out;
}

} // namespace zel::keeper
