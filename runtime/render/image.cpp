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
    errno = 0;
    if (!stbi_write_png(name.c_str(), picture.width, picture.height, 3, rgb.data(),
                        picture.width * 3)) {
        std::fprintf(stderr, "writePng(): cannot write %s: %s\n", name.c_str(),
                     errno ? std::strerror(errno) : "encoding failed");
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
