// Meeting in a shared scene, the parts that need no broker: where each site arrives, and the
// heads of the other users.
#include "arrival.h"
#include "hud.h"
#include "sites.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace zel;
using namespace zel::host;

matrix4 startMatrix() {
    matrix4 m;
    m.setTranslate(vec3(0.0f, 1.6f, 0.0f));
    return m;
}

double distance(const vec3& a, const vec3& b) {
    const double dx = double(a[0]) - b[0], dy = double(a[1]) - b[1], dz = double(a[2]) - b[2];
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

TEST(arrivalSpots, faceTheCentreStandApartAndSpotZeroIsTheStart) {
    const spotLayout layout;
    const matrix4 start = startMatrix();
    EXPECT_EQ(layout.spot(0, start), start) << "a site alone starts where it always did";
    const vec3 centre(0.0f, 1.6f, -3.0f);
    std::vector<vec3> places;
    for (int n = 0; n < 24; ++n) {
        SCOPED_TRACE("spot " + std::to_string(layout.nth(n)));
        const matrix4 m = layout.spot(layout.nth(n), start);
        const vec3 at = m.getTranslate();
        EXPECT_NEAR(at[1], 1.6f, 1e-6f) << "at eye height";
        // Looking along its -z at the centre, upright.
        const vec3 forward(-m(2, 0), -m(2, 1), -m(2, 2));
        const double d = distance(at, centre);
        for (std::size_t c = 0; c < 3; ++c)
            EXPECT_NEAR(forward[c], (centre[c] - at[c]) / d, 1e-5);
        EXPECT_NEAR(m(1, 1), 1.0f, 1e-6f);
        for (const vec3& other : places)
            EXPECT_GT(distance(at, other), 1.5) << "spots stand apart";
        places.push_back(at);
    }
    // The second site arrives across the circle, within the first one's view (about 46 degrees
    // to either side at 16:9) and off its line of sight.
    const vec3 second = layout.spot(layout.nth(1), start).getTranslate();
    const double bearing = std::atan2(double(second[0]), -double(second[2])) * 180.0 / 3.14159265;
    EXPECT_GT(std::fabs(bearing), 5.0);
    EXPECT_LT(std::fabs(bearing), 35.0);
}

TEST(arrivalSpots, sitesTakeSpotsInJoinOrderWithoutSharingOne) {
    const spotLayout layout;
    const matrix4 start = startMatrix();
    const int first = layout.nth(0), second = layout.nth(1), third = layout.nth(2);
    auto at = [&](int k) { return std::optional<vec3>(layout.spot(k, start).getTranslate()); };
    struct scenario {
        const char* name;
        std::vector<siteAt> sites;
        std::string self;
        int current;
        int expected;
    };
    const std::vector<scenario> cases = {
        {"alone", {{"alice-1", 5.0, at(first)}}, "alice-1", 0, first},
        // Both joined at once; neither has seen where the other stands: the earlier keeps spot
        // 0, the later counts it taken.
        {"earlier of two at once",
         {{"a-1", 5.0, std::nullopt}, {"b-1", 5.0, at(first)}},
         "a-1",
         0,
         first},
        {"later of two at once",
         {{"a-1", 5.0, at(first)}, {"b-1", 5.0, std::nullopt}},
         "b-1",
         0,
         second},
        // A presence without a navigator (anyone may write one, joined at 0) moves nobody.
        {"presence alone",
         {{"mal-1", 0.0, std::nullopt}, {"b-1", 6.0, at(first)}},
         "b-1",
         0,
         first},
        {"same time: the site id decides",
         {{"b-1", 5.0, at(first)}, {"a-1", 5.0, at(first)}},
         "b-1",
         0,
         second},
        // The earlier site had to take another spot: the later one may stay on spot 0.
        {"earlier moved on", {{"a-1", 5.0, at(second)}, {"b-1", 6.0, at(first)}}, "b-1", 0, first},
        // A site that left freed its spot; those present keep theirs.
        {"spot of a site that left",
         {{"b-1", 6.0, at(second)}, {"c-1", 7.0, std::nullopt}},
         "c-1",
         0,
         first},
        {"keeps a free spot",
         {{"a-1", 5.0, at(first)}, {"c-1", 7.0, at(third)}},
         "c-1",
         third,
         third},
        // An earlier site that walked off its spot still holds one: the first free for it.
        {"earlier walked away",
         {{"a-1", 5.0, std::optional<vec3>(vec3(9.0f, 1.6f, 9.0f))}, {"b-1", 6.0, at(first)}},
         "b-1",
         0,
         second},
        {"a later site changes nothing",
         {{"a-1", 5.0, at(first)}, {"z-1", 9.0, at(second)}, {"b-1", 6.0, std::nullopt}},
         "b-1",
         0,
         second},
    };
    for (const scenario& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(chooseSpot(c.sites, c.self, layout, start, c.current), c.expected);
    }
    // A broker listing many sites (anyone can make site ids): the walk stays short and still
    // gives the sites distinct spots.
    std::vector<siteAt> crowd;
    for (int i = 0; i < 3000; ++i)
        crowd.push_back({"s-" + std::to_string(100000 + i), double(i),
                         std::optional<vec3>(vec3(900.0f, 1.6f, 900.0f))});
    std::set<int> spots;
    for (const char* who : {"s-100000", "s-100001", "s-100511", "s-100512", "s-102999"})
        spots.insert(chooseSpot(crowd, who, layout, start));
    EXPECT_EQ(spots.size(), 5u);
    EXPECT_EQ(spots.count(first), 1u);
}

TEST(arrivalSpots, aSyncSettlesOnceEveryEarlierSiteShowsItsNavigator) {
    const vec3 somewhere(1.0f, 1.6f, -2.0f);
    struct scenario {
        const char* name;
        std::vector<siteAt> sites;
        bool settled;
    };
    // "me-1" is this site: its own navigator never shows as a mirror.
    const std::vector<scenario> cases = {
        {"alone", {{"me-1", 5.0, std::nullopt}}, true},
        {"every earlier site shown",
         {{"a-1", 4.0, somewhere}, {"me-1", 5.0, std::nullopt}, {"b-1", 4.5, somewhere}},
         true},
        {"an earlier site not shown yet",
         {{"a-1", 4.0, somewhere}, {"b-1", 4.5, std::nullopt}, {"me-1", 5.0, std::nullopt}},
         false},
        {"same time, smaller id not shown",
         {{"a-1", 5.0, std::nullopt}, {"me-1", 5.0, somewhere}},
         false},
        {"later sites do not count",
         {{"me-1", 5.0, std::nullopt}, {"z-1", 6.0, std::nullopt}},
         true},
        {"not among the sites", {{"a-1", 4.0, somewhere}}, false},
    };
    for (const scenario& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(earlierSitesShown(c.sites, "me-1"), c.settled);
    }
}

TEST(meetingLooks, aHeadIsLeftOutWhereTheCameraIsInsideOrTooNearIt) {
    render::frame f;
    f.view.world = render::identityMatrix;
    f.view.world[13] = 1.6f; // the camera at eye height, at the origin
    f.view.nearPlane = 0.05f;
    auto avatarAt = [](const std::string& user, float x, float z) {
        share::avatar a;
        a.user = user;
        a.world.setTranslate(vec3(x, 1.6f, z));
        return a;
    };
    addAvatars(f, {avatarAt("bob", 0.0f, -4.0f), avatarAt("carol", 0.0f, 0.0f),
                   avatarAt("dave", 0.1f, -0.1f)});
    ASSERT_EQ(f.items.size(), 1u) << "only bob's head, 4 m away";
    ASSERT_EQ(f.labels.size(), 1u);
    EXPECT_EQ(f.labels[0].text, "bob");
    EXPECT_EQ(f.labels[0].colour, textColour("bob")) << "the user's hue, lightened for letters";
    EXPECT_EQ(f.items[0].diffuse, userColour("bob"));
    EXPECT_GT(f.labels[0].position[1], 1.6f + 0.115f) << "the name above the head";
    EXPECT_FLOAT_EQ(f.items[0].world[14], -4.0f);
}

TEST(meetingLooks, aNearPlaneRaisedForAFarModelCutsNoHeadAhead) {
    // The camera at eye height looking along -z, its near plane raised to 1 m for a model far off.
    struct scenario {
        const char* name;
        vec3 head; // where the other user's navigator stands
        float nearPlane;
        bool drawn;
    };
    const std::vector<scenario> cases = {
        {"framed close ahead: half way to its front", {0.0f, 1.6f, -0.6f}, 0.215f, true},
        {"ahead, off to the side", {0.5f, 1.6f, -0.3f}, float((std::sqrt(0.34) - 0.17) / 2), true},
        {"just past the default near distance: the default", {0.0f, 1.6f, -0.25f}, 0.05f, true},
        {"far enough ahead already", {0.0f, 1.6f, -4.0f}, 1.0f, true},
        {"behind the camera", {0.0f, 1.6f, 0.6f}, 1.0f, false},
        {"so close it is never drawn", {0.0f, 1.6f, -0.2f}, 1.0f, false},
    };
    for (const scenario& c : cases) {
        SCOPED_TRACE(c.name);
        render::frame f;
        f.view.world = render::identityMatrix;
        f.view.world[13] = 1.6f;
        f.view.nearPlane = 1.0f;
        share::avatar a;
        a.user = "bob";
        a.world.setTranslate(c.head);
        keepHeadsPastNearPlane(f.view, 0.05f, {a});
        EXPECT_NEAR(f.view.nearPlane, c.nearPlane, 1e-6f);
        addAvatars(f, {a});
        EXPECT_EQ(f.items.size(), c.drawn ? 1u : 0u);
    }
}

} // namespace
