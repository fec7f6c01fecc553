#include "readback.h"

#include "gl.h"

#include <algorithm>

namespace zel::render::detail {

image readFramebuffer(int width, int height) {
    image out;
    if (width <= 0 || height <= 0) {
        return out;
    }
    out.width = width;
    out.height = height;
    const std::size_t row = static_cast<std::size_t>(width) * 4;
    std::vector<std::uint8_t> raw(row * static_cast<std::size_t>(height));
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, raw.data());
    out.rgba.resize(raw.size());
    for (int y = 0; y < height; ++y) {
        std::copy_n(raw.data() + static_cast<std::size_t>(height - 1 - y) * row, row,
                    out.rgba.data() + static_cast<std::size_t>(y) * row);
    }
    return out;
}

} // namespace zel::render::detail
