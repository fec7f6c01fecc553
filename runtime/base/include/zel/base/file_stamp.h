#pragma once

// What a file's status says about its content without reading it: its size, its times to the
// nanosecond, and which file it is. A write in place changes the change time whatever it does to
// the modification time.

#include <cstdint>
#include <filesystem>
#include <optional>

#include <sys/stat.h>
#include <time.h>

namespace zel::base {

struct fileStamp {
    std::uint64_t size = 0;
    std::int64_t mtimeNs = 0;
    std::int64_t ctimeNs = 0;
    std::uint64_t inode = 0;
    std::uint64_t device = 0;
    bool operator==(const fileStamp&) const = default;
};

inline std::int64_t nanosecondsOf(const timespec& t) {
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

fileStamp stampOf(const struct stat& st);
// stat(2) of file (links followed); nullopt, with errno set, when that fails.
std::optional<fileStamp> stampOf(const std::filesystem::path& file);

} // namespace zel::base
