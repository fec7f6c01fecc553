// The renderer joined to the world: frames built from the built-in world and from added geometry
// and windows, and the viewer's input reaching the world's navigator and widgets.
#include "scenes.h"

#include <zel/render/backend.h>
#include <zel/render/screen.h>
#include <zel/widget.h>
#include <zel/world/geometry.h>
#include <zel/world/scene_node.h>
#include <zel/world/widgets.h>
#include <zel/world/world.h>
#include <zel/world_render/world_frames.h>
#include <zel/world_render/world_input.h>

#include <zel/import/imported_scene.h>

#include <gtest/gtest.h>

#include <cmath>

using namespace zel::render;
using namespace zel::worldRender;
using namespace rendertest;
namespace zw = zel::world;

namespace {

// A unit square in the XY plane, as the reader would hang it on a node.
std::shared_ptr<const zel::import::mesh> squareMesh() {
    auto m = std::make_shared<zel::import::mesh>();
    m->positions = {-0.5f, -0.5f, 0, 0.5f, -0.5f, 0, 0.5f, 0.5f, 0, -0.5f, 0.5f, 0};
    m->indices = {0, 1, 2, 0, 2, 3};
    return m;
}

zw::sceneNode* addNode(zw::world& w, zel::sceneGraph::iSceneNode* parent, float z) {
    auto* n = dynamic_cast<zw::sceneNode*>(w.getSceneContext()->getNodeFactory()->createNode());
    zel::matrix4 m;
    m.setTranslate(zel::vec3(0, 1.6f, z));
    n->setMatrix(m);
    parent->addChild(n);
    return n;
}

TEST(worldFrames, builtInWorldGivesTheGroundAndTheHeadCamera) {
    zw::world w;
    worldFrames frames(w);
    const frame f = frames.build();
    ASSERT_EQ(f.items.size(), 1u) << "the ground";
    EXPECT_GT(f.items[0].indexCount, 0u);
    EXPECT_FLOAT_EQ(f.view.world[13], 1.6f) << "the navigator stands at eye height";
    EXPECT_TRUE(f.windows.empty());

    // Drawn, the ground lies below the horizon.
    backendOptions o;
    o.width = 160;
    o.height = 120;
    auto v = screen::create(makeOffscreenBackend(o), nullptr);
    ASSERT_TRUE(v);
    const image im = v->capture(f);
    auto notBackground = [&](const std::uint8_t* p) {
        return !near(p, int(f.background[0] * 255 + 0.5f), int(f.background[1] * 255 + 0.5f),
                     int(f.background[2] * 255 + 0.5f), 3);
    };
    EXPECT_GT(countIn(im, 0, 70, 160, 120, notBackground), 50);
    EXPECT_EQ(countIn(im, 0, 0, 160, 55, notBackground), 0);
}

TEST(worldFrames, sharedMeshHasOneKeyThatGoesWhenItLeavesTheGraph) {
    zw::world w;
    auto mesh = squareMesh();
    zw::sceneNode* a = addNode(w, w.getRoot(), -2);
    zw::sceneNode* b = addNode(w, w.getRoot(), -3);
    auto* ga = new zw::geometryAttr(mesh);
    ga->setColor({1, 0, 0, 1});
    a->addAttribute(ga);
    b->addAttribute(new zw::geometryAttr(mesh));
    worldFrames frames(w);

    frame f = frames.build();
    ASSERT_EQ(f.items.size(), 3u);
    const drawItem& first = f.items[1];
    const drawItem& second = f.items[2];
    EXPECT_EQ(first.key, second.key);
    EXPECT_NE(first.key, f.items[0].key);
    EXPECT_FLOAT_EQ(first.world[14], -2.0f);
    EXPECT_EQ(first.diffuse[0], 1.0f);
    EXPECT_EQ(first.normals, nullptr) << "the mesh has none: the renderer computes them";
    std::weak_ptr<const void> key = first.key;

    // Still there at the next build: the same key, so no new upload.
    EXPECT_EQ(frames.build().items[1].key, key.lock());

    // Both nodes out of the graph (they live on): the key is dropped with the frames that held it.
    w.getRoot()->removeChild(w.getRoot()->getNumChildren() - 1);
    w.getRoot()->removeChild(w.getRoot()->getNumChildren() - 1);
    f = frames.build();
    EXPECT_EQ(f.items.size(), 1u);
    EXPECT_TRUE(key.expired());
}

// A 3DS object with several materials reads as one node with a mesh per material: each is drawn.
TEST(worldFrames, everyMeshOfANodeIsDrawnInItsOwnColour) {
    zw::world w;
    zw::sceneNode* n = addNode(w, w.getRoot(), -2);
    auto red = new zw::geometryAttr(squareMesh());
    red->setColor({1, 0, 0, 1});
    auto blue = new zw::geometryAttr(squareMesh());
    blue->setColor({0, 0, 1, 1});
    n->addAttribute(red);
    n->addAttribute(blue);
    worldFrames frames(w);
    const frame f = frames.build();
    ASSERT_EQ(f.items.size(), 3u) << "the ground and both meshes";
    EXPECT_EQ(f.items[1].diffuse[0], 1.0f);
    EXPECT_EQ(f.items[2].diffuse[2], 1.0f);
    EXPECT_NE(f.items[1].key, f.items[2].key);
}

TEST(worldFrames, windowsComeWithTheirWidgetsAtThePackersLayout) {
    zw::world w;
    auto* win = dynamic_cast<zw::windowFrame*>(w.getWidgetFactory()->makeWidget(u"window"));
    win->acquire(1);
    win->setPacker(w.getPacker());
    win->setTitle(u"Status \u00e4");
    auto* label = dynamic_cast<zel::widget::iLabel*>(w.getWidgetFactory()->makeWidget(u"label"));
    auto* entry = dynamic_cast<zel::widget::iEntry*>(w.getWidgetFactory()->makeWidget(u"entry"));
    label->setText(u"Axis: X\nAnim: OFF");
    entry->setText(u"geoms.zip");
    for (zel::widget::iWidget* c :
         {static_cast<zel::widget::iWidget*>(label), static_cast<zel::widget::iWidget*>(entry)}) {
        c->addAttr(new zel::widget::tclAttr(u"fill", 3));
        c->addAttr(new zel::widget::tclAttr(u"expand", true));
        win->addWidget(c);
    }
    worldFrames frames(w);
    frame f = frames.build();
    ASSERT_EQ(f.windows.size(), 1u);
    const uiWindow& u = f.windows[0];
    EXPECT_EQ(u.title, "Status \xC3\xA4");
    EXPECT_EQ(u.width, 210);
    EXPECT_EQ(u.height, 42);
    ASSERT_EQ(u.children.size(), 2u);
    EXPECT_EQ(u.children[0].type, uiElement::kind::label);
    EXPECT_EQ(u.children[0].text, "Axis: X\nAnim: OFF");
    EXPECT_EQ((std::array{u.children[1].x, u.children[1].y, u.children[1].w, u.children[1].h}),
              (std::array{0, 28, 210, 14}));

    // The user's edits, Enter and resize reach the window; a window that is gone takes nothing.
    const std::uint64_t id = u.id;
    worldInput input(w);
    input.entryText(id, 1, "geoms2.zip");
    input.windowResized(id, 300, 60);
    input.entryText(id + 8, 1, "lost");
    f = frames.build();
    EXPECT_EQ(f.windows[0].children[1].text, "geoms2.zip");
    EXPECT_EQ(f.windows[0].width, 300);
    EXPECT_EQ(f.windows[0].height, 60);
    win->release(1);
    input.entryEnter(id, 1); // released: must not touch it
    EXPECT_TRUE(frames.build().windows.empty());
}

TEST(worldInput, viewerKeysWalkAndTurnTheNavigator) {
    zw::world w;
    worldInput input(w);
    auto* nav = dynamic_cast<zw::sceneNode*>(w.getNavigatorNode());
    ASSERT_TRUE(nav);
    input.viewerKeyDown(viewerKey::up, false);
    input.viewerKeyDown(viewerKey::up, true);
    EXPECT_NEAR(nav->getMatrix()(3, 2), -0.2f, 1e-6) << "forward is -z";
    input.viewerKeyDown(viewerKey::pageUp, false);
    EXPECT_NEAR(nav->getMatrix()(3, 1), 1.7f, 1e-6);
    // A left turn of 90 degrees: forward becomes -x.
    input.turnStep = 90;
    input.viewerKeyDown(viewerKey::left, false);
    input.viewerKeyDown(viewerKey::up, false);
    EXPECT_NEAR(nav->getMatrix()(3, 0), -0.1f, 1e-6);
    EXPECT_NEAR(nav->getMatrix()(3, 2), -0.2f, 1e-6);
    input.viewerKeyDown(viewerKey::f5, false); // not a navigation key
    EXPECT_NEAR(nav->getMatrix()(3, 0), -0.1f, 1e-6);
}

} // namespace
