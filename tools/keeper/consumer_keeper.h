// What the broker's keeper removes: consumers of the shared scenes' streams that nobody listens to
// (whatever idle threshold their makers asked for), consumers that deliver nowhere a site listens,
// and a user's consumers past its share, so that no user holds consumers others need.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zel::keeper {

struct consumerSeen {
    std::string stream;
    std::string name;
    std::string deliverSubject; // "" for a pull consumer
    bool bound = false;         // someone listens on the deliver subject
};

struct keeperLimits {
    double unboundSeconds = 20; // a consumer nobody listens to goes after this long
    std::size_t perUser = 128;  // consumers of one user on one stream
};

// The user whose inbox a deliver subject is in (_INBOX_<user>.<...>), or "" when it is in none.
std::string inboxOwner(const std::string& deliverSubject);

class consumerKeeper {
public:
    explicit consumerKeeper(keeperLimits limits = {}) : limits_(limits) {}
    // One look at every consumer, at time now (seconds, any steady origin): those to remove, each
    // with the reason. Consumers not listed any more are forgotten.
    std::vector<std::pair<consumerSeen, std::string>> pass(const std::vector<consumerSeen>& all,
                                                           double now);

private:
    struct seen {
        double first = 0;         // when this keeper first saw it
        double unboundSince = -1; // when it was first seen unbound in a row; -1: bound
    };
    keeperLimits limits_;
    std::map<std::pair<std::string, std::string>, seen> seen_;
};

} // namespace zel::keeper
