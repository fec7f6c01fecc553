// A small model (materials, mesh objects, optional spin tracks) and its 3DS encoding.
#pragma once

#include "geometry.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zel::genModels {

struct colour {
    std::uint8_t r = 0, g = 0, b = 0;
};

struct material {
    std::string name; // at most 16 characters; faces refer to it by index
    colour diffuse;
    colour ambient;
};

// A rotation key as 3DS stores it: angle in radians about axis, the first key absolute and every
// later key relative to the one before.
struct rotationKey {
    std::uint32_t frame = 0;
    float angle = 0.0f;
    vec3 axis{0.0, 0.0, 1.0};
};

// A rotation track for one object, turning it about its origin.
struct spinTrack {
    std::string object;
    std::vector<rotationKey> keys; // frames strictly increasing
};

// An object whose keyframer node stands elsewhere than its stored vertices: the node's position
// key is the object's origin plus offset (files from some old tools disagree like this).
struct misplacedNode {
    std::string object;
    vec3 offset;
};

struct model {
    std::string name;                // the scene name in the keyframer header
    std::vector<material> materials; // none: faces name no material (their `material` is unused)
    // The picture file name of each material by index (at most 12 characters), empty or missing:
    // none.
    std::vector<std::string> pictures;
    std::vector<meshObject> objects; // names of at most 10 characters, unique
    std::uint32_t frames = 100;      // length of the animation segment, frame 0 to frames
    std::vector<spinTrack> spins;    // objects without a track keep one identity key
    std::vector<misplacedNode> misplaced;
};

std::size_t triangleCount(const model& m);

// Encodes m as a 3DS file into out. Returns false, with the reason in error, when m cannot be
// written faithfully (names too long or repeated, indices out of range, too many vertices or faces,
// non-finite coordinates, a track for an unknown object, keys out of order).
bool encode3ds(const model& m, std::vector<std::uint8_t>& out, std::string& error);

} // namespace zel::genModels
