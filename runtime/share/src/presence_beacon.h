// This site's presence: its record refreshed every second with a plain publish that never waits
// for the broker, so that nothing else can hold it up; taken off the broker when the site leaves.
#pragma once

#include "connection.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

namespace zel::share::detail {

class presenceBeacon {
public:
    presenceBeacon(connection& conn, std::string subject, std::string value,
                   const std::atomic<bool>& connected, const std::atomic<bool>& refused)
        : conn_(conn), subject_(std::move(subject)), value_(std::move(value)),
          connected_(connected), refused_(refused) {}
    // The beacon's thread, until stop().
    void run();
    void stop();

private:
    connection& conn_;
    std::string subject_;
    std::string value_;
    const std::atomic<bool>& connected_;
    const std::atomic<bool>& refused_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stopped_ = false;
};

} // namespace zel::share::detail
