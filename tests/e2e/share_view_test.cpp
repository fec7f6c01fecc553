// What a site sees of the others in a shared scene: each one's head where its navigator stands,
// with the user's name above it.
#include "pictures.h"
#include "share_support.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace e2e;

namespace {

// The avatar's colour (its user's own hue), lit or in shade: a clear colour, not a grey.
long avatarPixels(const image& shot, const image& without) {
    long n = 0;
    for (int y = 0; y < shot.height - 60; ++y) // above the heads-up lines, which differ anyway
        for (int x = 0; x < shot.width; ++x) {
            const std::uint8_t* p = shot.pixel(x, y);
            const std::uint8_t* q = without.pixel(x, y);
            const bool changed = std::abs(p[0] - q[0]) + std::abs(p[1] - q[1]) > 60;
            n += changed && std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]}) > 60;
        }
    return n;
}

TEST(SharedView, AnotherSitesHeadIsDrawnWhereItsNavigatorStands) {
    broker b;
    ASSERT_TRUE(b.started());
    tempFolder tmp;
    // Each arrives on a spot of its own, facing the other across the meeting place; a few rounds
    // of syncing let both settle there.
    const std::string view = "";
    site alice(tmp.path(), "alice", b.url(), "share wait 2 30\nshare sync 30\nsleep 60\n");
    site bob(tmp.path(), "bob", b.url(),
             "share wait 2 30\nshare sync 30\nsleep 1.5\nshare sync 30\nsleep 1.5\n"
             "share sync 30\n" +
                 view,
             {}, {"--snapshot", (tmp.path() / "bob.png").string()});
    ASSERT_TRUE(bob.finish(0, 120)) << bob.err();
    alice.kill9();
    const processResult alone = runHost(
        {"--script", "-", "--snapshot", (tmp.path() / "alone.png").string()}, view, tmp.path());
    ASSERT_EQ(alone.exitCode, 0) << alone.err;
    const image shared = zel::render::readImage(tmp.path() / "bob.png");
    const image single = zel::render::readImage(tmp.path() / "alone.png");
    ASSERT_FALSE(shared.empty());
    ASSERT_EQ(shared.width, single.width);
    EXPECT_GT(avatarPixels(shared, single), 200);
    // Alone, there is no one to draw.
    EXPECT_EQ(avatarPixels(single, single), 0);
}

} // namespace
