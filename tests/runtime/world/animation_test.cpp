// Keyframe animation: interpolation on hand-made keys, and a file's animation played, looped and
// stopped through the player.
#include "test_support.h"

#include <zel/world/animation.h>
#include <zel/world/scene_node.h>
#include <zel/world/world.h>

#include <zel/import/imported_scene.h>

#include <cmath>

namespace fs = std::filesystem;
using zel::sceneGraph::iSceneNode;
using zel::world::animation;
using zel::world::sceneNode;
using zeltest::matrixNear;
using zeltest::w;

namespace {

const float h = std::sqrt(0.5f);

// Over 30 ticks and no tick rate (so 1 s): x from 0 to 3, a quarter turn about z, scale from the
// node's own.
std::shared_ptr<zel::import::animation> slideAndTurn() {
    auto a = std::make_shared<zel::import::animation>();
    a->duration = 30;
    a->ticksPerSecond = 0;
    zel::import::channel ch;
    ch.node = "box";
    ch.position = {{0, {0, 0, 0}}, {30, {3, 0, 0}}};
    ch.rotation = {{0, {0, 0, 0, 1}}, {30, {0, 0, h, h}}};
    a->channels.push_back(ch);
    return a;
}

} // namespace

TEST(keyframes, InterpolatedPosesAtTimes) {
    sceneNode box(u"box");
    zel::matrix4 bind;
    bind.setScale(zel::vec3(2, 2, 2));
    box.setMatrix(bind);
    const auto source = slideAndTurn();
    const float c = std::cos(0.3926991f), s = std::sin(0.3926991f); // the half turn of 45 degrees
    struct at {
        const char* name;
        bool loop;
        double seconds;
        std::array<float, 16> expected; // S * R * T, scale 2 kept from the node
    };
    // R(45 about z) in rows: (cos 45, sin 45, 0), (-sin 45, cos 45, 0).
    const float c45 = 2 * c * c - 1, s45 = 2 * s * c;
    const at cases[] = {
        {"start", false, 0.0, {2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1}},
        {"half way",
         false,
         0.5,
         {2 * c45, 2 * s45, 0, 0, -2 * s45, 2 * c45, 0, 0, 0, 0, 2, 0, 1.5f, 0, 0, 1}},
        {"end", false, 1.0, {0, 2, 0, 0, -2, 0, 0, 0, 0, 0, 2, 0, 3, 0, 0, 1}},
        {"held at the end", false, 7.0, {0, 2, 0, 0, -2, 0, 0, 0, 0, 0, 2, 0, 3, 0, 0, 1}},
        {"looped to the middle",
         true,
         2.5,
         {2 * c45, 2 * s45, 0, 0, -2 * s45, 2 * c45, 0, 0, 0, 0, 2, 0, 1.5f, 0, 0, 1}},
        {"negative time is the start",
         false,
         -3.0,
         {2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1}},
    };
    animation a(source, {{&source->channels[0], &box, zel::vec3(2, 2, 2), zel::quat(),
                          zel::vec3(0, 0, 0)}});
    EXPECT_DOUBLE_EQ(a.getDuration(), 1.0);
    for (const at& t : cases) {
        SCOPED_TRACE(t.name);
        a.setAnimFlag(t.loop);
        a.applyAt(t.seconds);
        EXPECT_TRUE(matrixNear(box.getMatrix(), t.expected));
    }
}

TEST(keyframes, PlayerStartsStopsLoopsAndRefusesForeignAnimations) {
    zel::world::world world;
    zel::world::animPlayer& player = *world.getAnimPlayer();
    sceneNode* box =
        dynamic_cast<sceneNode*>(world.getSceneContext()->getNodeFactory()->createNode());
    const auto source = slideAndTurn();
    animation* a = player.adopt(std::make_unique<animation>(
        source, std::vector<animation::binding>{
                    {&source->channels[0], box, zel::vec3(1, 1, 1), zel::quat(), zel::vec3()}}));

    zel::anim::iAnim foreign;
    EXPECT_FALSE(player.startAnim(&foreign, 0));
    EXPECT_FALSE(player.startAnim(nullptr, 0));
    EXPECT_FALSE(player.isPlaying(&foreign));

    // Started at 0.5 s: the node is there at once.
    ASSERT_TRUE(player.startAnim(a, 0.5));
    EXPECT_NEAR(box->getMatrix()(3, 0), 1.5f, 1e-5f);
    world.advance(0.25);
    EXPECT_NEAR(box->getMatrix()(3, 0), 2.25f, 1e-5f);
    // Stopping leaves the node where it is; the clock moves nothing then.
    ASSERT_TRUE(player.stopAnim(a));
    world.advance(0.1);
    EXPECT_NEAR(box->getMatrix()(3, 0), 2.25f, 1e-5f);

    // Not looping: stops at the end, in the last pose.
    player.startAnim(a, 0);
    world.advance(0.6);
    EXPECT_TRUE(player.isPlaying(a));
    world.advance(0.6);
    EXPECT_FALSE(player.isPlaying(a));
    EXPECT_NEAR(box->getMatrix()(3, 0), 3.0f, 1e-5f);

    // Looping: goes round.
    a->setAnimFlag(true);
    player.startAnim(a, 0);
    world.advance(0.75);
    world.advance(0.75);
    EXPECT_TRUE(player.isPlaying(a));
    EXPECT_NEAR(box->getMatrix()(3, 0), 1.5f, 1e-4f);

    // Bad clock steps are ignored.
    world.advance(-1.0);
    world.advance(std::nan(""));
    EXPECT_NEAR(box->getMatrix()(3, 0), 1.5f, 1e-4f);
    EXPECT_NEAR(world.getTime(), 0.25 + 0.1 + 1.2 + 1.5, 1e-9);
}

namespace {

class fileAnimationTest : public ::testing::Test {
protected:
    void SetUp() override {
        file = zeltest::corpusFile("assimp/3DS/RotatingCube.3DS");
        ZEL_NEEDS_CORPUS_FILE(file);
    }
    iSceneNode* read(zel::world::world& world, bool enable) {
        auto* on = new zel::sceneGraph::reader::animAttr;
        on->setEnable(enable);
        world.getReader()->addAttribute(on);
        return world.getReader()->readFile(zel::xstd::fromUtf8(file.string()));
    }
    static zel::anim::iAnim* animOf(iSceneNode* root) {
        const auto attrs = zeltest::attrsOf<zel::anim::animAttr>(root);
        return attrs.empty() ? nullptr : attrs[0]->getAnim();
    }
    // The animated node of RotatingCube.
    static iSceneNode* box(iSceneNode* root) {
        for (iSceneNode* n : zeltest::walk(root))
            if (n->getName() == u"Box01")
                return n;
        return nullptr;
    }

    fs::path file;
};

} // namespace

TEST_F(fileAnimationTest, OnlyWhenTheReaderAsksForIt) {
    zel::world::world off;
    iSceneNode* plain = off.getReader()->readFile(zel::xstd::fromUtf8(file.string()));
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(animOf(plain), nullptr);
    EXPECT_TRUE(zeltest::attrsOf<zel::anim::animAttr>(plain).empty());

    zel::world::world disabled;
    iSceneNode* root = read(disabled, false);
    ASSERT_NE(root, nullptr);
    EXPECT_TRUE(zeltest::attrsOf<zel::anim::animAttr>(root).empty());
}

TEST_F(fileAnimationTest, PlayingChangesTheNodeAndLoopsWithTheFlag) {
    zel::world::world world;
    iSceneNode* root = read(world, true);
    ASSERT_NE(root, nullptr);
    zel::anim::iAnim* a = animOf(root);
    ASSERT_NE(a, nullptr);
    iSceneNode* cube = box(root);
    ASSERT_NE(cube, nullptr);
    auto* played = dynamic_cast<animation*>(a);
    ASSERT_NE(played, nullptr);
    ASSERT_GT(played->getDuration(), 0.0);
    EXPECT_EQ(played->getNumBindings(), 1u);

    zel::anim::iAnimPlayer* player = world.getClientContext()->getAnimPlayer();
    a->setAnimFlag(true);
    ASSERT_TRUE(player->startAnim(a, 0));
    const zel::matrix4 start = zeltest::matrixOf(*cube);
    world.advance(played->getDuration() * 0.3);
    EXPECT_NE(zeltest::matrixOf(*cube), start);
    world.advance(played->getDuration() * 2);
    EXPECT_TRUE(player->isPlaying(a));

    // The animation stays usable after its model left the scene.
    world.getNavigatorNode()->addChild(root);
    world.getNavigatorNode()->removeChild(world.getNavigatorNode()->getNumChildren() - 1);
    EXPECT_TRUE(player->stopAnim(a));
    a->setAnimFlag(false);
    EXPECT_TRUE(player->startAnim(a, 0));
    world.advance(played->getDuration() + 1.0);
    EXPECT_FALSE(player->isPlaying(a));
}

TEST_F(fileAnimationTest, EachTreeHasItsOwnAnimation) {
    zel::world::world world;
    iSceneNode* first = read(world, true);
    iSceneNode* second = world.getReader()->readFile(zel::xstd::fromUtf8(file.string()));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    zel::anim::iAnim* a = animOf(first);
    zel::anim::iAnim* b = animOf(second);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    // Started at the same moment by two routes, the two cubes stand alike.
    zel::anim::iAnimPlayer* player = world.getClientContext()->getAnimPlayer();
    const double d = dynamic_cast<animation*>(a)->getDuration();
    player->startAnim(a, 0);
    world.advance(d * 0.4);
    player->startAnim(b, d * 0.4);
    std::array<float, 16> expected;
    const zel::matrix4 m = zeltest::matrixOf(*box(first));
    std::copy(m.data(), m.data() + 16, expected.begin());
    EXPECT_TRUE(matrixNear(zeltest::matrixOf(*box(second)), expected));
}
