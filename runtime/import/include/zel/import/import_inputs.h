#pragma once

// Which files an import read: the model and every file the host's file broker granted the helper
// (file_broker.h), the material libraries, buffers and pictures it read included, as they were
// when granted; and every name the broker found nothing under (a material library or a texture
// that appears later changes the result). A texture that a material names but the scene lacks
// makes the listings of the folders it was looked for in inputs too (it would be found under
// another case once it appears). Both caches check this list before a scene is used again.

#include <zel/import/disk_cache.h>
#include <zel/import/file_broker.h>
#include <zel/import/imported_scene.h>
#include <zel/import/isolated_import.h>

#include <filesystem>
#include <vector>

namespace zel::import {

// model: absolute, its folder without links; stats: its import's (the files granted, the names
// found absent). textureFolders: the helper's search folders, before the model's own.
importInputs knownInputs(const std::filesystem::path& model, const isolationStats& stats,
                         const scene& s, const std::vector<std::filesystem::path>& textureFolders);

} // namespace zel::import
