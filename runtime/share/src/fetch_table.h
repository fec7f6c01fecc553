// Which of other sites' models to fetch next, as pure bookkeeping with the time passed in: each
// user has a quota of fetches in the table, so that one user's flood of models never keeps
// another's out; requests over the quota wait for room instead of being dropped; a model not
// there yet is looked for again for as long as it is wanted, at most a minute apart; a model that
// failed its checks is remembered and not fetched again.
#pragma once

#include "retry.h"

#include <cstddef>
#include <deque>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace zel::share::detail {

class fetchTable {
public:
    struct limits {
        std::size_t perUser = 2048; // fetches of one user in the table
        std::size_t waiting = 8192; // requests of one user waiting for room
        std::size_t failed = 4096;  // models remembered as failed
    };
    enum class answer { queued, known, failed, waiting };
    enum class outcome { arrived, missing, transient, failed };
    struct job {
        std::string user;
        std::string hash;
    };

    explicit fetchTable(limits l) : limits_(l) {}
    fetchTable() : fetchTable(limits{}) {}

    // failed: answer at once that it will not come. dropped: requests that gave up their place
    // (answer them the same way; a later record naming the model asks again).
    answer request(const std::string& user, const std::string& hash, clock::time_point now,
                   std::vector<job>* dropped = nullptr);
    // The next fetch, users taking turns; nothing when none is due, and then in wake when one is.
    std::optional<job> next(clock::time_point now, clock::time_point& wake);
    void finished(const job& j, outcome o, clock::time_point now);

    // Wanted models that the broker does not have ("user.hash", sorted).
    std::vector<std::string> missing() const;
    // Fetches queued, under way or due again soon (not those found missing).
    std::size_t underWay() const { return underWay_; }
    // Whether a model was found missing before (its first miss is told, not every one).
    bool seenMissing(const job& j) const;

private:
    struct entry {
        enum kind { queued, fetching, retrying, missing } state = queued;
        int attempts = 0;
        clock::time_point retryAt{};
    };
    struct userState {
        std::deque<std::string> queue; // hashes due now
        std::size_t entries = 0;
        std::deque<std::string> waiting; // over the quota, in order
        std::unordered_set<std::string> waitingSet;
    };
    void enter(userState& u, const std::string& user, const std::string& hash);
    void leave(const std::string& user, const std::string& hash);
    static bool counted(entry::kind s) { return s != entry::missing; }

    limits limits_;
    std::map<std::string, userState> users_;
    std::unordered_map<std::string, entry> entries_; // "user.hash"
    std::multimap<clock::time_point, std::string> retries_;
    std::string lastServed_;
    std::size_t underWay_ = 0;
    std::unordered_map<std::string, std::list<std::string>::iterator> failed_;
    std::list<std::string> failedOrder_; // newest first
};

} // namespace zel::share::detail
