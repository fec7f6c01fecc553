#pragma once

// The scene-graph reader's way in: a model file's imported data, read in an isolated child process
// (isolated_import.h) and shared through one process-wide cache (import_cache.h), and, once the
// host turns it on, kept across runs in the persistent cache (disk_cache.h).

#include <zel/import/disk_cache.h>
#include <zel/import/imported_scene.h>
#include <zel/import/isolated_import.h>

#include <filesystem>
#include <memory>
#include <optional>
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

// The persistent cache every later importFile consults first and fills after an import (off until
// called; settings.enabled false turns it off again). A damaged entry there costs one line on
// stderr and a fresh import.
void usePersistentCache(const cacheSettings& settings);
// The one in use, or null.
std::shared_ptr<diskCache> persistentCache();
// The key of model's entry there: its canonical path (whatever path reaches it) and content, the
// texture folders, the helper's content, Assimp's and the wire format's versions. nullopt when the
// model or the helper cannot be read, or the model is larger than the broker grants
// (options.fileLimits.maxBytes, known before it is read); the model's hashing asks budget's
// keepGoing (and sets its cancelled).
std::optional<digest> importKey(const std::filesystem::path& model, const isolationOptions& options,
                                hashBudget* budget = nullptr);

} // namespace zel::import
