#include "sites.h"

#include <cmath>
#include <cstdint>

namespace zel::host {

std::array<float, 4> userColour(std::string_view user) {
    // FNV-1a over the bytes, then a final mix so that names that differ in one letter land far
    // apart on the colour wheel.
    std::uint32_t h = 2166136261u;
    for (char c : user) {
        h ^= static_cast<unsigned char>(c);
        h *= 16777619u;
    }
    h ^= h >> 15;
    h *= 0x2c1b3c6dU;
    h ^= h >> 12;
    const double hue = double(h % 3600u) / 10.0; // degrees
    const double s = 0.65, v = 0.95;
    const double c = v * s;
    const double x = c * (1.0 - std::fabs(std::fmod(hue / 60.0, 2.0) - 1.0));
    const double m = v - c;
    double r = 0, g = 0, b = 0;
    switch (static_cast<int>(hue / 60.0)) {
    case 0:
        r = c, g = x;
        break;
    case 1:
        r = x, g = c;
        break;
    case 2:
        g = c, b = x;
        break;
    case 3:
        g = x, b = c;
        break;
    case 4:
        r = x, b = c;
        break;
    default:
        r = c, b = x;
        break;
    }
    return {float(r + m), float(g + m), float(b + m), 1.0f};
}

std::array<float, 4> textColour(std::string_view user) {
    std::array<float, 4> c = userColour(user);
    for (int i = 0; i < 3; ++i)
        c[std::size_t(i)] += (1.0f - c[std::size_t(i)]) * 0.45f;
    return c;
}

std::string windowTitle(const share::sharedScene* s) {
    if (!s)
        return "propplacer";
    std::string user;
    const std::vector<share::siteEntry> here = s->sites();
    for (const share::siteEntry& e : here)
        if (e.self)
            user = e.user;
    return "propplacer - " + user + " in " + s->sceneName() + ", " + std::to_string(here.size()) +
           (here.size() == 1 ? " site" : " sites");
}

std::vector<render::presentSite> presentSites(const share::sharedScene& s) {
    std::vector<render::presentSite> out;
    for (const share::siteEntry& e : s.sites())
        out.push_back({e.user, userColour(e.user), e.self});
    return out;
}

} // namespace zel::host
