#include "arrival.h"

#include <zel/world/scene_node.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <tuple>

namespace zel::host {

namespace {

constexpr double pi = 3.14159265358979323846;
// How long a site keeps looking for a better spot after it joined.
constexpr auto arrivalPeriod = std::chrono::seconds(10);

} // namespace

matrix4 spotLayout::spot(int k, const matrix4& start) const {
    if (k <= 0)
        return start;
    const int ring = k / perRing;
    const int index = k % perRing;
    const double r = radius + ringStep * ring;
    const double degrees = 360.0 / perRing * (index + (ring % 2 ? 0.5 : 0.0));
    const double a = degrees * pi / 180.0;
    const vec3 at = start.getTranslate();
    // The centre lies `radius` ahead of the start (along -z); spot 0 of ring 0 is the start.
    const double cx = at[0], cz = at[2] - radius;
    matrix4 m;
    m.setEuler(vec3(0.0f, float(degrees), 0.0f)); // replaces the whole matrix: the place after
    m.data()[12] = float(cx + r * std::sin(a));
    m.data()[13] = at[1];
    m.data()[14] = float(cz + r * std::cos(a));
    return m;
}

int spotLayout::nth(int n) const {
    const int per = std::max(perRing, 1);
    const int ring = n / per, i = n % per;
    const int index = i < static_cast<int>(preference.size()) ? preference[std::size_t(i)] : i;
    return ring * per + index;
}

int spotLayout::spotAt(const vec3& position, const matrix4& start, int count, double near) const {
    for (int n = 0; n < count; ++n) {
        const int k = nth(n);
        const vec3 at = spot(k, start).getTranslate();
        const double dx = double(at[0]) - position[0], dz = double(at[2]) - position[2];
        if (dx * dx + dz * dz <= near * near)
            return k;
    }
    return -1;
}

int chooseSpot(const std::vector<siteAt>& sites, const std::string& self, const spotLayout& layout,
               const matrix4& start, int current) {
    std::vector<const siteAt*> order;
    for (const siteAt& s : sites)
        order.push_back(&s);
    auto when = [](const siteAt* s) { return std::isfinite(s->joined) ? s->joined : 0.0; };
    std::sort(order.begin(), order.end(), [&](const siteAt* a, const siteAt* b) {
        return std::make_tuple(when(a), a->site) < std::make_tuple(when(b), b->site);
    });
    // Every spot a site may stand on after others left: a ring more than there are sites.
    const int count = static_cast<int>(order.size()) + std::max(layout.perRing, 1);
    std::set<int> taken;
    auto firstFree = [&] {
        for (int n = 0;; ++n)
            if (!taken.count(layout.nth(n)))
                return layout.nth(n);
    };
    for (const siteAt* s : order) {
        if (s->site == self)
            return current >= 0 && !taken.count(current) ? current : firstFree();
        int k = -1;
        if (s->navigator) {
            k = layout.spotAt(*s->navigator, start, count);
            if (taken.count(k))
                k = -1;
        }
        taken.insert(k >= 0 ? k : firstFree());
    }
    return firstFree();
}

arrival::arrival(world::world& w, share::sharedScene& s, spotLayout layout)
    : world_(w), share_(s), layout_(std::move(layout)),
      navigator_(dynamic_cast<world::sceneNode*>(w.getNavigatorNode())),
      began_(std::chrono::steady_clock::now()) {
    if (navigator_)
        start_ = placed_ = navigator_->getMatrix();
}

void arrival::update() {
    if (!arriving_ || !navigator_)
        return;
    // Walked, or long enough: this site has arrived.
    if (!(navigator_->getMatrix() == placed_) ||
        std::chrono::steady_clock::now() - began_ > arrivalPeriod) {
        arriving_ = false;
        return;
    }
    std::vector<siteAt> sites;
    for (const share::siteEntry& e : share_.sites())
        sites.push_back({e.site, e.joined, std::nullopt});
    // Where each other site's navigator stands: its mirror hangs under the root.
    if (world::sceneNode* root = world_.getRootNode())
        for (std::int32_t i = 0; i < root->getNumChildren(); ++i) {
            auto* n = dynamic_cast<world::sceneNode*>(root->getChild(i));
            if (!n || !n->share().mirror || !n->share().navigator)
                continue;
            for (siteAt& s : sites)
                if (s.site == n->share().owner)
                    s.navigator = n->getMatrix().getTranslate();
        }
    const int k = chooseSpot(sites, share_.siteId(), layout_, start_, spot_);
    if (k == spot_)
        return;
    spot_ = k;
    placed_ = layout_.spot(k, start_);
    navigator_->setMatrix(placed_);
}

bool arrival::returnHome() {
    if (!navigator_)
        return false;
    const matrix4 home = layout_.spot(spot_, start_);
    if (!(navigator_->getMatrix() == home))
        navigator_->setMatrix(home);
    if (arriving_)
        placed_ = home;
    return true;
}

} // namespace zel::host
