#include "pictures.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>

namespace e2e {

namespace {

int largestChannelDifference(const std::uint8_t* p, const std::uint8_t* q) {
    int d = 0;
    for (int c = 0; c < 3; ++c)
        d = std::max(d, std::abs(int(p[c]) - int(q[c])));
    return d;
}

} // namespace

changed difference(const image& a, const image& b, const area& where, int threshold) {
    changed r;
    if (a.width != b.width || a.height != b.height)
        return r;
    r.x0 = a.width;
    r.y0 = a.height;
    r.x1 = r.y1 = -1;
    double sx = 0, sy = 0;
    for (int y = std::max(0, where.y0); y < std::min(a.height, where.y1); ++y)
        for (int x = std::max(0, where.x0); x < std::min(a.width, where.x1); ++x)
            if (largestChannelDifference(a.pixel(x, y), b.pixel(x, y)) > threshold) {
                ++r.count;
                sx += x;
                sy += y;
                r.x0 = std::min(r.x0, x);
                r.y0 = std::min(r.y0, y);
                r.x1 = std::max(r.x1, x);
                r.y1 = std::max(r.y1, y);
            }
    if (r.count > 0) {
        r.cx = sx / double(r.count);
        r.cy = sy / double(r.count);
    }
    return r;
}

double differingShare(const image& a, const image& b, int threshold) {
    if (a.width != b.width || a.height != b.height || a.empty())
        return 1.0;
    const changed all = difference(a, b, {0, 0, a.width, a.height}, threshold);
    return double(all.count) / (double(a.width) * double(a.height));
}

pixel project(double x, double y, double z, int width, int height) {
    const double eyeY = 1.6;
    const double t = std::tan(30.0 * std::numbers::pi / 180.0);
    const double aspect = double(width) / double(height);
    const double depth = -z;
    const double ndcX = x / depth / (t * aspect);
    const double ndcY = (y - eyeY) / depth / t;
    return {(ndcX + 1.0) * 0.5 * width, (1.0 - ndcY) * 0.5 * height};
}

std::string describe(const changed& c) {
    return std::to_string(c.count) + " pixels, centre (" + std::to_string(int(c.cx)) + ", " +
           std::to_string(int(c.cy)) + "), box (" + std::to_string(c.x0) + ", " +
           std::to_string(c.y0) + ") - (" + std::to_string(c.x1) + ", " + std::to_string(c.y1) +
           ")";
}

} // namespace e2e
