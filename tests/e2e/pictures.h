// Reading zelhost's pictures back: where two renders differ, how much, and where the built-in
// camera puts a point of the world.
#pragma once

#include <zel/render/image.h>

#include <filesystem>
#include <string>

namespace e2e {

using zel::render::image;

struct area {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0; // [x0, x1) x [y0, y1)
};

// The pixels where two pictures differ: count, centre of mass, bounding box.
struct changed {
    long count = 0;
    double cx = 0, cy = 0;
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0; // inclusive
};

// Pixels inside `where` whose largest channel difference exceeds `threshold`. The pictures must
// have the same size.
changed difference(const image& a, const image& b, const area& where, int threshold);

// The share (0..1) of all pixels whose largest channel difference exceeds `threshold`.
double differingShare(const image& a, const image& b, int threshold);

// Where the viewer's camera at the built-in "head" (eye at (0, 1.6, 0), looking along -z, 60
// degrees vertical field of view) shows the world point (x, y, z) in a width x height picture.
struct pixel {
    double x = 0, y = 0;
};
pixel project(double x, double y, double z, int width, int height);

// A one-line description for failure messages.
std::string describe(const changed& c);

} // namespace e2e
