#pragma once

// Assimp's scene turned into the project's plain scene data, in this process. Not isolated: a
// hostile file can crash or hang the caller, so the host reaches this only through the import
// helper (isolated_import.h); the helper itself and the benchmarks call it directly.

#include "texture_files.h"
#include <zel/import/imported_scene.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct aiScene;

namespace zel::import {

// The post-processing asked of Assimp for every import.
unsigned int assimpImportFlags();

// Copies s: matrices transposed to the row-vector convention, the root first and parents before
// children, triangles only (points and lines dropped, a mesh left without triangles dropped),
// normals and the first texture-coordinate set when present, node and skeleton animation channels.
// Null with a reason when s has no root node or holds indices that do not fit its arrays' sizes.
std::optional<scene> convertScene(const aiScene& s, std::string* reason);

// The pictures s holds itself (aiScene::mTextures), found as materials name them: "*N" is the N-th,
// any other name the one stored under the same file name (folders ignored). The answers point
// into s, which must outlive the lookup.
embeddedSource embeddedPictures(const aiScene& s);

// By material index: whether the material takes its picture's alpha as its opacity: a glTF alpha
// mode BLEND or MASK; in other formats an opacity map (an OBJ map_d).
std::vector<bool> alphaIsOpacity(const aiScene& s);

// Reads the file with Assimp and converts it, with the textures found beside it (loadTextures).
// Catches every exception; null with a reason (Assimp's own message where it gives one) on failure.
// Unconfined, with no deadline, and its texture lookup checks a file and then opens it: for the
// tests, the benchmarks, the fuzz seeds and `zelimport --stats --in-process` only. No product
// path (zelhost, libzel, libzelworld, the helper's --serve) links or calls it.
std::optional<scene> importInProcess(const std::filesystem::path& file, std::string* reason);

} // namespace zel::import
