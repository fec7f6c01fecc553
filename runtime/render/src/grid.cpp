#include <zel/render/frame.h>

#include <cmath>

namespace zel::render {

gridMesh makeGrid(float halfExtent, float step) {
    gridMesh g;
    if (!(halfExtent > 0) || !(step > 0) || !std::isfinite(halfExtent) || !std::isfinite(step)) {
        return g;
    }
    // Lines at multiples of the step, so that one passes through the origin.
    const int n = static_cast<int>(std::floor(halfExtent / step + 1e-4f));
    const float e = static_cast<float>(n) * step;
    auto segment = [&g](float x0, float z0, float x1, float z1) {
        const auto base = static_cast<std::uint32_t>(g.positions.size() / 3);
        g.positions.insert(g.positions.end(), {x0, 0.0f, z0, x1, 0.0f, z1});
        g.indices.insert(g.indices.end(), {base, base + 1});
    };
    for (int i = -n; i <= n; ++i) {
        const float t = static_cast<float>(i) * step;
        segment(t, -e, t, e);
        segment(-e, t, e, t);
    }
    return g;
}

} // namespace zel::render
