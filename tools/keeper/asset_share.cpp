#include "asset_share.h"

#include <algorithm>
#include <tuple>

namespace zel::keeper {

namespace {

// The user and the model of a key: <user>.<hash>[.<more>]; a key of one token is a model "".
std::pair<std::string, std::string> owner(const std::string& key) {
    const std::size_t a = key.find('.');
    if (a == std::string::npos)
        return {key, ""};
    const std::size_t b = key.find('.', a + 1);
    return {key.substr(0, a), key.substr(a + 1, b == std::string::npos ? b : b - a - 1)};
}

} // namespace

std::uint64_t writerShare(std::int64_t bucketLimit, const shareLimits& limits) {
    if (bucketLimit <= 0)
        return 0;
    const auto limit = static_cast<std::uint64_t>(bucketLimit);
    const int percent = std::clamp(limits.percent, 1, 100);
    const std::uint64_t part = limit / 100 * static_cast<std::uint64_t>(percent) +
                               limit % 100 * static_cast<std::uint64_t>(percent) / 100;
    return std::min(limit, std::max(part, limits.floor));
}

std::vector<modelHeld> pastShare(const std::vector<modelHeld>& models, std::uint64_t share) {
    std::map<std::string, std::vector<const modelHeld*>> byUser;
    std::map<std::string, std::uint64_t> total;
    for (const modelHeld& m : models) {
        byUser[m.user].push_back(&m);
        total[m.user] += m.bytes;
    }
    std::vector<modelHeld> out;
    for (auto& [user, list] : byUser) {
        std::uint64_t held = total[user];
        if (held <= share)
            continue;
        std::sort(list.begin(), list.end(), [](const modelHeld* a, const modelHeld* b) {
            return std::tie(b->newest, b->hash) < std::tie(a->newest, a->hash);
        });
        for (const modelHeld* m : list) {
            if (held <= share)
                break;
            out.push_back(*m);
            held -= m->bytes;
        }
    }
    return out;
}

void assetTally::record(const std::string& subject, std::uint64_t sequence, std::uint64_t bytes,
                        bool removed) {
    if (subject.size() <= prefix_.size() || subject.compare(0, prefix_.size(), prefix_) != 0)
        return;
    const std::string key = subject.substr(prefix_.size());
    if (removed && bytes <= markerBytes) {
        keys_.erase(key);
        return;
    }
    held& h = keys_[key];
    h.sequence = sequence;
    h.bytes = bytes;
}

std::vector<modelHeld> assetTally::models() const {
    std::vector<modelHeld> out;
    std::map<std::pair<std::string, std::string>, std::size_t> at;
    for (const auto& [key, h] : keys_) {
        auto [user, hash] = owner(key);
        auto [it, fresh] = at.try_emplace({user, hash}, out.size());
        if (fresh)
            out.push_back({std::move(user), std::move(hash), 0, 0});
        modelHeld& m = out[it->second];
        m.bytes += std::max(h.bytes, keyMinimum_);
        m.newest = std::max(m.newest, h.sequence);
    }
    return out;
}

std::vector<std::string> assetTally::subjects(const std::string& user,
                                              const std::string& hash) const {
    std::vector<std::string> out;
    const std::string manifest = hash.empty() ? user : user + "." + hash;
    if (keys_.count(manifest))
        out.push_back(prefix_ + manifest);
    const std::string below = manifest + ".";
    for (auto it = keys_.lower_bound(below);
         it != keys_.end() && it->first.compare(0, below.size(), below) == 0; ++it) {
        // A key of one token is a model of its own; deeper keys under it belong to models named.
        if (hash.empty())
            break;
        out.push_back(prefix_ + it->first);
    }
    return out;
}

} // namespace zel::keeper
