#include "arrival.h"

#include <zel/world/scene_node.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <tuple>
#include <unordered_map>

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

int spotLayout::spotAt(const vec3& position, const matrix4& start, int rings, double near) const {
    // Straight from the geometry: the ring from the distance to the centre, the spot from the
    // angle round it; then the spot must really be that near.
    const int per = std::max(perRing, 1);
    const vec3 at = start.getTranslate();
    const double dx = double(position[0]) - at[0];
    const double dz = double(position[2]) - (double(at[2]) - radius);
    if (!std::isfinite(dx) || !std::isfinite(dz))
        return -1;
    const double ring = std::round((std::hypot(dx, dz) - radius) / ringStep);
    if (ring < 0 || ring >= rings)
        return -1;
    const int r = static_cast<int>(ring);
    const double step = 360.0 / per;
    double turns = std::atan2(dx, dz) * 180.0 / pi / step - (r % 2 ? 0.5 : 0.0);
    const int index = ((static_cast<int>(std::round(turns)) % per) + per) % per;
    const int k = r * per + index;
    const vec3 place = spot(k, start).getTranslate();
    const double ex = double(place[0]) - position[0], ez = double(place[2]) - position[2];
    return ex * ex + ez * ez <= near * near ? k : -1;
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
    // Every spot a site may stand on after others left: a ring more than the sites fill.
    const int rings = static_cast<int>(order.size()) / std::max(layout.perRing, 1) + 2;
    // However many sites a broker lists, the walk looks at the earliest few hundred; a site after
    // them takes a spot beyond all theirs, one of its own by its place in the order.
    constexpr std::size_t walked = 512;
    std::set<int> taken;
    auto firstFree = [&] {
        for (int n = 0;; ++n)
            if (!taken.count(layout.nth(n)))
                return layout.nth(n);
    };
    for (std::size_t i = 0; i < order.size(); ++i) {
        const siteAt* s = order[i];
        if (i >= walked) {
            if (s->site == self)
                return layout.nth(static_cast<int>(i + 2 * walked));
            continue;
        }
        if (s->site == self)
            return current >= 0 && !taken.count(current) ? current : firstFree();
        // A site whose navigator has not arrived holds no spot: a presence record alone (which
        // anyone may write, with any join time) moves nobody. Its navigator follows at once.
        if (!s->navigator)
            continue;
        int k = layout.spotAt(*s->navigator, start, rings);
        if (taken.count(k))
            k = -1;
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

std::vector<siteAt> arrival::present() const {
    std::vector<siteAt> sites;
    std::unordered_map<std::string, std::size_t> bySite;
    for (const share::siteEntry& e : share_.sites()) {
        bySite.emplace(e.site, sites.size());
        sites.push_back({e.site, e.joined, std::nullopt});
    }
    // Where each other site's navigator stands: its mirror hangs under the root.
    if (world::sceneNode* root = world_.getRootNode())
        for (std::int32_t i = 0; i < root->getNumChildren(); ++i) {
            auto* n = dynamic_cast<world::sceneNode*>(root->getChild(i));
            if (!n || !n->share().mirror || !n->share().navigator)
                continue;
            if (const auto it = bySite.find(n->share().owner); it != bySite.end())
                sites[it->second].navigator = n->getMatrix().getTranslate();
        }
    return sites;
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
    place(present());
}

void arrival::place(const std::vector<siteAt>& sites) {
    const int k = chooseSpot(sites, share_.siteId(), layout_, start_, spot_);
    if (k == spot_)
        return;
    spot_ = k;
    placed_ = layout_.spot(k, start_);
    navigator_->setMatrix(placed_);
}

void arrival::settle() {
    update();
    if (!arriving_)
        return;
    // Certain once every site that came earlier shows where it stands; until then this site
    // keeps looking, as it would without the sync.
    if (earlierSitesShown(present(), share_.siteId()))
        arriving_ = false;
}

bool earlierSitesShown(const std::vector<siteAt>& sites, const std::string& self) {
    auto when = [](const siteAt& s) { return std::isfinite(s.joined) ? s.joined : 0.0; };
    const auto me =
        std::find_if(sites.begin(), sites.end(), [&](const siteAt& s) { return s.site == self; });
    if (me == sites.end())
        return false;
    // This site's own navigator is no mirror and never shows here: only earlier ones count.
    for (const siteAt& s : sites)
        if (std::make_tuple(when(s), s.site) < std::make_tuple(when(*me), me->site) && !s.navigator)
            return false;
    return true;
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
