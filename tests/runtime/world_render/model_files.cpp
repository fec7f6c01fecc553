#include "model_files.h"

#include <test_models.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace modeltest {

namespace fs = std::filesystem;

void writeText(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary);
    out << text;
    ASSERT_TRUE(out) << file;
}

tempFolder::tempFolder() {
    std::string pattern = (fs::temp_directory_path() / "zel-painted-XXXXXX").string();
    if (mkdtemp(pattern.data()))
        path_ = pattern;
    EXPECT_FALSE(path_.empty()) << "cannot make a temporary folder";
}

tempFolder::~tempFolder() {
    std::error_code ec;
    if (!path_.empty())
        fs::remove_all(path_, ec);
}

void writeSolidPng(const fs::path& file, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    const std::vector<std::uint8_t> png = zel::genModels::solidPng(r, g, b);
    writeText(file, std::string(png.begin(), png.end()));
}

namespace {

// Corners of the two quads, counter-clockwise from the bottom left, and their texture coordinates.
struct corner {
    float x, y, u, v;
};
const corner quadCorners[2][4] = {
    {{-1.1f, -0.5f, 0, 0}, {-0.1f, -0.5f, 1, 0}, {-0.1f, 0.5f, 1, 1}, {-1.1f, 0.5f, 0, 1}},
    {{0.1f, -0.5f, 0, 0}, {1.1f, -0.5f, 1, 0}, {1.1f, 0.5f, 1, 1}, {0.1f, 0.5f, 0, 1}},
};
const char* const quadMaterials[2] = {"red", "blue"};

} // namespace

fs::path writeTwoQuads3ds(const fs::path& folder) {
    std::vector<std::uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(zel::genModels::encode3ds(zel::genModels::makeTwoQuads(), bytes, error)) << error;
    writeText(folder / "quads.3ds", std::string(bytes.begin(), bytes.end()));
    return folder / "quads.3ds";
}

fs::path writeTwoQuadsObj(const fs::path& folder, const std::string& redExtra,
                          const std::string& blueExtra, const std::string& name) {
    std::string obj = "mtllib " + name + ".mtl\n", mtl;
    for (int q = 0; q < 2; ++q)
        for (const corner& c : quadCorners[q])
            obj += "v " + std::to_string(c.x) + " " + std::to_string(c.y) + " 0\nvt " +
                   std::to_string(c.u) + " " + std::to_string(c.v) + "\n";
    for (int q = 0; q < 2; ++q) {
        const std::string n = quadMaterials[q];
        mtl += "newmtl " + n + "\nKd 1 1 1\nmap_Kd " + n + ".png\n" + (q ? blueExtra : redExtra);
        obj += "usemtl " + n + "\nf";
        for (int i = 1; i <= 4; ++i)
            obj += " " + std::to_string(4 * q + i) + "/" + std::to_string(4 * q + i);
        obj += "\n";
    }
    writeText(folder / (name + ".mtl"), mtl);
    writeText(folder / (name + ".obj"), obj);
    return folder / (name + ".obj");
}

fs::path writeTwoQuadsGltf(const fs::path& folder) {
    // One buffer: positions (8 x 3 floats), texture coordinates (8 x 2 floats), then indices (2 x 6
    // unsigned shorts). glTF's v runs down the picture.
    std::string bin;
    auto put = [&](const void* p, std::size_t n) { bin.append(static_cast<const char*>(p), n); };
    for (const auto& quad : quadCorners)
        for (const corner& c : quad) {
            const float p[3] = {c.x, c.y, 0.0f};
            put(p, sizeof p);
        }
    for (const auto& quad : quadCorners)
        for (const corner& c : quad) {
            const float t[2] = {c.u, 1.0f - c.v};
            put(t, sizeof t);
        }
    for (std::uint16_t q = 0; q < 2; ++q)
        for (std::uint16_t i : {0, 1, 2, 0, 2, 3}) {
            const std::uint16_t index = static_cast<std::uint16_t>(4 * q + i);
            put(&index, sizeof index);
        }
    writeText(folder / "quads.bin", bin);
    const std::string gltf = R"({
  "asset": {"version": "2.0"},
  "scene": 0,
  "scenes": [{"nodes": [0]}],
  "nodes": [{"mesh": 0}],
  "meshes": [{"primitives": [
    {"attributes": {"POSITION": 0, "TEXCOORD_0": 1}, "indices": 2, "material": 0},
    {"attributes": {"POSITION": 0, "TEXCOORD_0": 1}, "indices": 3, "material": 1}]}],
  "materials": [
    {"name": "red", "pbrMetallicRoughness": {"baseColorTexture": {"index": 0}, "metallicFactor": 0}},
    {"name": "blue", "pbrMetallicRoughness": {"baseColorTexture": {"index": 1}, "metallicFactor": 0}}],
  "textures": [{"source": 0}, {"source": 1}],
  "images": [{"uri": "red.png"}, {"uri": "blue.png"}],
  "buffers": [{"uri": "quads.bin", "byteLength": 184}],
  "bufferViews": [
    {"buffer": 0, "byteOffset": 0, "byteLength": 96},
    {"buffer": 0, "byteOffset": 96, "byteLength": 64},
    {"buffer": 0, "byteOffset": 160, "byteLength": 24}],
  "accessors": [
    {"bufferView": 0, "componentType": 5126, "count": 8, "type": "VEC3",
     "min": [-1.1, -0.5, 0], "max": [1.1, 0.5, 0]},
    {"bufferView": 1, "componentType": 5126, "count": 8, "type": "VEC2"},
    {"bufferView": 2, "byteOffset": 0, "componentType": 5123, "count": 6, "type": "SCALAR"},
    {"bufferView": 2, "byteOffset": 12, "componentType": 5123, "count": 6, "type": "SCALAR"}]
}
)";
    writeText(folder / "quads.gltf", gltf);
    return folder / "quads.gltf";
}

} // namespace modeltest
