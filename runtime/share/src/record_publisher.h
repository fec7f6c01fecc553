// This site's records on their way to the broker: the state wanted under each key, whether it is
// to be sent, in flight or acknowledged, and when a failed send goes again. It knows neither the
// broker nor the time: the sending and the clock are passed in, so that it is tested alone.
#pragma once

#include "retry.h"

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace zel::share::detail {

class recordPublisher {
public:
    using clockFn = std::function<clock::time_point()>;
    // Sends one record (an empty value and erase for a delete); false when it could not be handed
    // to the broker at all. Its acknowledgement comes later, through acknowledged().
    using sendFn =
        std::function<bool(const std::string& key, const std::string& value, bool erase)>;

    explicit recordPublisher(clockFn now = &clock::now) : now_(std::move(now)) {}

    // The state wanted under key. Nothing goes out when it is what was sent and not refused.
    void put(const std::string& key, std::string value, bool erase);
    // What the broker holds under one of this site's own keys: when it is not what this site
    // wants there (deleted by someone, or a stale write), the wanted state goes out again.
    void verifyOwn(const std::string& key, const std::string& value, bool erased);
    // Every wanted state goes again (the broker was away, or its bucket was made again).
    void resendEverything();
    // The broker's answer to a send of key: ok, or the reason it did not take it.
    // True when the failure deserves a line (at most one per 10 s).
    bool acknowledged(const std::string& key, bool ok, const std::string& error);

    // Sends up to max records that are due; those the broker did not take go again later. Returns
    // how many went, and in next when the earliest held back is due (unchanged when none).
    std::size_t sendDue(const sendFn& send, std::size_t max, clock::time_point& next);
    // Waits until a record may be due or until; stop() ends every wait.
    void wait(clock::time_point until);
    void stop();

    // Keys whose latest state the broker has not acknowledged.
    std::size_t unsettled() const;
    std::string lastError() const;
    bool knows(const std::string& key) const;

private:
    struct keyState {
        std::string value; // the record; empty for a delete
        bool erase = false;
        bool dirty = false; // to be sent
        bool acked = false; // the broker acknowledged the latest send
        int inflight = 0;
        int failures = 0;
        clock::time_point retryAt{};
        bool settled() const { return !dirty && inflight == 0 && acked; }
    };
    // Changes one key's state and keeps the count of unsettled keys (under mutex_).
    template <class F> void update(const std::string& key, F&& change);
    void failed(keyState& k);

    clockFn now_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool stopping_ = false;
    std::unordered_map<std::string, keyState> keys_;
    std::size_t unsettled_ = 0;
    std::string lastError_;
    clock::time_point lastErrorLine_{};
};

} // namespace zel::share::detail
