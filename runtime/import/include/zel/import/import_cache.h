#pragma once

// Imported scenes shared by every reader of the same unchanged file: keyed by the file's canonical
// path and the folders its textures are looked up in (they decide which pictures the scene holds),
// and valid while its size, modification and change times and inode stay as they were when it was
// read, and while every other input its loader names (import_inputs.h: the files it read as they
// were when read, the names found absent, the folders whose listings decided a lookup) is as it
// was; all of it is looked at on every reuse. A scene whose inputs changed is imported again
// (trees made from the old data keep it alive); failed reads are not kept, so a file that is
// fixed or appears later is read on the next request.

#include <zel/import/disk_cache.h>
#include <zel/import/imported_scene.h>
#include <zel/import/isolated_import.h>

#include <zel/base/file_stamp.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace zel::import {

class importCache {
public:
    // Reads one file, telling progress how far it is; null with a reason on failure. What the
    // scene was made from goes to the inputs (left empty: the file alone).
    using loader = std::function<std::shared_ptr<const scene>(
        const std::filesystem::path&, const isolationOptions&, std::string*, importInputs*,
        const importProgress&)>;

    explicit importCache(loader load);
    importCache(const importCache&) = delete;
    importCache& operator=(const importCache&) = delete;

    // The cached scene while the file is unchanged, else what the loader gives (kept when not
    // null). Null with a reason when the file cannot be examined or read. Thread-safe; the loader
    // runs without the lock held.
    // The options and progress go to the loader; a cached scene is handed out whatever they are
    // but for the texture folders (options.readableFolders).
    std::shared_ptr<const scene> get(const std::filesystem::path& file,
                                     const isolationOptions& options, std::string* reason,
                                     const importProgress& progress = {});

    std::size_t size() const;
    void clear();

private:
    struct entry {
        base::fileStamp stamp;
        std::shared_ptr<const scene> value;
        importInputs inputs;
        std::vector<base::fileStamp> folders; // of inputs.listedFolders, after the load
    };
    static bool inputsAsBefore(const entry& e);

    loader load_;
    mutable std::mutex mutex_;
    using key = std::pair<std::filesystem::path, std::vector<std::filesystem::path>>;
    std::map<key, entry> entries_;
};

} // namespace zel::import
