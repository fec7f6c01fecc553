#pragma once

// What an import's result depends on, by content: the SHA-256 of a file's bytes and of a folder's
// listing, the inputs an import read as a cache entry records them, and whether they are still so.
// Content decides: a file stamp only leads to a hash taken before (contentDigest).

#include <zel/import/file_broker.h>

#include <zel/base/sha256.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel::import {

using digest = base::sha256Digest;

using base::startCrypto;

std::string hexOf(const digest& d);
// 64 hexadecimal digits (either case); nothing else.
std::optional<digest> digestFromHex(std::string_view hex);

// What one lookup or store may hash: at most `bytes` of file content, and only while keepGoing
// (asked between pieces of about a MiB, when set) says so.
struct hashBudget {
    std::uint64_t bytes = std::uint64_t{4} << 30;
    std::function<bool()> keepGoing;
    bool cancelled = false; // keepGoing said no
};

// The SHA-256 of a regular file's content; nullopt when it cannot be read, is not a regular
// file, is larger than what is left of budget, or budget.keepGoing stopped it. A hash this
// process took before is reused while the file's stamp (size, modification and change times,
// inode, device) is what it was, and only when its change time lay before the hash was begun (by
// 2 s on file systems that keep whole seconds), so that a write during or right after the hashing
// is never hidden by an unchanged stamp. The size is known from fstat before a byte is read.
std::optional<digest> contentDigest(const std::filesystem::path& file,
                                    hashBudget* budget = nullptr);

// The SHA-256 of a folder's names, sorted; nullopt when it cannot be listed or holds more than
// 100,000 names.
std::optional<digest> listingDigest(const std::filesystem::path& folder);

// What an import read: the files whose content went into its result, as the file broker granted
// them; the folders whose listings decided a lookup (a texture not found there would be found
// once it appears); and the names the broker found nothing under (a material library, a texture,
// beneath a folder that may not exist yet).
struct importInputs {
    std::vector<grantedFile> files;
    std::vector<std::filesystem::path> listedFolders;
    std::vector<std::filesystem::path> absent;
};

// An input as an entry records it.
struct recordedInput {
    enum class kind : std::uint8_t { file = 0, listing = 1, absent = 2 };
    kind what = kind::file;
    std::string path;
    std::uint64_t size = 0; // a file's, and its modification time: a change is seen unread
    std::int64_t mtimeNs = 0;
    digest value{}; // a file's content or a folder's listing
    bool operator==(const recordedInput&) const = default;
};

// The inputs hashed; nullopt when one cannot be read, is no longer the file the broker granted
// (device, inode, size, modification time), is no longer absent, changed at or after `since` (the
// import's start, on the coarse real-time clock), so that the result may hold something else than
// what it now holds, or when budget runs out.
std::optional<std::vector<recordedInput>>
recordInputs(const importInputs& inputs, std::int64_t sinceNs, hashBudget* budget = nullptr);
// Whether the inputs are still as recorded, within budget; what was seen goes to `seen` (the
// files' stamps as fstat gave them before they were read) when given.
bool inputsUnchanged(const std::vector<recordedInput>& inputs, hashBudget* budget,
                     importInputs* seen = nullptr);
// The coarse real-time clock in nanoseconds: what file times are taken from.
std::int64_t coarseNowNs();

} // namespace zel::import
