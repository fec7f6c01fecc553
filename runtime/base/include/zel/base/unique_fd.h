#pragma once

// An owned file descriptor, closed when it goes.

namespace zel::base {

class uniqueFd {
public:
    uniqueFd() = default;
    explicit uniqueFd(int fd) : fd_(fd) {}
    uniqueFd(const uniqueFd&) = delete;
    uniqueFd& operator=(const uniqueFd&) = delete;
    uniqueFd(uniqueFd&& other) noexcept : fd_(other.release()) {}
    uniqueFd& operator=(uniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~uniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes the one held, if any, and holds fd.
    void reset(int fd = -1);
    // Hands the descriptor over without closing it.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

} // namespace zel::base
