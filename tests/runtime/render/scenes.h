// Small scenes and pixel measures shared by the renderer's tests.
#pragma once

#include <zel/render/frame.h>
#include <zel/render/image.h>

#include <imgui.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace rendertest {

struct mesh {
    std::vector<float> positions;
    std::vector<float> normals;
    std::vector<float> uvs;
    std::vector<std::uint32_t> indices;
};

// A cube of edge `size` around the origin, 8 shared corners, no normals (the renderer computes
// them).
inline std::shared_ptr<mesh> cube(float size = 1.0f) {
    auto m = std::make_shared<mesh>();
    const float h = size / 2;
    m->positions = {-h, -h, -h, h, -h, -h, h, h, -h, -h, h, -h,
                    -h, -h, h,  h, -h, h,  h, h, h,  -h, h, h};
    m->indices = {0, 2, 1, 0, 3, 2, 4, 5, 6, 4, 6, 7, 0, 1, 5, 0, 5, 4,
                  3, 6, 2, 3, 7, 6, 0, 4, 7, 0, 7, 3, 1, 2, 6, 1, 6, 5};
    return m;
}

// A square of edge `size` in the XY plane facing +Z, with uv (0,0) at its bottom-left corner.
inline std::shared_ptr<mesh> quad(float size = 1.0f) {
    auto m = std::make_shared<mesh>();
    const float h = size / 2;
    m->positions = {-h, -h, 0, h, -h, 0, h, h, 0, -h, h, 0};
    m->normals = {0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1};
    m->uvs = {0, 0, 1, 0, 1, 1, 0, 1};
    m->indices = {0, 1, 2, 0, 2, 3};
    return m;
}

inline zel::render::matrix translation(float x, float y, float z) {
    zel::render::matrix m = zel::render::identityMatrix;
    m[12] = x;
    m[13] = y;
    m[14] = z;
    return m;
}

// A turn by `degrees` about +Y, row-vector form, then a translation.
inline zel::render::matrix turnY(float degrees, float x = 0, float y = 0, float z = 0) {
    const float r = degrees * 3.14159265f / 180.0f;
    const float c = std::cos(r), s = std::sin(r);
    return {c, 0, -s, 0, 0, 1, 0, 0, s, 0, c, 0, x, y, z, 1};
}

inline zel::render::drawItem item(const std::shared_ptr<mesh>& m, const zel::render::matrix& world,
                                  std::array<float, 4> diffuse) {
    zel::render::drawItem d;
    d.key = m;
    d.positions = m->positions.data();
    d.normals = m->normals.empty() ? nullptr : m->normals.data();
    d.uvs = m->uvs.empty() ? nullptr : m->uvs.data();
    d.vertexCount = static_cast<std::uint32_t>(m->positions.size() / 3);
    d.indices = m->indices.data();
    d.indexCount = static_cast<std::uint32_t>(m->indices.size());
    d.world = world;
    d.diffuse = diffuse;
    return d;
}

// Where the view puts a widget window: its top-left corner (the first window), and the height of
// its title bar and its padding, from the UI's font and style (valid once a view exists).
constexpr int windowLeft = 12;
constexpr int windowTop = 12;
inline int titleBarHeight() {
    return static_cast<int>(ImGui::GetIO().Fonts->ConfigData[0].SizePixels +
                            2 * ImGui::GetStyle().FramePadding.y);
}
inline int windowPadding() {
    return static_cast<int>(ImGui::GetStyle().WindowPadding.x);
}
// The window-pixel position of content point (x, y) of the first window.
inline int contentX(int x) {
    return windowLeft + windowPadding() + x;
}
inline int contentY(int y) {
    return windowTop + titleBarHeight() + windowPadding() + y;
}

inline bool near(const std::uint8_t* px, int r, int g, int b, int tolerance) {
    return std::abs(px[0] - r) <= tolerance && std::abs(px[1] - g) <= tolerance &&
           std::abs(px[2] - b) <= tolerance;
}

inline bool reddish(const std::uint8_t* px) {
    return px[0] > 120 && px[1] < 60 && px[2] < 60;
}

// Mean x of the pixels that pass `test`, or -1 when none does.
template <class F> double centroidX(const zel::render::image& im, F test, int* count = nullptr) {
    double sum = 0;
    int n = 0;
    for (int y = 0; y < im.height; ++y) {
        for (int x = 0; x < im.width; ++x) {
            if (test(im.pixel(x, y))) {
                sum += x;
                ++n;
            }
        }
    }
    if (count) {
        *count = n;
    }
    return n ? sum / n : -1;
}

// Pixels inside [x0, x1) x [y0, y1) that pass `test`.
template <class F>
int countIn(const zel::render::image& im, int x0, int y0, int x1, int y1, F test) {
    int n = 0;
    for (int y = std::max(y0, 0); y < std::min(y1, im.height); ++y) {
        for (int x = std::max(x0, 0); x < std::min(x1, im.width); ++x) {
            n += test(im.pixel(x, y)) ? 1 : 0;
        }
    }
    return n;
}

} // namespace rendertest
