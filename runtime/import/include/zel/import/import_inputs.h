#pragma once

// Which files an import read: the model and every file the host's file broker granted the helper
// (file_broker.h), the material libraries, buffers and pictures it read included. The broker
// records no misses: a texture that a material names but the scene lacks makes the listings of
// the folders it was looked for in inputs too (it would be found once it appears). The persistent
// cache keys on this list.

#include <zel/import/disk_cache.h>
#include <zel/import/file_broker.h>
#include <zel/import/imported_scene.h>

#include <filesystem>
#include <vector>

namespace zel::import {

// model: absolute, its folder without links; granted: isolationStats::files of its import.
// textureFolders: the helper's search folders, before the model's own.
importInputs knownInputs(const std::filesystem::path& model,
                         const std::vector<grantedFile>& granted, const scene& s,
                         const std::vector<std::filesystem::path>& textureFolders);

} // namespace zel::import
