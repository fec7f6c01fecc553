// Small model files written for the drawing tests, in the formats the helper reads.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

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

} // namespace modeltest
