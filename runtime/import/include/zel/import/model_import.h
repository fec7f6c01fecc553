#pragma once

// The scene-graph reader's way in: a model file's imported data, read in an isolated child process
// (isolated_import.h) and shared through one process-wide cache (import_cache.h).

#include <zel/import/imported_scene.h>
#include <zel/import/isolated_import.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace zel::import {

// The file's data, shared with every earlier and later call for the same unchanged file, imported
// in a child with the given limits (the helper may read options.readableFolders besides the
// model's own folder) when it is not cached; progress hears of that import. Null on failure, with
// the reason in `reason`. Prints nothing: the caller reports.
std::shared_ptr<const scene> importFile(const std::filesystem::path& file,
                                        const isolationOptions& options, std::string& reason,
                                        const importProgress& progress = {});

// Forgets every cached scene (scenes still in use stay alive with their users).
void clearImportCache();

} // namespace zel::import
