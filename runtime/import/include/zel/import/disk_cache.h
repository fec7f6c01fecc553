#pragma once

// The persistent cache of decoded imports: the wire-format encoding the helper returned, kept on
// disk in the user's cache folder so that a model read before (in this run or an earlier one, by
// this host or another) comes back without an import.
//
// An entry is found by a key that covers everything its scene depends on (the model's content,
// its place, the texture folders, the helper and the format's versions: importKey) and holds the
// other inputs the import read with their content hashes, checked again before the entry is used.
// Content decides: a file stamp only leads to a hash taken before (contentDigest). Entries are
// written to a temporary file and renamed into place, so several hosts may fill one folder at
// once; each carries an xxHash checksum and is decoded with the same bounded decoder as a fresh
// import, since the folder is one more input. The folder is held to a size, the least recently
// used entries going first.

#include <zel/import/imported_scene.h>

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace zel::import {

using digest = std::array<std::uint8_t, 32>; // SHA-256

std::string hexOf(const digest& d);
// 64 hexadecimal digits (either case); nothing else.
std::optional<digest> digestFromHex(std::string_view hex);

struct cacheSettings {
    bool enabled = false;
    std::filesystem::path folder;                    // the entries' folder
    std::uint64_t maxBytes = std::uint64_t{2} << 30; // the folder's size bound
};

// The default folder is $XDG_CACHE_HOME/propplacer/imports, else ~/.cache/propplacer/imports;
// ZEL_CACHE_SIZE bounds its size (bytes, or with a K, M or G suffix; 0 turns the cache off).
// Disabled, with the reason in why, when no folder can be named or the size does not parse.
cacheSettings cacheSettingsFromEnvironment(std::string* why = nullptr);

// The SHA-256 of a regular file's content; nullopt when it cannot be read or is not a regular
// file. A hash this process took before is reused while the file's stamp (size, modification and
// change times, inode, device) is what it was, and only when its change time lay before the hash
// was begun (by 2 s on file systems that keep whole seconds), so that a write during or right
// after the hashing is never hidden by an unchanged stamp.
std::optional<digest> contentDigest(const std::filesystem::path& file);

// The SHA-256 of a folder's names, sorted; nullopt when it cannot be listed or holds more than
// 100,000 names.
std::optional<digest> listingDigest(const std::filesystem::path& folder);

// What an import read: the files whose content went into its result, and the folders whose
// listings decided a lookup (a texture not found there would be found once it appears).
struct importInputs {
    std::vector<std::filesystem::path> files;
    std::vector<std::filesystem::path> listedFolders;
};

// An input as an entry records it.
struct recordedInput {
    bool listing = false; // a folder's listing, else a file's content
    std::string path;
    digest value{};
    bool operator==(const recordedInput&) const = default;
};

// The inputs hashed; nullopt when one cannot be read, or changed at or after `since` (the import's
// start, on the coarse real-time clock), so that the result may hold something else than what it
// now holds.
std::optional<std::vector<recordedInput>> recordInputs(const importInputs& inputs,
                                                       std::int64_t sinceNs);
// The coarse real-time clock in nanoseconds: what file times are taken from.
std::int64_t coarseNowNs();

class diskCache {
public:
    enum class kind : std::uint32_t { import = 1, asset = 2 };

    explicit diskCache(cacheSettings settings);
    // Writes what is queued first.
    ~diskCache();
    diskCache(const diskCache&) = delete;
    diskCache& operator=(const diskCache&) = delete;

    const cacheSettings& settings() const { return settings_; }

    // The scene stored under key: nullopt when there is none, when its recorded inputs changed,
    // or when the entry is damaged, truncated or foreign (then `complaint` says so in one line and
    // the entry is removed). A hit counts as a use for the size bound. For assets the encoding's
    // SHA-256 must be the key.
    std::optional<scene> find(kind k, const digest& key, std::string* complaint = nullptr);

    // Stores in the background (at most a few entries wait; more are dropped). An import's
    // inputs are hashed by the writer (recordInputs, against startNs); a blob must be one
    // encoding whose SHA-256 is key.
    void storeImport(const digest& key, importInputs inputs, std::int64_t startNs,
                     std::shared_ptr<const scene> value);
    void storeAsset(const digest& key, std::vector<std::byte> blob);
    // Waits until every queued entry is written (for tests and tools).
    void flush();

    // Removes the least recently used entries until the folder is within its bound, and
    // temporary files left over an hour ago. Returns the bytes the entries then take.
    std::uint64_t trim();

    std::filesystem::path entryPath(kind k, const digest& key) const;

private:
    struct job {
        kind k = kind::import;
        digest key{};
        importInputs inputs;
        std::int64_t startNs = 0;
        std::shared_ptr<const scene> value;
        std::vector<std::byte> blob;
    };
    void run();
    bool write(const job& j);

    cacheSettings settings_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<job> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread writer_;
};

// A shared scene's model by the SHA-256 of its encoding (64 hexadecimal digits), from the cache;
// null when it is not there, or cache is null. A damaged entry is one line on err.
std::shared_ptr<const scene> cachedAsset(diskCache* cache, const std::string& sha256Hex,
                                         std::ostream& err);
// Keeps such a model in the background, its encoding exactly as it came (nothing when cache is
// null or holds it already).
void keepAsset(diskCache* cache, const std::string& sha256Hex, std::span<const std::byte> blob);

} // namespace zel::import
