#pragma once

// The imported data of one model file, as plain values: what the scene-graph reader turns into
// nodes. It carries no importer types, so it crosses the process boundary of the isolated import
// unchanged.

#include <cstdint>
#include <string>
#include <vector>

namespace zel::import {

// A picture a material shows, decoded from its image file (or from the bytes the model stores) by
// the import helper: 8-bit RGBA, rows from the top of the picture down. Larger files arrive
// downscaled (sourceWidth and sourceHeight keep the file's own size).
struct texture {
    std::string name; // the file, relative to the folder it was found in; "*0" stored in the model
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t sourceWidth = 0;
    std::uint32_t sourceHeight = 0;
    bool hasAlpha = false;          // its alpha is the opacity of the materials that show it
    std::vector<std::uint8_t> rgba; // width * height * 4 bytes

    bool downscaled() const { return width != sourceWidth || height != sourceHeight; }
    bool operator==(const texture&) const = default;
};

// material::texture when the material shows none (or its file was not found or not readable).
inline constexpr std::uint32_t noTexture = 0xFFFFFFFFu;

struct material {
    std::string name;
    float diffuse[4] = {0.6f, 0.6f, 0.6f, 1.0f};
    float ambient[3] = {0.0f, 0.0f, 0.0f};
    float specular[3] = {0.0f, 0.0f, 0.0f}; // the highlight's colour, its strength included
    float shininess = 0.0f;                 // the highlight's Phong exponent; 0: no highlight
    float opacity = 1.0f;
    std::string diffuseTexture; // as named in the file (3DS: upper-case 8.3), empty when none
    std::uint32_t texture = noTexture; // its picture: an index into scene::textures

    bool operator==(const material&) const = default;
};

// Triangles only. positions: x, y, z per vertex; normals: the same count or empty (the file gave
// none); uvs: u, v per vertex or empty; indices: three per triangle, each below the vertex count.
struct mesh {
    std::vector<float> positions;
    std::vector<float> normals;
    std::vector<float> uvs;
    std::vector<std::uint32_t> indices;
    std::uint32_t material = 0; // index into scene::materials

    std::size_t vertexCount() const { return positions.size() / 3; }
    std::size_t triangleCount() const { return indices.size() / 3; }
    bool operator==(const mesh&) const = default;
};

// matrix: the local transform in row-vector form (v' = v * M), row-major, translation in elements
// 12, 13, 14. meshes and children index scene::meshes and scene::nodes.
struct node {
    std::string name;
    float matrix[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    std::vector<std::uint32_t> meshes;
    std::vector<std::uint32_t> children;

    bool operator==(const node&) const = default;
};

struct vectorKey {
    double time = 0; // in ticks
    float value[3] = {0, 0, 0};

    bool operator==(const vectorKey&) const = default;
};

struct quatKey {
    double time = 0;              // in ticks
    float quat[4] = {0, 0, 0, 1}; // x, y, z, w

    bool operator==(const quatKey&) const = default;
};

// The keys that drive the node named `node`.
struct channel {
    std::string node;
    std::vector<vectorKey> position;
    std::vector<quatKey> rotation;
    std::vector<vectorKey> scaling;

    bool operator==(const channel&) const = default;
};

struct animation {
    std::string name;
    double duration = 0;       // in ticks
    double ticksPerSecond = 0; // 0 when the file gives none
    std::vector<channel> channels;

    bool operator==(const animation&) const = default;
};

// nodes[0] is the file's root node (for 3DS it carries the Z-up to Y-up turn); every other node
// hangs under exactly one parent and parents come before their children. A mesh used by several
// nodes is stored once.
struct scene {
    std::vector<node> nodes;
    std::vector<mesh> meshes;
    std::vector<material> materials;
    std::vector<animation> animations;
    std::vector<texture> textures; // each image file once, however many materials name it

    std::size_t triangleCount() const {
        std::size_t n = 0;
        for (const mesh& m : meshes)
            n += m.triangleCount();
        return n;
    }
    std::size_t vertexCount() const {
        std::size_t n = 0;
        for (const mesh& m : meshes)
            n += m.vertexCount();
        return n;
    }
    bool operator==(const scene&) const = default;
};

} // namespace zel::import
