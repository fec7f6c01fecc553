// Lines about records dropped, kept few: one a second per site, and at most five a second per user
// however many sites it makes up. World thread only.
#pragma once

#include "share_types.h"

#include <ostream>
#include <string>
#include <unordered_map>

namespace zel::share::detail {

class complaintLog {
public:
    explicit complaintLog(std::ostream& log) : log_(log) {}
    complaintLog(const complaintLog&) = delete;
    complaintLog& operator=(const complaintLog&) = delete;

    // One line, "dropped a record of site <site>: <what>", unless site or user said enough lately.
    void complain(const std::string& site, const std::string& user, const std::string& what,
                  clock::time_point now = clock::now());

private:
    struct window {
        clock::time_point from{};
        int lines = 0;
    };
    std::ostream& log_;
    std::unordered_map<std::string, clock::time_point> bySite_; // the last line's time
    std::unordered_map<std::string, window> byUser_;
};

} // namespace zel::share::detail
