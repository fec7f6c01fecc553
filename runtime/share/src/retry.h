// Waits between attempts that double up to a cap, with some spread so that many sites that failed
// together do not retry together.
#pragma once

#include "share_types.h"

#include <algorithm>
#include <chrono>
#include <random>

namespace zel::share::detail {

inline clock::duration backoff(int failures, clock::duration first, clock::duration most) {
    static thread_local std::minstd_rand random(std::random_device{}());
    clock::duration d = first;
    for (int i = 1; i < failures && d < most; ++i)
        d *= 2;
    d = std::min(d, most);
    // Up to a quarter more.
    return d + d * static_cast<int>(random() % 256) / 1024;
}

} // namespace zel::share::detail
