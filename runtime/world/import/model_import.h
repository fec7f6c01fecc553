#pragma once

// The scene-graph reader's way in: a model file's imported data, read in an isolated child process
// (isolated_import.h) and shared through one process-wide cache (import_cache.h).

#include "imported_scene.h"
#include "isolated_import.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace zel::world::import {

// What one read adds to the isolation options: the folders its helper may read besides the model's
// own (the texture search folders) and the caller's progress callback.
struct importCall {
    std::vector<std::filesystem::path> readableFolders;
    importProgress progress;
};

// The file's data, shared with every earlier and later call for the same unchanged file. Null on
// failure: the reason goes to *reason when given, else the line
// `readFile(): cannot read NAME: REASON` goes to stderr. Nothing is written to stdout.
std::shared_ptr<const scene> importFile(const std::filesystem::path& file, std::string* reason,
                                        const importCall& call);
std::shared_ptr<const scene> importFile(const std::filesystem::path& file,
                                        std::string* reason = nullptr);

// The isolation used by later importFile calls (the defaults of isolationOptions until set).
void setImportOptions(const isolationOptions& options);
isolationOptions importOptions();

// Forgets every cached scene (scenes still in use stay alive with their users).
void clearImportCache();

} // namespace zel::world::import
