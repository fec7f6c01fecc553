// Each writer's share of a scene's asset bucket: the keeper tallies what every user holds in the
// bucket (from the records' sizes, never their contents) and names the models of a user past its
// share to remove, its newest first, until it is within.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zel::keeper {

// One model of one user: its manifest and chunks (<user>.<hash> and <user>.<hash>.<i>), or
// whatever else the user put under <user>.<hash>.
struct modelHeld {
    std::string user;
    std::string hash;
    std::uint64_t bytes = 0;  // what its keys hold, headers and subjects included
    std::uint64_t newest = 0; // the highest stream sequence among its keys
};

struct shareLimits {
    int percent = 50;                              // of the bucket's limit
    std::uint64_t floor = std::uint64_t(64) << 20; // whatever the percentage, up to the limit
};

// One writer's share of a bucket of this limit (bytes; 0 or less: none): percent of it, at least
// the floor, never more than the limit.
std::uint64_t writerShare(std::int64_t bucketLimit, const shareLimits& limits);

// The models to remove so that each user holds at most share bytes: of a user past it, its models
// by newest first (the highest sequence; a tie by hash) until what is left is within. Other users'
// models are never named.
std::vector<modelHeld> pastShare(const std::vector<modelHeld>& models, std::uint64_t share);

// What one asset bucket holds, key by key, kept up to date from the bucket's records as they
// arrive (sizes only).
class assetTally {
public:
    // bucket: e.g. zel-assets-lobby; its keys are subjects $KV.<bucket>.<key>.
    // Every key counts at least keyMinimum bytes, so that what the tally keeps per user is bounded
    // by its share too.
    explicit assetTally(std::string bucket, std::uint64_t keyMinimum = 64 << 10)
        : prefix_("$KV." + std::move(bucket) + "."), keyMinimum_(keyMinimum) {}
    // A record on subject at this stream sequence, of this many bytes (subject and headers
    // included). A delete or purge marker of at most markerBytes holds nothing: the key is
    // forgotten; a larger one is counted as any record. Subjects outside the bucket are ignored.
    void record(const std::string& subject, std::uint64_t sequence, std::uint64_t bytes,
                bool removed);
    // Every model held, one entry per user and hash.
    std::vector<modelHeld> models() const;
    // The keys (as subjects) of one model, the manifest first.
    std::vector<std::string> subjects(const std::string& user, const std::string& hash) const;
    static constexpr std::uint64_t markerBytes = 1024;
    std::size_t size() const { return keys_.size(); }

private:
    struct held {
        std::uint64_t sequence = 0;
        std::uint64_t bytes = 0;
    };
    std::string prefix_;
    std::uint64_t keyMinimum_;
    std::map<std::string, held> keys_; // by key (the subject without the prefix)
};

} // namespace zel::keeper
