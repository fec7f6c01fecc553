#pragma once

// One entry file of the import cache, laid out as cache_entry.md describes: written in one pass,
// and read in one pass that checks it whole, its encoding decoded with the same bounded decoder as
// a helper's result.

#include <zel/import/disk_cache.h>
#include <zel/import/imported_scene.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zel::import::cacheEntry {

// What no entry this cache writes goes past.
constexpr std::uint64_t maxInputsBytes = std::uint64_t{1} << 20;
constexpr std::uint32_t maxInputs = 4096;

// The entry's name in the cache's folder: "i-" (an import) or "a-" (an asset), then the key in
// hexadecimal digits.
std::string nameOf(diskCache::kind k, const digest& key);

// The inputs' part of an entry.
std::vector<std::byte> encodeInputs(const std::vector<recordedInput>& inputs);

struct readResult {
    std::optional<scene> value; // none, and no damage: an input changed, the entry is stale
    std::string damage;         // how the entry is damaged ("is truncated"); empty when it is not
};

// Reads the entry open on fd, a regular file of size bytes that must be of kind k under key. An
// encoding longer than maxEncodingBytes is refused before it is read. The recorded inputs are
// checked (inputsUnchanged, within budget, what was seen going to seen) before the encoding is
// decoded; for an asset, the encoding's SHA-256 must be the key.
readResult read(int fd, std::uint64_t size, diskCache::kind k, const digest& key,
                std::uint64_t maxEncodingBytes, hashBudget* budget, importInputs* seen);

// Writes an entry of kind k under key to fd: inputsText (encodeInputs), then the encoding of
// encodingBytes, value encoded afresh when given, else blob as it is, then the checksum. False when
// a write fails.
bool write(int fd, diskCache::kind k, const digest& key, std::span<const std::byte> inputsText,
           std::uint64_t encodingBytes, const scene* value, std::span<const std::byte> blob);

} // namespace zel::import::cacheEntry
