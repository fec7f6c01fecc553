// Meeting in a shared scene through the real zelhost: sites that join at once arrive on spots of
// their own and see each other's head and model; "view site" and Tab turn the camera to another
// site; an undo is an edit every site sees; the window's title names the user, the scene and the
// sites, Home returns to the arrival spot, and Ctrl+Z reaches no package observer. Each test starts
// its own nats-server on a free loopback port; the window tests run a private Xvfb (skipped without
// Xvfb, xdotool and import).
#include "pictures.h"
#include "share_support.h"
#include "xserver.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <optional>

using namespace e2e;

namespace {

// Where a site's dump puts things, in world coordinates: each navigator present (by owner), this
// site's camera, and the model placed under each navigator.
struct placeOf {
    std::string self;
    std::map<std::string, matrix> navigators;
    std::map<std::string, matrix> models;
    matrix camera = identity();
};

void findModel(const json& node, const matrix& parent, std::optional<matrix>& out) {
    const matrix world = multiply(toMatrix(node["matrix"]), parent);
    if (node["name"].get<std::string>().rfind("geomSink -> ", 0) == 0) {
        out = world;
        return;
    }
    for (const json& c : node["children"]) {
        findModel(c, world, out);
        if (out)
            return;
    }
}

placeOf placesIn(const json& dump) {
    placeOf p;
    for (const json& s : dump["sites"])
        if (s["self"].get<bool>())
            p.self = s["site"].get<std::string>();
    for (const json& n : dump["scene"]["children"]) {
        if (n["name"] != "navigator" || !n.contains("owner"))
            continue;
        const std::string owner = n["owner"].get<std::string>();
        const matrix at = toMatrix(n["matrix"]);
        p.navigators[owner] = at;
        std::optional<matrix> model;
        for (const json& c : n["children"])
            if (c["name"] != "head")
                findModel(c, at, model);
        if (model)
            p.models[owner] = *model;
        if (owner == p.self)
            if (const json* head = findNode(n, "head"))
                p.camera = multiply(toMatrix((*head)["matrix"]), at);
    }
    return p;
}

double between(const matrix& a, const matrix& b) {
    return std::hypot(a[12] - b[12], a[13] - b[13], a[14] - b[14]);
}

// Degrees between the camera's view direction (its -z) and the direction to the point.
double offAxis(const matrix& camera, double x, double y, double z) {
    const double d[3] = {x - camera[12], y - camera[13], z - camera[14]};
    const double f[3] = {-camera[8], -camera[9], -camera[10]};
    const double dot = d[0] * f[0] + d[1] * f[1] + d[2] * f[2];
    return std::acos(std::clamp(dot / std::hypot(d[0], d[1], d[2]) / std::hypot(f[0], f[1], f[2]),
                                -1.0, 1.0)) *
           180.0 / 3.14159265358979;
}

// The site of a user in a dump's list of sites.
std::string siteOf(const json& dump, const std::string& user) {
    for (const json& s : dump["sites"])
        if (s["user"] == user)
            return s["site"].get<std::string>();
    return {};
}

// A few rounds of syncing: what another site does in answer to this one (its arrival) is here.
const std::string settle = "share wait 2 60\nshare sync 30\nsleep 1.5\nshare sync 30\nsleep 1.5\n"
                           "share sync 30\n";

TEST(meeting, sitesJoiningAtOnceArriveOnSpotsOfTheirOwnAndAgreeWhere) {
    broker b;
    ASSERT_TRUE(b.started());
    tempFolder tmp;
    site alice(tmp.path(), "alice", b.url(), settle + "dump alice.json\nsleep 4\n");
    site bob(tmp.path(), "bob", b.url(), settle + "dump bob.json\nsleep 4\n");
    ASSERT_TRUE(alice.finish(0, 120)) << alice.err();
    ASSERT_TRUE(bob.finish(0, 120)) << bob.err();
    const placeOf a = placesIn(alice.dump("alice.json"));
    const placeOf o = placesIn(bob.dump("bob.json"));
    ASSERT_EQ(a.navigators.size(), 2u);
    ASSERT_EQ(o.navigators.size(), 2u);
    const std::string aliceSite = a.self, bobSite = o.self;
    EXPECT_GT(between(a.navigators.at(aliceSite), a.navigators.at(bobSite)), 2.0)
        << "two spots, metres apart";
    // Both sites see the same two places.
    expectMatrixNear(a.navigators.at(bobSite), o.navigators.at(bobSite), 1e-4);
    expectMatrixNear(o.navigators.at(aliceSite), a.navigators.at(aliceSite), 1e-4);
    // One of them stands where the world puts a navigator; both look at the same centre, 3 m
    // ahead of that place.
    const matrix start = translation(0, 1.6, 0);
    const bool aliceFirst = between(a.navigators.at(aliceSite), start) < 1e-4;
    const bool bobFirst = between(a.navigators.at(bobSite), start) < 1e-4;
    EXPECT_NE(aliceFirst, bobFirst);
    for (const auto& [who, m] : a.navigators)
        EXPECT_LT(offAxis(m, 0, 1.6, -3), 0.1) << who;
    // Each one's model stands in front of its owner, apart from the other's.
    ASSERT_EQ(a.models.size(), 2u);
    EXPECT_GT(between(a.models.at(aliceSite), a.models.at(bobSite)), 1.0);
}

// How much of a picture differs from the same view alone, above the heads-up lines, and how much
// of it lies near where the other site's head and model are.
struct seen {
    double share = 0;   // of the view's pixels
    long nearHead = 0;  // changed pixels within 40 px of the head's place
    long nearModel = 0; // within 80 px of the model's place
    std::string describe;
};

seen compare(const image& shared, const image& alone, const matrix& camera, const matrix& head,
             const matrix& model) {
    seen s;
    const area above{0, 0, shared.width, shared.height - 60};
    const changed c = difference(shared, alone, above, 40);
    s.share = double(c.count) / (double(shared.width) * (shared.height - 60));
    s.describe = e2e::describe(c);
    // Where a world point shows: the camera's frame, 60 degrees of vertical field of view.
    auto onScreen = [&](const matrix& m) {
        const double d[3] = {m[12] - camera[12], m[13] - camera[13], m[14] - camera[14]};
        double c3[3];
        for (int r = 0; r < 3; ++r) {
            const double len = std::hypot(camera[r * 4], camera[r * 4 + 1], camera[r * 4 + 2]);
            c3[r] =
                (d[0] * camera[r * 4] + d[1] * camera[r * 4 + 1] + d[2] * camera[r * 4 + 2]) / len;
        }
        const double t = std::tan(30.0 * 3.14159265358979 / 180.0);
        const double aspect = double(shared.width) / shared.height;
        return pixel{(c3[0] / -c3[2] / (t * aspect) * 0.5 + 0.5) * shared.width,
                     (0.5 - c3[1] / -c3[2] / t * 0.5) * shared.height};
    };
    auto around = [&](const pixel& p, int r) {
        const area a{std::max(0, int(p.x) - r), std::max(0, int(p.y) - r),
                     std::min(shared.width, int(p.x) + r),
                     std::min(shared.height - 60, int(p.y) + r)};
        return a.x1 > a.x0 && a.y1 > a.y0 ? difference(shared, alone, a, 40).count : 0L;
    };
    s.nearHead = around(onScreen(head), 40);
    s.nearModel = around(onScreen(model), 80);
    return s;
}

TEST(meeting, eachSeesTheOthersHeadAndModelAsASmallPartOfTheView) {
    broker b;
    ASSERT_TRUE(b.started());
    tempFolder tmp;
    auto waitJoined = [](const site& s) {
        for (int i = 0; i < 600 && s.err().find("joined shared scene") == std::string::npos; ++i)
            sleepFor(0.05);
    };
    // Alice alone, then alice first and bob after her: alice on the world's spot, bob across the
    // circle. Bob stays on his spot once alice has left, so that his view alone is the same view.
    const std::string aliceLast = (tmp.path() / "alice-shared.png").string();
    // Each run in a folder of its own, so that its logs start empty.
    const fs::path first = tmp.path() / "1", second = tmp.path() / "2", third = tmp.path() / "3";
    for (const fs::path& f : {first, second, third})
        fs::create_directory(f);
    {
        site alone(first, "alice", b.url(), "share sync 30\n", {},
                   {"--snapshot", (tmp.path() / "alice-alone.png").string()});
        ASSERT_TRUE(alone.finish(0, 120)) << alone.err();
    }
    {
        site alice(second, "alice", b.url(),
                   settle + "dump " + (tmp.path() / "alice.json").string() + "\n", {},
                   {"--snapshot", aliceLast});
        waitJoined(alice);
        site bob(second, "bob", b.url(),
                 settle + "sleep 12\nshare sync 30\ndump " +
                     (tmp.path() / "bob-alone.json").string() + "\n",
                 {}, {"--snapshot", (tmp.path() / "bob-alone.png").string()});
        ASSERT_TRUE(alice.finish(0, 120)) << alice.err();
        ASSERT_TRUE(bob.finish(0, 120)) << bob.err();
    }
    {
        site alice(third, "alice", b.url(), "share wait 2 60\nshare sync 30\nsleep 60\n");
        waitJoined(alice);
        site bob(third, "bob", b.url(),
                 settle + "dump " + (tmp.path() / "bob.json").string() + "\n", {},
                 {"--snapshot", (tmp.path() / "bob-shared.png").string()});
        ASSERT_TRUE(bob.finish(0, 120)) << bob.err();
        alice.kill9();
    }
    const placeOf a = placesIn(readJson(tmp.path() / "alice.json"));
    const placeOf o = placesIn(readJson(tmp.path() / "bob.json"));
    const placeOf oAlone = placesIn(readJson(tmp.path() / "bob-alone.json"));
    ASSERT_EQ(a.navigators.size(), 2u);
    ASSERT_EQ(o.navigators.size(), 2u);
    ASSERT_EQ(oAlone.navigators.size(), 1u) << "alice has left";
    expectMatrixNear(oAlone.navigators.begin()->second, o.navigators.at(o.self), 1e-4);
    const std::string bobSite = siteOf(readJson(tmp.path() / "alice.json"), "bob");
    const std::string aliceSite = siteOf(readJson(tmp.path() / "bob.json"), "alice");
    ASSERT_TRUE(a.models.count(bobSite) && o.models.count(aliceSite));

    const image aliceShared = zel::render::readImage(aliceLast);
    const image aliceAlone = zel::render::readImage(tmp.path() / "alice-alone.png");
    const image bobShared = zel::render::readImage(tmp.path() / "bob-shared.png");
    const image bobAlone = zel::render::readImage(tmp.path() / "bob-alone.png");
    ASSERT_FALSE(aliceShared.empty() || aliceAlone.empty() || bobShared.empty() ||
                 bobAlone.empty());
    const seen byAlice =
        compare(aliceShared, aliceAlone, a.camera, a.navigators.at(bobSite), a.models.at(bobSite));
    const seen byBob =
        compare(bobShared, bobAlone, o.camera, o.navigators.at(aliceSite), o.models.at(aliceSite));
    std::printf("alice sees bob: %.2f %% of the view changed, %ld px near his head, %ld px near "
                "his model (%s)\n",
                byAlice.share * 100, byAlice.nearHead, byAlice.nearModel, byAlice.describe.c_str());
    std::printf("bob sees alice: %.2f %% of the view changed, %ld px near her head, %ld px near "
                "her model (%s)\n",
                byBob.share * 100, byBob.nearHead, byBob.nearModel, byBob.describe.c_str());
    for (const seen& s : {byAlice, byBob}) {
        EXPECT_GT(s.nearHead, 60) << "the head shows";
        EXPECT_GT(s.nearModel, 200) << "the model shows";
        EXPECT_LT(s.share, 0.05) << "and neither covers much of the view";
    }
}

TEST(meeting, viewSiteFramesTheOtherSiteAndFailsTheScriptForNobody) {
    broker b;
    ASSERT_TRUE(b.started());
    tempFolder tmp;
    site alice(tmp.path(), "alice", b.url(), "share wait 2 60\nshare sync 30\nsleep 60\n");
    site bob(tmp.path(), "bob", b.url(),
             settle + "view site alice\ndump bob.json\nview site carol\ndump never.json\n");
    ASSERT_TRUE(bob.finish(2, 120)) << bob.err();
    alice.kill9();
    EXPECT_NE(bob.err().find(
                  "zelhost: line 9: view site carol: no other site of user carol is present\n"),
              std::string::npos)
        << bob.err();
    EXPECT_FALSE(fs::exists(tmp.path() / "never.json"));
    const json dump = bob.dump("bob.json");
    const placeOf o = placesIn(dump);
    const std::string aliceSite = siteOf(dump, "alice");
    ASSERT_TRUE(o.models.count(aliceSite));
    const matrix& head = o.navigators.at(aliceSite);
    const matrix& model = o.models.at(aliceSite);
    // Both in view, and the camera came close.
    EXPECT_LT(offAxis(o.camera, head[12], head[13], head[14]), 25.0);
    EXPECT_LT(offAxis(o.camera, model[12], model[13], model[14]), 25.0);
    EXPECT_LT(between(o.camera, head), 0.9 * between(o.navigators.at(o.self), head))
        << "and came closer";
    // The camera only: bob's navigator and model stay where they were.
    EXPECT_EQ(o.navigators.size(), 2u);
}

TEST(meeting, anUndoIsAnEditEverySiteSeesAndNobodyUndoesAnothersEdits) {
    broker b;
    ASSERT_TRUE(b.started());
    tempFolder tmp;
    // Both have arrived before alice edits: the later of them moves off the earlier one's spot
    // once its navigator shows, which may be after the first sync.
    site alice(tmp.path(), "alice", b.url(),
               settle + "key x\nkey x\nkey x\nundo\nshare sync 30\ndump alice.json\nsleep 8\n");
    site bob(tmp.path(), "bob", b.url(), settle + "sleep 4\nshare sync 30\nundo\ndump bob.json\n");
    ASSERT_TRUE(bob.finish(0, 120)) << bob.err();
    ASSERT_TRUE(alice.finish(0, 120)) << alice.err();
    EXPECT_NE(bob.err().find("zelhost: line 9: undo: nothing to undo\n"), std::string::npos)
        << bob.err();
    const json aliceDump = alice.dump("alice.json");
    const json bobDump = bob.dump("bob.json");
    EXPECT_EQ(aliceDump["steps"], json({{"undo", 2}, {"redo", 1}}));
    EXPECT_EQ(bobDump["steps"], json({{"undo", 0}, {"redo", 0}}));
    const placeOf a = placesIn(aliceDump);
    const placeOf o = placesIn(bobDump);
    const std::string aliceSite = a.self;
    ASSERT_TRUE(a.models.count(aliceSite) && o.models.count(aliceSite));
    const matrix model = a.models.at(aliceSite);
    expectMatrixNear(o.models.at(aliceSite), model, 1e-4);
    // Two steps of 0.25 m along the navigator's x remain.
    const matrix tabletop = multiply(translation(0.75, -1.0, -2.1), a.navigators.at(aliceSite));
    EXPECT_NEAR(model[12] - tabletop[12], 0.5 * a.navigators.at(aliceSite)[0], 1e-4);
}

// Waits until the display has a window of exactly this name; false when none came in time.
bool windowNamed(const xServer& x, const std::string& name, double seconds) {
    for (int i = 0; i < int(seconds * 5); ++i) {
        const processResult r = x.run({ZEL_XDOTOOL, "search", "--name", "^" + name + "$"});
        if (r.exitCode == 0 && !r.out.empty())
            return true;
        sleepFor(0.2);
    }
    return false;
}

TEST(meetingWindow, titleNamesUserSceneAndSitesTabFramesTheOtherAndCtrlZReachesNoPackage) {
    if (!haveXTools())
        GTEST_SKIP() << "needs Xvfb, xdotool and ImageMagick's import";
    xServer x;
    std::string why;
    ASSERT_TRUE(x.start(why)) << why;
    tempFolder work;

    // Without --share the title is the product's name.
    {
        processOptions spec;
        spec.args = {zelhostPath()};
        spec.workingDirectory = work.path().string();
        spec.unsetEnvironment = {"WAYLAND_DISPLAY"};
        spec.environment = {{"DISPLAY", x.display()}};
        backgroundProcess host;
        ASSERT_TRUE(host.start(spec, (work.path() / "plain.out").string(),
                               (work.path() / "plain.err").string()));
        EXPECT_TRUE(windowNamed(x, "propplacer", 60)) << readText(work.path() / "plain.err");
        // Escape while the start-up model loads would cancel the load rather than quit.
        for (int i = 0; i < 600 && readText(work.path() / "plain.out").find(activateTrace) ==
                                       std::string::npos;
             ++i)
            sleepFor(0.1);
        x.xdotool({"key", "Escape"});
        ASSERT_TRUE(host.wait(30));
    }

    broker b;
    ASSERT_TRUE(b.started());
    site bob(work.path(), "bob", b.url(), "share wait 2 60\nshare sync 30\nsleep 90\n");
    processOptions spec;
    spec.args = {zelhostPath(),
                 "--share",
                 b.url(),
                 "--user",
                 "alice",
                 "--dump",
                 (work.path() / "alice.json").string()};
    spec.workingDirectory = work.path().string();
    spec.unsetEnvironment = {"WAYLAND_DISPLAY", "ZEL_SHARE_USER", "ZEL_SHARE_PASSWORD",
                             "ZEL_SHARE_CREDS"};
    spec.environment = {{"DISPLAY", x.display()}};
    backgroundProcess alice;
    ASSERT_TRUE(alice.start(spec, (work.path() / "alice.out").string(),
                            (work.path() / "alice.err").string()));
    ASSERT_TRUE(windowNamed(x, "propplacer - alice in default, 2 sites", 60))
        << readText(work.path() / "alice.err");
    // Bob arrives on his spot a moment after he sees alice.
    sleepFor(3);

    // x moves the model; Ctrl+Z takes it back and is no "z" for the package (whose axis mode
    // would go on to Y); Tab turns the camera to bob.
    x.xdotool({"key", "x"});
    x.xdotool({"key", "ctrl+z"});
    // Up walks off the arrival spot; Home comes back to it.
    x.xdotool({"key", "Up", "key", "Up", "key", "Home"});
    x.xdotool({"key", "Tab"});
    sleepFor(1);
    x.xdotool({"key", "Escape"});
    ASSERT_TRUE(alice.wait(30)) << "zelhost did not quit on Escape";
    EXPECT_EQ(alice.exitCode(), 0) << readText(work.path() / "alice.err");
    bob.kill9();

    const json dump = readJson(work.path() / "alice.json");
    EXPECT_EQ(dump["steps"], json({{"undo", 0}, {"redo", 1}}));
    EXPECT_EQ(labelText(dump).rfind("Axis Mode: X\n", 0), 0u) << labelText(dump);
    const placeOf a = placesIn(dump);
    const std::string bobSite = siteOf(dump, "bob");
    ASSERT_TRUE(a.navigators.count(bobSite));
    const matrix tabletop = multiply(translation(0.75, -1.0, -2.1), a.navigators.at(a.self));
    ASSERT_TRUE(a.models.count(a.self));
    EXPECT_NEAR(a.models.at(a.self)[12], tabletop[12], 1e-4) << "the move was undone";
    // Back on a spot: 3 m from the meeting place's centre, facing it.
    const matrix& spot = a.navigators.at(a.self);
    EXPECT_NEAR(std::hypot(spot[12], spot[13] - 1.6, spot[14] + 3.0), 3.0, 1e-4);
    EXPECT_LT(offAxis(spot, 0, 1.6, -3), 0.1);
    const matrix& head = a.navigators.at(bobSite);
    EXPECT_LT(offAxis(a.camera, head[12], head[13], head[14]), 25.0) << "Tab turned to bob";
    EXPECT_LT(between(a.camera, head), 0.9 * between(a.navigators.at(a.self), head))
        << "and came closer";
}

} // namespace
