#include "model_files.h"

#include <test_models.h>

#include <gtest/gtest.h>

#include <stb_image_write.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
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

std::vector<std::uint8_t> pngOf(int w, int h, const std::vector<std::uint8_t>& rgba) {
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(stbi_write_png_to_func(
        [](void* to, void* data, int n) {
            auto* bytes = static_cast<const std::uint8_t*>(data);
            static_cast<std::vector<std::uint8_t>*>(to)->insert(
                static_cast<std::vector<std::uint8_t>*>(to)->end(), bytes, bytes + n);
        },
        &out, w, h, 4, rgba.data(), w * 4));
    return out;
}

fs::path writeGlb(const fs::path& folder, const std::string& name, const glbModel& m) {
    // The binary chunk: positions, normals, texture coordinates, indices, then the picture, each
    // view starting on four bytes.
    std::string bin, views, accessors;
    int view = 0;
    auto add = [&](const void* p, std::size_t n) {
        bin.resize((bin.size() + 3) / 4 * 4, '\0');
        views += std::string(view ? "," : "") + R"({"buffer": 0, "byteOffset": )" +
                 std::to_string(bin.size()) + R"(, "byteLength": )" + std::to_string(n) + "}";
        bin.append(static_cast<const char*>(p), n);
        return view++;
    };
    auto accessor = [&](int v, int type, std::size_t count, const char* shape,
                        const std::string& extra = "") {
        accessors += std::string(accessors.empty() ? "" : ",") + R"({"bufferView": )" +
                     std::to_string(v) + R"(, "componentType": )" + std::to_string(type) +
                     R"(, "count": )" + std::to_string(count) + R"(, "type": ")" + shape + "\"" +
                     extra + "}";
    };
    const std::size_t vertices = m.positions.size() / 3;
    float low[3] = {1e30f, 1e30f, 1e30f}, high[3] = {-1e30f, -1e30f, -1e30f};
    for (std::size_t i = 0; i < m.positions.size(); ++i) {
        low[i % 3] = std::min(low[i % 3], m.positions[i]);
        high[i % 3] = std::max(high[i % 3], m.positions[i]);
    }
    auto triple = [](const float* f) {
        return "[" + std::to_string(f[0]) + ", " + std::to_string(f[1]) + ", " +
               std::to_string(f[2]) + "]";
    };
    std::string attributes = R"("POSITION": 0)";
    accessor(add(m.positions.data(), m.positions.size() * 4), 5126, vertices, "VEC3",
             R"(, "min": )" + triple(low) + R"(, "max": )" + triple(high));
    int next = 1;
    if (!m.normals.empty()) {
        accessor(add(m.normals.data(), m.normals.size() * 4), 5126, vertices, "VEC3");
        attributes += R"(, "NORMAL": )" + std::to_string(next++);
    }
    std::vector<float> uvs = m.uvs;
    for (std::size_t i = 1; i < uvs.size(); i += 2)
        uvs[i] = 1.0f - uvs[i];
    accessor(add(uvs.data(), uvs.size() * 4), 5126, vertices, "VEC2");
    attributes += R"(, "TEXCOORD_0": )" + std::to_string(next++);
    accessor(add(m.indices.data(), m.indices.size() * 2), 5123, m.indices.size(), "SCALAR");
    const int indices = next++;
    const int picture = add(m.png.data(), m.png.size());
    bin.resize((bin.size() + 3) / 4 * 4, '\0');

    std::string matrix;
    for (float f : m.matrix)
        matrix += (matrix.empty() ? "" : ", ") + std::to_string(f);
    std::string json = R"({"asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": [0]}],
 "nodes": [{"mesh": 0, "matrix": [)" +
                       matrix + R"(]}],
 "meshes": [{"primitives": [{"attributes": {)" +
                       attributes + R"(}, "indices": )" + std::to_string(indices) +
                       R"(, "material": 0}]}],
 "materials": [)" + m.material +
                       R"(],
 "textures": [{"source": 0}],
 "images": [{"bufferView": )" +
                       std::to_string(picture) +
                       R"(, "mimeType": "image/png"}],
 "buffers": [{"byteLength": )" +
                       std::to_string(bin.size()) + R"(}],
 "bufferViews": [)" + views +
                       R"(],
 "accessors": [)" + accessors +
                       "]}";
    json.resize((json.size() + 3) / 4 * 4, ' ');

    std::string glb;
    auto put32 = [&](std::size_t v) {
        const auto u = static_cast<std::uint32_t>(v);
        glb.append(reinterpret_cast<const char*>(&u), 4);
    };
    glb += "glTF";
    put32(2);
    put32(12 + 8 + json.size() + 8 + bin.size());
    put32(json.size());
    glb += "JSON";
    glb += json;
    put32(bin.size());
    glb.append("BIN\0", 4);
    glb += bin;
    writeText(folder / (name + ".glb"), glb);
    return folder / (name + ".glb");
}

} // namespace modeltest
