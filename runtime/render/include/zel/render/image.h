// An RGBA8 picture, top row first, and its PNG form.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zel::render {

struct image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba; // width * height * 4, top row first

    bool empty() const { return width <= 0 || height <= 0; }
    const std::uint8_t* pixel(int x, int y) const {
        return rgba.data() + (static_cast<std::size_t>(y) * width + x) * 4;
    }
};

// Writes the picture as an RGB PNG (alpha dropped: a snapshot is opaque). False on failure, with
// `writePng(): cannot write FILE: REASON` on stderr.
bool writePng(const image& picture, const std::filesystem::path& file);
// Reads any image file stb_image knows as RGBA. Empty on failure, the reason in *reason when given.
image readImage(const std::filesystem::path& file, std::string* reason = nullptr);

} // namespace zel::render
