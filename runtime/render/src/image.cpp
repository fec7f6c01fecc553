#include <zel/render/image.h>

#include <stb_image.h>
#include <stb_image_write.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zel::render {

bool writePng(const image& picture, const std::filesystem::path& file) {
    const std::string name = file.string();
    if (picture.empty() ||
        picture.rgba.size() != static_cast<std::size_t>(picture.width) * picture.height * 4) {
        std::fprintf(stderr, "writePng(): cannot write %s: empty picture\n", name.c_str());
        return false;
    }
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(picture.width) * picture.height * 3);
    for (std::size_t i = 0, n = rgb.size() / 3; i < n; ++i) {
        std::memcpy(&rgb[i * 3], &picture.rgba[i * 4], 3);
    }
    // Encoded in memory and written with checks: stbi_write_png ignores failed writes, so a full
    // disk would pass for a saved picture.
    std::vector<char> png;
    const int encoded = stbi_write_png_to_func(
        [](void* context, void* data, int size) {
            auto* out = static_cast<std::vector<char>*>(context);
            out->insert(out->end(), static_cast<char*>(data), static_cast<char*>(data) + size);
        },
        &png, picture.width, picture.height, 3, rgb.data(), picture.width * 3);
    if (!encoded || png.empty()) {
        std::fprintf(stderr, "writePng(): cannot write %s: encoding failed\n", name.c_str());
        return false;
    }
    std::FILE* out = std::fopen(name.c_str(), "wb");
    if (!out) {
        std::fprintf(stderr, "writePng(): cannot write %s: %s\n", name.c_str(),
                     std::strerror(errno));
        return false;
    }
    const bool written = std::fwrite(png.data(), 1, png.size(), out) == png.size();
    int error = written ? 0 : errno;
    if (std::fclose(out) != 0 && !error) {
        error = errno ? errno : EIO;
    }
    if (!written || error) {
        std::fprintf(stderr, "writePng(): cannot write %s: %s\n", name.c_str(),
                     std::strerror(error ? error : EIO));
        return false;
    }
    return true;
}

image readImage(const std::filesystem::path& file, std::string* reason) {
    image out;
    int channels = 0;
    stbi_uc* pixels = stbi_load(file.string().c_str(), &out.width, &out.height, &channels, 4);
    if (!pixels) {
        if (reason) {
            *reason = stbi_failure_reason() ? stbi_failure_reason() : "unknown error";
        }
        return {};
    }
    out.rgba.assign(pixels, pixels + static_cast<std::size_t>(out.width) * out.height * 4);
    stbi_image_free(pixels);
    return out;
}

} // namespace zel::render
