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

#include <zel/import/content_digest.h>
#include <zel/import/imported_scene.h>

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

} // namespace zel::import
