#include "presence_beacon.h"

#include <chrono>

namespace zel::share::detail {

namespace {

constexpr auto refresh = std::chrono::milliseconds(1000);

} // namespace

void presenceBeacon::run() {
    std::unique_lock lock(mutex_);
    while (!stopped_) {
        if (connected_ && !refused_)
            natsConnection_Publish(conn_.nats(), subject_.c_str(), value_.data(),
                                   static_cast<int>(value_.size()));
        cv_.wait_for(lock, refresh, [&] { return stopped_; });
    }
}

void presenceBeacon::stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    cv_.notify_all();
}

} // namespace zel::share::detail
