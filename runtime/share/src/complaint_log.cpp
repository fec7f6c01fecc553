#include "complaint_log.h"

namespace zel::share::detail {

namespace {

// Sites and users remembered at most; past it they are forgotten together and start afresh.
constexpr std::size_t maxRemembered = 10000;
constexpr int linesPerUser = 5;

} // namespace

void complaintLog::complain(const std::string& site, const std::string& user,
                            const std::string& what, clock::time_point now) {
    if (bySite_.size() > maxRemembered)
        bySite_.clear();
    if (byUser_.size() > maxRemembered)
        byUser_.clear();
    clock::time_point& last = bySite_[site];
    if (last != clock::time_point{} && now - last < std::chrono::seconds(1))
        return;
    window& w = byUser_[user];
    if (now - w.from >= std::chrono::seconds(1)) {
        w.from = now;
        w.lines = 0;
    }
    if (++w.lines > linesPerUser)
        return;
    last = now;
    log_ << "shared scene: dropped a record of site " << printable(site) << ": " << what
         << std::endl;
}

} // namespace zel::share::detail
