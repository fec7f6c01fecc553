// Small model files written for the drawing tests, in the formats the helper reads.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace modeltest {

// A fresh folder (mkdtemp, mode 0700) under the system's temporary folder, removed with the object.
class tempFolder {
public:
    tempFolder();
    ~tempFolder();
    tempFolder(const tempFolder&) = delete;
    tempFolder& operator=(const tempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

void writeText(const std::filesystem::path& file, const std::string& text);

// A 4 x 4 PNG of one colour.
void writeSolidPng(const std::filesystem::path& file, std::uint8_t r, std::uint8_t g,
                   std::uint8_t b);

// Two quads, a metre square each, side by side in the XY plane facing +Z: the left one
// (x from -1.1 to -0.1) with a material named "red" whose picture is red.png, the right one (x from
// 0.1 to 1.1) with "blue" and blue.png. Each returns the file it wrote into folder.
std::filesystem::path writeTwoQuads3ds(const std::filesystem::path& folder);
// The OBJ's materials take the extra lines of its library (name.mtl beside name.obj).
std::filesystem::path writeTwoQuadsObj(const std::filesystem::path& folder,
                                       const std::string& redExtra = "",
                                       const std::string& blueExtra = "",
                                       const std::string& name = "quads");
std::filesystem::path writeTwoQuadsGltf(const std::filesystem::path& folder);

// A PNG of w x h pixels, 8-bit RGBA, rows from the top.
std::vector<std::uint8_t> pngOf(int w, int h, const std::vector<std::uint8_t>& rgba);

// One mesh in a glTF binary, with its picture stored in the file. uvs: v = 0 at the bottom of the
// picture, as in the other formats (the writer turns them into glTF's). normals may be empty.
// material: the JSON of material 0, whose picture is texture 0. matrix: the node's, column-major.
struct glbModel {
    std::vector<float> positions, normals, uvs;
    std::vector<std::uint16_t> indices;
    std::string material;
    std::vector<std::uint8_t> png;
    std::array<float, 16> matrix{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
};
std::filesystem::path writeGlb(const std::filesystem::path& folder, const std::string& name,
                               const glbModel& m);

} // namespace modeltest
