#pragma once

// Which files an import read, as the host can tell from outside the helper: the model, the files
// beside it that share its name up to the extension or that hold materials and buffers (".mtl",
// ".bin"), and each picture the scene holds, found again by its name beneath the folders the
// helper searched. A texture that a material names but the scene lacks makes those folders'
// listings inputs too (it would be found once it appears). The persistent cache keys on this list.

#include <zel/import/disk_cache.h>
#include <zel/import/imported_scene.h>

#include <filesystem>
#include <vector>

namespace zel::import {

// model: absolute, its folder without links. textureFolders: the helper's search folders, before
// the model's own.
importInputs knownInputs(const std::filesystem::path& model, const scene& s,
                         const std::vector<std::filesystem::path>& textureFolders);

} // namespace zel::import
