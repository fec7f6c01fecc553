#include "geometry.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace zel::genModels {

namespace {

[[noreturn]] void badModel(const char* what) {
    std::fprintf(stderr, "gen_models: %s\n", what);
    std::abort();
}

std::uint16_t addVertex(meshObject& obj, vec3 p) {
    if (obj.vertices.size() >= 0xFFFF) {
        badModel("more than 65535 vertices in one object");
    }
    obj.vertices.push_back(p);
    return static_cast<std::uint16_t>(obj.vertices.size() - 1);
}

void addFace(meshObject& obj, std::size_t material, std::uint16_t a, std::uint16_t b,
             std::uint16_t c, std::uint16_t edges, std::uint32_t smoothing) {
    obj.faces.push_back(face{a, b, c, edges, smoothing, material});
}

void addQuadIndices(meshObject& obj, std::size_t material, std::uint16_t i0, std::uint16_t i1,
                    std::uint16_t i2, std::uint16_t i3, std::uint32_t smoothing) {
    addFace(obj, material, i0, i1, i2, 6, smoothing);
    addFace(obj, material, i0, i2, i3, 3, smoothing);
}

// A fan over the convex polygon idx, seen counter-clockwise from the side it faces; only the
// polygon's own edges are visible.
void addFan(meshObject& obj, std::size_t material, const std::vector<std::uint16_t>& idx) {
    const std::size_t n = idx.size();
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const std::uint16_t edges =
            static_cast<std::uint16_t>((i == 1 ? 4 : 0) | 2 | (i + 2 == n ? 1 : 0));
        addFace(obj, material, idx[0], idx[i], idx[i + 1], edges, 0);
    }
}

// Newell's normal: robust for any planar polygon, its length twice the area.
vec3 polygonNormal(const std::vector<vec3>& poly) {
    vec3 n;
    for (std::size_t i = 0; i < poly.size(); ++i) {
        const vec3& a = poly[i];
        const vec3& b = poly[(i + 1) % poly.size()];
        n.x += (a.y - b.y) * (a.z + b.z);
        n.y += (a.z - b.z) * (a.x + b.x);
        n.z += (a.x - b.x) * (a.y + b.y);
    }
    return n;
}

} // namespace

vec3 normalized(vec3 v) {
    const double len = std::sqrt(dot(v, v));
    if (len == 0.0) {
        badModel("normalizing a zero vector");
    }
    return v * (1.0 / len);
}

circlePoint onCircle(int index, int count, bool half) {
    if (count <= 0) {
        badModel("circle with no corners");
    }
    // The angle in half degrees: 360 * (2 * index + half) / (2 * count) degrees.
    const long long num = 360LL * (2LL * index + (half ? 1 : 0));
    if (num % count != 0) {
        badModel("circle angle is not a whole number of half degrees");
    }
    long long a = (num / count) % 720;
    if (a < 0) {
        a += 720;
    }
    const double r2 = std::sqrt(2.0);
    const double c225 = std::sqrt(2.0 + r2) * 0.5;
    const double s225 = std::sqrt(2.0 - r2) * 0.5;
    const double h3 = std::sqrt(3.0) * 0.5;
    const double h2 = std::sqrt(0.5);
    circlePoint p;
    switch (a % 180) {
    case 0:
        p = {1.0, 0.0};
        break;
    case 45:
        p = {c225, s225};
        break;
    case 60:
        p = {h3, 0.5};
        break;
    case 90:
        p = {h2, h2};
        break;
    case 120:
        p = {0.5, h3};
        break;
    case 135:
        p = {s225, c225};
        break;
    default:
        badModel("circle angle has no exact form");
    }
    switch (a / 180) {
    case 1:
        return {-p.s, p.c};
    case 2:
        return {-p.c, -p.s};
    case 3:
        return {p.s, -p.c};
    default:
        return p;
    }
}

void addTriangle(meshObject& obj, std::size_t material, vec3 p0, vec3 p1, vec3 p2) {
    const std::uint16_t a = addVertex(obj, p0);
    const std::uint16_t b = addVertex(obj, p1);
    const std::uint16_t c = addVertex(obj, p2);
    addFace(obj, material, a, b, c, 7, 0);
}

void addQuad(meshObject& obj, std::size_t material, vec3 p0, vec3 p1, vec3 p2, vec3 p3,
             std::uint32_t smoothing) {
    const std::uint16_t a = addVertex(obj, p0);
    const std::uint16_t b = addVertex(obj, p1);
    const std::uint16_t c = addVertex(obj, p2);
    const std::uint16_t d = addVertex(obj, p3);
    addQuadIndices(obj, material, a, b, c, d, smoothing);
}

void addBox(meshObject& obj, std::size_t material, vec3 lo, vec3 hi) {
    if (!(lo.x < hi.x && lo.y < hi.y && lo.z < hi.z)) {
        badModel("empty box");
    }
    addPrism(obj, material,
             {{lo.x, lo.y, lo.z}, {hi.x, lo.y, lo.z}, {hi.x, hi.y, lo.z}, {lo.x, hi.y, lo.z}},
             {0.0, 0.0, hi.z - lo.z});
}

void addPrism(meshObject& obj, std::size_t material, const std::vector<vec3>& base, vec3 extrude,
              std::uint32_t sideSmoothing) {
    if (base.size() < 3) {
        badModel("prism base with fewer than three corners");
    }
    const double side = dot(polygonNormal(base), extrude);
    if (side == 0.0) {
        badModel("prism swept within its own plane");
    }
    // From here on the base runs counter-clockwise seen from the extrude side.
    std::vector<vec3> poly = base;
    if (side < 0.0) {
        poly.assign(base.rbegin(), base.rend());
    }
    const std::size_t n = poly.size();
    std::vector<std::uint16_t> bottom, top;
    for (const vec3& p : poly) {
        bottom.push_back(addVertex(obj, p));
    }
    for (const vec3& p : poly) {
        top.push_back(addVertex(obj, p + extrude));
    }
    addFan(obj, material, top);
    addFan(obj, material, std::vector<std::uint16_t>(bottom.rbegin(), bottom.rend()));
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t j = (i + 1) % n;
        addQuadIndices(obj, material, bottom[i], bottom[j], top[j], top[i], sideSmoothing);
    }
}

void addFrustum(meshObject& obj, std::size_t material, const frustumSpec& spec) {
    if (spec.count < 3 || spec.r0 <= 0.0 || spec.r1 < 0.0) {
        badModel("bad frustum");
    }
    const vec3 up = normalized(spec.axis);
    const vec3 d0 = normalized(spec.dir0);
    if (std::fabs(dot(up, d0)) > 1e-12) {
        badModel("frustum's first direction is not perpendicular to its axis");
    }
    const vec3 d1 = cross(up, d0);
    const vec3 topCentre = spec.baseCentre + spec.axis;
    std::vector<std::uint16_t> bottom, top;
    for (int k = 0; k < spec.count; ++k) {
        const circlePoint cp = onCircle(k, spec.count, spec.half);
        const vec3 dir = d0 * cp.c + d1 * cp.s;
        bottom.push_back(addVertex(obj, spec.baseCentre + dir * spec.r0));
        if (spec.r1 > 0.0) {
            top.push_back(addVertex(obj, topCentre + dir * spec.r1));
        }
    }
    addFan(obj, material, std::vector<std::uint16_t>(bottom.rbegin(), bottom.rend()));
    const std::size_t n = bottom.size();
    if (spec.r1 > 0.0) {
        addFan(obj, material, top);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t j = (i + 1) % n;
            addQuadIndices(obj, material, bottom[i], bottom[j], top[j], top[i], spec.sideSmoothing);
        }
    } else {
        const std::uint16_t apex = addVertex(obj, topCentre);
        for (std::size_t i = 0; i < n; ++i) {
            addFace(obj, material, bottom[i], bottom[(i + 1) % n], apex, 7, spec.sideSmoothing);
        }
    }
}

} // namespace zel::genModels
