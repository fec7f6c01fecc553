#pragma once

// What the import helper takes from a 3DS file's own chunks after Assimp has read it.
//
// Placement: 3DS files keep two placements of every mesh, its vertices as stored in the 3D
// editor's chunks (where the author last saw them, the mesh matrix giving the object's own frame)
// and a keyframer hierarchy (pivots, positions, rotations and scales per node) meant for
// animation. Assimp places every mesh by the keyframer's first keys. Where a file's keyframer
// disagrees with its vertices (old files often do), parts end up apart. Every part that no
// animation moves is put back where its vertices are stored; parts the keyframer animates (and
// those above or below them in the hierarchy) keep the keyframer's placement.
//
// Materials: Assimp scales a 3DS material's shininess and shininess strength (percentages in the
// file) to numbers no renderer can use; they are read from the file: the specular colour times
// its strength, and an exponent of 128 times the shininess. Faces that name no material get a
// light grey (Assimp's default is a dark grey that nearly vanishes against the background).
//
// Normals: within a smoothing group, Assimp averages the face normals around each corner as the
// faces are wound; where an exporter wound the faces of one surface either way, they cancel and
// point sideways (dark streaks). Faces in a smoothing group get normals averaged after their
// windings are made to agree with their neighbours'; faces in none keep Assimp's.

#include <zel/import/imported_scene.h>

#include <cstddef>
#include <filesystem>
#include <string>

namespace Assimp {
class IOSystem;
}

namespace zel::import {

struct threeDsAmends {
    bool read = false;         // the file is a 3DS file (nothing was amended otherwise)
    std::size_t placed = 0;    // nodes placed as stored
    std::size_t materials = 0; // materials given the file's highlight
    std::size_t defaults = 0;  // Assimp's material for faces without one, made light grey
    std::size_t smoothed = 0;  // faces given normals from their smoothing groups
};

// Amends s, which Assimp made of the 3DS file `file`, as above. Reads only the chunks it needs,
// every length checked against its parent chunk and the file; a file that is not 3DS, or not
// readable, leaves s as it is.
threeDsAmends amendFromThreeDsFile(scene& s, const std::filesystem::path& file);
// The same, reading `file` through the importer's file system (the helper has no other).
threeDsAmends amendFromThreeDsFile(scene& s, Assimp::IOSystem& io, const std::string& file);

} // namespace zel::import
