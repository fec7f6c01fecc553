// Where each site of a shared scene arrives: spots on circles round the meeting place, each
// facing its centre, so that people who join see each other and the models stand apart.
//
// No site coordinates the others. Every site orders the sites present by (time joined, site id),
// the same order everywhere, and walks it: a site earlier than this one holds the spot its
// navigator stands on, or else the first spot free for it (a site whose navigator has not arrived
// holds none); this site keeps its spot when no earlier
// site holds it, and otherwise takes the first spot still free. A site keeps looking while it
// arrives (until its navigator is moved otherwise, or for a few seconds), so two that join at once
// converge: the earlier one never moves for the later one, and the later one moves off a spot the
// earlier one turns out to hold. A site alone takes spot 0: where the world puts every navigator,
// so nothing changes for it.
#pragma once

#include <zel/math.h>
#include <zel/share/shared_scene.h>
#include <zel/world/world.h>

#include <chrono>
#include <optional>
#include <vector>

namespace zel::world {
class sceneNode;
}

namespace zel::host {

// The spots. Spot 0 is `start` itself (the navigator's place at start, looking along -z); the
// meeting place's centre lies `radius` ahead of it. A ring holds `perRing` spots; each further
// ring is `ringStep` wider and turned by half a spot.
struct spotLayout {
    double radius = 3.0;
    int perRing = 8;
    double ringStep = 1.5;
    // The order in which a ring's spots are handed out: those across the circle first, so that
    // the first few sites see each other from where they arrive.
    std::vector<int> preference{0, 3, 5, 4, 2, 6, 1, 7};

    // The navigator's matrix at spot k (k >= 0): upright, at start's height, facing the centre.
    matrix4 spot(int k, const matrix4& start) const;
    // The spot of the first `rings` rings whose place is within `near` metres of position
    // (horizontally), or -1.
    int spotAt(const vec3& position, const matrix4& start, int rings, double near = 0.5) const;
    // Spot numbers in the order they are handed out: ring after ring, each in preference order.
    int nth(int n) const;
};

// One site's view of the others, for choosing: its id, when it joined, and where its navigator
// stands (none before its record arrived).
struct siteAt {
    std::string site;
    double joined = 0.0;
    std::optional<vec3> navigator;
};

// The spot `self` takes among `sites` (self included), by the rule above: `current` (-1: none)
// when no earlier site holds it, else the first spot free.
int chooseSpot(const std::vector<siteAt>& sites, const std::string& self, const spotLayout& layout,
               const matrix4& start, int current = -1);

// True when every site that joined before `self` (by time joined, then site id) shows where its
// navigator stands: then `self` can choose for good. False when self is not among the sites.
bool earlierSitesShown(const std::vector<siteAt>& sites, const std::string& self);

class arrival {
public:
    // The world's navigator, as it stands now, is the start.
    arrival(world::world& w, share::sharedScene& s, spotLayout layout = {});

    // After each pump: while arriving, moves the navigator to the spot this site should hold.
    void update();
    // Takes the spot that what has arrived so far gives, and stops looking: a script's share sync
    // makes the spot as certain as the records it waited for.
    void settle();
    // The navigator back on its spot. False when the world has no navigator.
    bool returnHome();
    int spot() const { return spot_; }

private:
    // The sites present, with where each other site's navigator stands.
    std::vector<siteAt> present() const;
    void place(const std::vector<siteAt>& sites);

    world::world& world_;
    share::sharedScene& share_;
    spotLayout layout_;
    world::sceneNode* navigator_ = nullptr;
    matrix4 start_;
    int spot_ = 0;
    matrix4 placed_; // the matrix this site last gave its navigator
    bool arriving_ = true;
    std::chrono::steady_clock::time_point began_;
};

} // namespace zel::host
