// The host's heads-up line and the angles it shows: the placed model found under the navigator,
// its transform read back through getXform, Euler angles that setEuler turns back into the same
// rotation, and the model's size and triangles as the reader's nodes give them.
#include "hud.h"

#include <zel/polymath.h>
#include <zel/world/scene_node.h>

#include <gtest/gtest.h>

#include "corpus.h"

#include <cmath>
#include <filesystem>
#include <string>

namespace {

using namespace zel;
using namespace zel::host;

quat quatOfEuler(const vec3& degrees) {
    matrix4 m;
    m.setEuler(degrees);
    return world::rotationOf(m);
}

// The smallest turn between two rotations' matrices, as the largest element difference.
float matrixDistance(const vec3& a, const vec3& b) {
    matrix4 ma, mb;
    ma.setEuler(a);
    mb.setEuler(b);
    float worst = 0;
    for (int i = 0; i < 16; ++i)
        worst = std::max(worst, std::fabs(ma.data()[i] - mb.data()[i]));
    return worst;
}

TEST(eulerDegrees, givesBackTheAnglesSetEulerTurnsInto) {
    struct angleCase {
        const char* name;
        vec3 angles;
        bool exact; // the same three numbers come back, not just the same rotation
    };
    const angleCase cases[] = {
        {"none", {0, 0, 0}, true},           {"about x", {30, 0, 0}, true},
        {"about y", {0, -45, 0}, true},      {"about z", {0, 0, 120}, true},
        {"the 3DS root", {-90, 0, 0}, true}, {"all three", {10, 20, 30}, true},
        {"negative", {-170, 60, -5}, true},  {"half turn", {180, 0, 0}, true},
        {"gimbal up", {25, 90, 40}, false},  {"gimbal down", {-30, -90, 10}, false},
    };
    for (const angleCase& c : cases) {
        SCOPED_TRACE(c.name);
        const vec3 back = eulerDegrees(quatOfEuler(c.angles));
        EXPECT_LT(matrixDistance(back, c.angles), 2e-3f);
        if (c.exact) {
            for (std::size_t i = 0; i < 3; ++i)
                EXPECT_NEAR(back[i], c.angles[i], 0.05f) << "angle " << i;
        }
        EXPECT_GT(back[0], -180.0f);
        EXPECT_LE(back[0], 180.0f);
        EXPECT_GE(back[1], -90.0f);
        EXPECT_LE(back[1], 90.0f);
    }
}

class hud : public ::testing::Test {
protected:
    world::sceneNode* node(const char16_t* name, sceneGraph::iSceneNode* parent) {
        auto* n =
            dynamic_cast<world::sceneNode*>(w.getSceneContext()->getNodeFactory()->createNode());
        n->setName(name);
        parent->addChild(n);
        return n;
    }
    world::world w;
};

TEST_F(hud, saysSoWhenNoModelIsPlaced) {
    EXPECT_EQ(hudLine(w), "no model placed");
    // A model hung outside the navigator is not the placed one.
    node(u"geomSink -> stray.3ds", w.getRoot());
    EXPECT_EQ(findPlacedModel(w), nullptr);
    EXPECT_EQ(hudLine(w), "no model placed");
}

TEST_F(hud, readsThePlacedModelsTransformThroughItsNode) {
    world::sceneNode* tabletop = node(u"tabletop", w.getNavigatorNode());
    world::sceneNode* model = node(u"geomSink -> archi.3ds", tabletop);
    node(u"geomSink -> second.3ds", tabletop);
    EXPECT_EQ(findPlacedModel(w), model);

    // M = S * R * T: scaled, turned, then moved, as the package's own steps leave it.
    matrix4 s, r, t;
    s.setScale(vec3(1.1f, 1.0f, 0.5f));
    r.setEuler(vec3(-90, 0, 5));
    t.setTranslate(vec3(0.25f, -0.5f, 0));
    model->setMatrix(s * r * t);
    EXPECT_EQ(hudLine(w), "archi.3ds  position (0.250, -0.500, 0.000)  rotation (-90.0, 0.0, 5.0) "
                          "deg  scale (1.100, 1.000, 0.500)  no geometry");

    // Refreshed from the node at each call; tiny negatives print as zero.
    model->setMatrix(matrix4());
    polyMath::point3Xform move;
    move.setData(vec3(-1e-6f, 0, 2));
    model->applyXform(move);
    EXPECT_EQ(hudLine(w), "archi.3ds  position (0.000, 0.000, 2.000)  rotation (0.0, 0.0, 0.0) "
                          "deg  scale (1.000, 1.000, 1.000)  no geometry");
}

// The corpus's cube is one metre along each edge, its six faces two triangles each.
TEST_F(hud, showsTheSizeInSceneAxesAfterTheModelsScaleAndItsTriangles) {
    ZEL_NEEDS_CORPUS();
    const auto file =
        std::filesystem::path(ZEL_CORPUS_DIR) / "online3dviewer" / "cube_with_materials.3ds";
    sceneGraph::iSceneNode* cube = w.getReader()->readFile(xstd::fromUtf8(file.string()));
    ASSERT_NE(cube, nullptr);
    cube->setName(u"geomSink -> archi.3ds");
    world::sceneNode* tabletop = node(u"tabletop", w.getNavigatorNode());
    tabletop->addChild(cube);
    auto tail = [&] {
        const std::string line = hudLine(w);
        const std::size_t at = line.find("  size ");
        return at == std::string::npos ? line : line.substr(at + 2);
    };
    EXPECT_EQ(tail(), "size 1.000 x 1.000 x 1.000 m  12 triangles");

    // Twice as long along its own X; then its attach point turns a quarter about Y, and in the
    // scene's axes the length lies along Z.
    polyMath::scaleXform stretch;
    stretch.setData(vec3(2, 1, 1));
    cube->applyXform(stretch);
    EXPECT_EQ(tail(), "size 2.000 x 1.000 x 1.000 m  12 triangles");
    matrix4 quarter;
    quarter.setEuler(vec3(0, 90, 0));
    tabletop->setMatrix(quarter);
    EXPECT_EQ(tail(), "size 1.000 x 1.000 x 2.000 m  12 triangles");
}

TEST_F(hud, framesCarryTheLineWithTheScene) {
    hudFrames frames(w);
    render::frame f = frames.build();
    ASSERT_EQ(f.hud.size(), 1u);
    EXPECT_EQ(f.hud[0], "no model placed");
    EXPECT_EQ(f.items.size(), 1u) << "the ground";
    EXPECT_FLOAT_EQ(f.view.world[13], 1.6f) << "the camera at the head";

    node(u"geomSink -> a.3ds", node(u"tabletop", w.getNavigatorNode()));
    f = frames.build();
    EXPECT_EQ(f.hud[0].rfind("a.3ds  position (0.000, 0.000, 0.000)", 0), 0u) << f.hud[0];
}

} // namespace
