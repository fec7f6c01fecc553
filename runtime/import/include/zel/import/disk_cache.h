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

#include <zel/import/file_broker.h>
#include <zel/import/imported_scene.h>

#include <zel/base/sha256.h>

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
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

using digest = base::sha256Digest;

// Starts libcrypto without its clean-up at exit, so that a thread still hashing while the process
// ends never meets a library torn down. First thing in main; idempotent.
void startCrypto();

std::string hexOf(const digest& d);
// 64 hexadecimal digits (either case); nothing else.
std::optional<digest> digestFromHex(std::string_view hex);

struct cacheSettings {
    bool enabled = false;
    std::filesystem::path folder;                    // the entries' folder
    std::uint64_t maxBytes = std::uint64_t{2} << 30; // the folder's size bound
    // The folder the user named, beneath which every folder down to the entries' is opened
    // without following a link (empty: the entries' folder's parent).
    std::filesystem::path base;
};

// The default folder is $XDG_CACHE_HOME/propplacer/imports, else ~/.cache/propplacer/imports;
// ZEL_CACHE_SIZE bounds its size (bytes, or with a K, M or G suffix; 0 turns the cache off).
// Disabled, with the reason in why, when no folder can be named, the size does not parse, or the
// folder is refused (openCacheFolder).
cacheSettings cacheSettingsFromEnvironment(std::string* why = nullptr);

// The entries' folder, opened: every folder beneath settings.base is made (0700) where missing
// and opened without following a link, and must belong to this user and be closed to writes by
// group and others (the entries' own is made 0700). -1 with the reason in why (one line) when
// not.
int openCacheFolder(const cacheSettings& settings, std::string* why = nullptr);

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

class diskCache {
public:
    enum class kind : std::uint32_t { import = 1, asset = 2 };

    // Opens the folder (openCacheFolder); a folder refused leaves the cache off.
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
    // An entry that does not belong to this user is passed over. What checking the inputs may
    // hash is within budget (a default one when null); the inputs as seen go to `seen`.
    std::optional<scene> find(kind k, const digest& key, std::string* complaint = nullptr,
                              hashBudget* budget = nullptr, importInputs* seen = nullptr);
    // Whether an entry of that name is there.
    bool holds(kind k, const digest& key) const;

    // Stores in the background (at most a few entries wait; more are dropped). An import's
    // inputs are hashed by the writer (recordInputs, against startNs); a blob must be one
    // encoding whose SHA-256 is key.
    // encoding: value's bytes as the helper sent them and the decoder checked them, written as
    // they are (empty: value is encoded afresh).
    void storeImport(const digest& key, importInputs inputs, std::int64_t startNs,
                     std::shared_ptr<const scene> value,
                     std::uint64_t hashLimit = std::uint64_t{4} << 30,
                     std::vector<std::byte> encoding = {});
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
        std::uint64_t hashLimit = 0;
    };
    void run();
    bool write(const job& j);

    cacheSettings settings_;
    int dir_ = -1; // the entries' folder
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
