// The dump: the scene as nested nodes and the windows with their laid-out children.
#include "test_support.h"

#include <zel/world/widgets.h>
#include <zel/world/world.h>

#include <nlohmann/json.hpp>

using nlohmann::json;
using zeltest::w;

namespace {

const json* childNamed(const json& node, const std::string& name) {
    for (const json& c : node.at("children"))
        if (c.at("name") == name)
            return &c;
    return nullptr;
}

} // namespace

TEST(dump, BuiltInWorldShape) {
    zel::world::world world;
    const json d = world.dump();
    ASSERT_TRUE(d.contains("scene"));
    ASSERT_TRUE(d.at("windows").is_array());
    EXPECT_TRUE(d.at("windows").empty());
    const json& scene = d.at("scene");
    EXPECT_EQ(scene.at("name"), "scene");
    EXPECT_EQ(scene.at("matrix"), json({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}));
    const json* navigator = childNamed(scene, "navigator");
    ASSERT_NE(navigator, nullptr);
    // Written as the shortest decimal of the float: 1.6, not 1.600000023841858.
    EXPECT_EQ(navigator->at("matrix").dump(),
              "[1.0,0.0,0.0,0.0,0.0,1.0,0.0,0.0,0.0,0.0,1.0,0.0,0.0,1.6,0.0,1.0]");
    EXPECT_FALSE(navigator->contains("mesh"));
    const json* wand = childNamed(*navigator, "wand");
    ASSERT_NE(wand, nullptr);
    EXPECT_EQ(wand->at("matrix")[12], 0.25);
    EXPECT_EQ(wand->at("matrix")[14], -0.5);
    const json* ground = childNamed(scene, "ground");
    ASSERT_NE(ground, nullptr);
    EXPECT_GT(ground->at("mesh").at("triangles").get<int>(), 0);
    EXPECT_EQ(ground->at("mesh").at("vertices").get<int>(),
              2 * ground->at("mesh").at("triangles").get<int>());
}

TEST(dump, SharedNodeWrittenWhereverItHangsWithMeshAndAnimation) {
    const auto file = zeltest::corpusFile("assimp/3DS/RotatingCube.3DS");
    ZEL_REQUIRE_FILE(file);
    zel::world::world world;
    auto* enable = new zel::sceneGraph::reader::animAttr;
    enable->setEnable(true);
    world.getReader()->addAttribute(enable);
    zel::sceneGraph::iSceneNode* model =
        world.getReader()->readFile(zel::xstd::fromUtf8(file.string()));
    ASSERT_NE(model, nullptr);
    model->setName(w("geomSink -> Ümlaut.3ds"));
    zel::sceneGraph::iSceneNode* tabletop = world.getSceneContext()->getNodeFactory()->createNode();
    tabletop->setName(w("tabletop"));
    world.getNavigatorNode()->addChild(tabletop);
    tabletop->insertChild(model, 0);
    world.getRoot()->addChild(model);

    auto check = [&](bool playing) {
        const json d = world.dump();
        const json* onTable =
            childNamed(*childNamed(*childNamed(d.at("scene"), "navigator"), "tabletop"),
                       "geomSink -> Ümlaut.3ds");
        const json* onRoot = childNamed(d.at("scene"), "geomSink -> Ümlaut.3ds");
        ASSERT_NE(onTable, nullptr);
        ASSERT_NE(onRoot, nullptr);
        EXPECT_EQ(*onTable, *onRoot);
        EXPECT_EQ(onTable->at("anim"), json({{"playing", playing}}));
        const json& box = onTable->at("children").at(0);
        EXPECT_EQ(box.at("name"), "Box01");
        EXPECT_EQ(box.at("mesh").at("triangles"), 12);
        EXPECT_GE(box.at("mesh").at("vertices").get<int>(), 8);
        EXPECT_EQ(box.at("matrix").size(), 16u);
    };
    check(false);
    zel::anim::iAnim* a = zeltest::attrsOf<zel::anim::animAttr>(model).at(0)->getAnim();
    world.getClientContext()->getAnimPlayer()->startAnim(a, 0);
    check(true);
}

TEST(dump, WindowsOldestFirstWithTheirChildren) {
    zel::world::world world;
    auto* factory = world.getWidgetFactory();
    auto* status = dynamic_cast<zel::world::windowFrame*>(factory->makeWidget(u"window"));
    status->acquire(1);
    status->setPacker(world.getPacker());
    status->setTitle(w("vKivra Status"));
    auto* label = dynamic_cast<zel::widget::iLabel*>(factory->makeWidget(u"label"));
    auto* entry = dynamic_cast<zel::widget::iEntry*>(factory->makeWidget(u"entry"));
    label->setText(w("Axis: X\nFile: ärchi.3ds"));
    entry->setText(w("http://example.org/geoms.zip"));
    for (zel::widget::iWidget* child :
         {static_cast<zel::widget::iWidget*>(label), static_cast<zel::widget::iWidget*>(entry)}) {
        child->addAttr(new zel::widget::tclAttr(u"fill", 3));
        child->addAttr(new zel::widget::tclAttr(u"expand", true));
        status->addWidget(child);
    }
    auto* empty = dynamic_cast<zel::world::windowFrame*>(factory->makeWidget(u"window"));
    empty->acquire(1);
    status->connectEvents(world.getEventContext()->getEventSource(), 1);

    const json expected = json::parse(R"({
      "scene": null,
      "windows": [
        {"title": "vKivra Status", "connected": true, "children": [
          {"type": "label", "text": "Axis: X\nFile: ärchi.3ds", "rect": [0, 0, 210, 28]},
          {"type": "entry", "text": "http://example.org/geoms.zip", "rect": [0, 28, 210, 14]}]},
        {"title": "", "connected": false, "children": []}
      ]})");
    json d = world.dump();
    d["scene"] = nullptr;
    EXPECT_EQ(d, expected) << d.dump(2);
    status->release(1);
    empty->release(1);
    EXPECT_TRUE(world.dump().at("windows").empty());
}
