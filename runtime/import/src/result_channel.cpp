#include "result_channel.h"

#include <zel/base/eintr.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>

#include <poll.h>
#include <unistd.h>

namespace zel::import {

namespace {

double secondsSince(const timespec& start) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) * 1e-9;
}

} // namespace

importClock::importClock(double limit, const importProgress& progress, double expectedSeconds)
    : limit_(limit), progress_(progress), expected_(expectedSeconds) {
    ::clock_gettime(CLOCK_MONOTONIC, &start_);
}

double importClock::elapsed() const {
    return secondsSince(start_);
}

void importClock::reported(std::uint32_t perMille) {
    reported_ = std::max(reported_, std::min(perMille, 1000u) / 1000.0);
}

int importClock::wait(int fd) {
    for (;;) {
        tick(false);
        if (stopped())
            return 0;
        const double left = limit_ - elapsed();
        if (left <= 0) {
            timedOut_ = true;
            return 0;
        }
        pollfd p[2] = {{fd, POLLIN, 0}, {broker_ ? broker_->fd() : -1, POLLIN, 0}};
        const int timeout = static_cast<int>(std::min(left, tickSeconds) * 1000.0) + 1;
        const int r =
            base::retryOnInterrupt([&] { return ::poll(p, p[1].fd >= 0 ? 2 : 1, timeout); });
        if (r > 0 && p[1].revents)
            broker_->service();
        if (r > 0 && p[0].revents)
            return 1;
        if (r < 0)
            return -1;
    }
}

bool importClock::over() {
    tick(false);
    return stopped();
}

void importClock::tick(bool force) {
    if (!progress_ || cancelled_)
        return;
    const double now = elapsed();
    if (!force && now - lastTick_ < tickSeconds)
        return;
    lastTick_ = now;
    const double readShare = protocol::readEnd / 1000.0;
    const double estimate = readShare * 0.95 * (1.0 - std::exp(-now / expected_));
    if (!progress_(std::max(reported_, std::min(estimate, readShare))))
        cancelled_ = true;
}

bool pipeSource::begin() {
    if (!started_)
        ok_ = skipProgress();
    return ok_;
}

bool pipeSource::read(void* out, std::size_t n) {
    if (!readEncoding(out, n))
        return false;
    if (keep_) {
        // Room for what the header announces, within reason: the rest grows as it comes.
        if (keep_->empty() && announced_ > 0)
            keep_->reserve(
                static_cast<std::size_t>(std::min<std::uint64_t>(announced_, 256u << 20)));
        const auto* p = static_cast<const std::byte*>(out);
        keep_->insert(keep_->end(), p, p + n);
    }
    return true;
}

bool pipeSource::readEncoding(void* out, std::size_t n) {
    if (!begin())
        return false;
    auto* dst = static_cast<char*>(out);
    const std::size_t fromBuffer = std::min(n, end_ - pos_);
    std::memcpy(dst, buffer_.data() + pos_, fromBuffer);
    pos_ += fromBuffer;
    dst += fromBuffer;
    n -= fromBuffer;
    if (n >= buffer_.size() / 2)
        return fill(dst, n, n) == n;
    while (n > 0) {
        pos_ = 0;
        end_ = fill(buffer_.data(), 1, buffer_.size());
        if (end_ == 0)
            return false;
        const std::size_t take = std::min(n, end_);
        std::memcpy(dst, buffer_.data(), take);
        pos_ = take;
        dst += take;
        n -= take;
    }
    return true;
}

bool pipeSource::skipProgress() {
    started_ = true;
    for (;;) {
        if (!buffered(protocol::progressRecordSize))
            return false;
        const std::optional<std::uint32_t> perMille =
            protocol::decodeProgress(buffer_.data() + pos_);
        if (!perMille)
            break;
        if (!order_.accept(*perMille)) {
            refused_ =
                "progress record " + std::to_string(*perMille) + " out of order or out of range";
            return false;
        }
        clock_.reported(*perMille);
        clock_.tick(true);
        pos_ += protocol::progressRecordSize;
    }
    if (buffered(24))
        std::memcpy(&announced_, buffer_.data() + pos_ + 16, 8);
    encodingStart_ = received_ - (end_ - pos_);
    return true;
}

bool pipeSource::buffered(std::size_t n) {
    if (end_ - pos_ >= n)
        return true;
    std::memmove(buffer_.data(), buffer_.data() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
    end_ += fill(buffer_.data() + end_, n - end_, buffer_.size() - end_);
    return end_ >= n;
}

std::size_t pipeSource::fill(char* dst, std::size_t want, std::size_t room) {
    std::size_t got = 0;
    while (got < want) {
        const int ready = clock_.wait(fd_);
        if (ready <= 0)
            return got;
        const ssize_t r =
            base::retryOnInterrupt([&] { return ::read(fd_, dst + got, room - got); });
        if (r < 0 && errno == EAGAIN)
            continue;
        if (r <= 0)
            return got;
        if (firstByte_ == 0)
            firstByte_ = clock_.elapsed();
        got += static_cast<std::size_t>(r);
        received_ += static_cast<std::uint64_t>(r);
        if (announced_ > 0) {
            const double share =
                double(received_ - encodingStart_) / double(std::max<std::uint64_t>(announced_, 1));
            clock_.reported(
                protocol::convertEnd +
                static_cast<std::uint32_t>(std::min(share, 1.0) * (1000 - protocol::convertEnd)));
        }
    }
    return got;
}

decodeResult readHelperResult(int fd, std::chrono::milliseconds deadline, std::uint64_t maxBytes,
                              decodeLimits limits) {
    const importProgress none;
    importClock clock(double(deadline.count()) / 1000.0, none, 1.0);
    pipeSource source(fd, clock);
    limits.deadline = std::min(limits.deadline, std::chrono::steady_clock::now() + deadline);
    decodeResult res = decode(source, maxBytes, limits);
    if (!source.refused().empty())
        return decodeResult{decodeStatus::malformed, std::nullopt, source.refused()};
    return res;
}

} // namespace zel::import
