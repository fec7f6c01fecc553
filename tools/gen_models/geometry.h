// Hand-built triangle meshes for the sample models.
//
// Coordinates are metres, Z up (the 3DS convention). Every solid is closed and wound
// counter-clockwise seen from outside, so face normals point out. Arithmetic is limited to + - * /
// and sqrt, which IEEE 754 rounds the same way everywhere: the same source gives the same floats on
// every machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zel::genModels {

struct vec3 {
    double x = 0.0, y = 0.0, z = 0.0;
};

inline vec3 operator+(vec3 a, vec3 b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline vec3 operator-(vec3 a, vec3 b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline vec3 operator*(vec3 a, double s) {
    return {a.x * s, a.y * s, a.z * s};
}
inline vec3 operator*(double s, vec3 a) {
    return a * s;
}
inline double dot(vec3 a, vec3 b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
inline vec3 cross(vec3 a, vec3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
vec3 normalized(vec3 v);

// cos and sin of the angle 360 * (index + half / 2) / count degrees. Only multiples of 22.5 and 30
// degrees are supported (they have exact square-root forms); any other angle aborts.
struct circlePoint {
    double c = 1.0, s = 0.0;
};
circlePoint onCircle(int index, int count, bool half = false);

struct face {
    std::uint16_t a = 0, b = 0, c = 0;
    // 3DS edge-visibility bits: 4 = a-b, 2 = b-c, 1 = c-a. A quad's diagonal is hidden.
    std::uint16_t edges = 7;
    std::uint32_t smoothing = 0; // smoothing-group bits; 0 = flat
    std::size_t material = 0;    // index into the model's materials
};

// One 3DS object: its vertices in model coordinates and its own origin, about which it turns and
// scales (the origin becomes the object's local frame and its node's position).
struct meshObject {
    std::string name;
    vec3 origin;
    std::vector<vec3> vertices;
    std::vector<face> faces;
    // Texture coordinates (u, v) per vertex, or none.
    std::vector<std::pair<float, float>> uvs;
};

// Each of these adds vertices and faces to obj. Polygons are convex and planar.
void addTriangle(meshObject& obj, std::size_t material, vec3 p0, vec3 p1, vec3 p2);
// A planar quad p0 p1 p2 p3, counter-clockwise seen from the side it faces.
void addQuad(meshObject& obj, std::size_t material, vec3 p0, vec3 p1, vec3 p2, vec3 p3,
             std::uint32_t smoothing = 0);
// The axis-aligned box between lo and hi.
void addBox(meshObject& obj, std::size_t material, vec3 lo, vec3 hi);
// The solid swept by the convex polygon base along extrude; the winding of base does not matter.
void addPrism(meshObject& obj, std::size_t material, const std::vector<vec3>& base, vec3 extrude,
              std::uint32_t sideSmoothing = 0);
// A frustum of a regular count-gon around the axis from baseCentre to baseCentre + axis, radius r0
// at the base and r1 at the top (r1 = 0 makes a pyramid or cone). Corner k lies at angle (k +
// half/2) * 360 / count from dir0, turning right-handed about the axis; dir0 is perpendicular to
// axis.
struct frustumSpec {
    vec3 baseCentre;
    vec3 axis;
    vec3 dir0;
    double r0 = 0.0, r1 = 0.0;
    int count = 8;
    bool half = false;
    std::uint32_t sideSmoothing = 0;
};
void addFrustum(meshObject& obj, std::size_t material, const frustumSpec& spec);

} // namespace zel::genModels
