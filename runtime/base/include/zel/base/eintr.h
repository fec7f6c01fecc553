#pragma once

// A system call interrupted by a signal before it did anything is made again.

#include <cerrno>
#include <utility>

namespace zel::base {

// Calls call() until it does not fail with EINTR (a negative result with errno EINTR); returns
// its last result, errno as that call left it.
template <class Call> auto retryOnInterrupt(Call&& call) {
    for (;;) {
        auto result = call();
        if (!(result < 0 && errno == EINTR))
            return result;
    }
}

} // namespace zel::base
