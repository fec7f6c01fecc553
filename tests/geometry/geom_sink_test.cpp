// The geometry holder: loading, naming, animation discovery, replacing, detaching, re-attaching,
// the home transform and the animation switch.
#include "sink_fixture.h"

#include <algorithm>

namespace {

using rec::sinkTest;
using zel::wstring;

TEST_F(sinkTest, constructionTakesTheNavigatorsNodeAndTheRegistrysAnimation) {
    EXPECT_EQ(sink->defaultParent, w.navigatorNode);
    EXPECT_EQ(sink->anim, &w.registryAnim);
    EXPECT_EQ(sink->reader, &w.readerService);
    EXPECT_EQ(sink->model, nullptr);
    EXPECT_EQ(sink->attachPoint, nullptr);
    EXPECT_EQ(sink->getPosition(), zel::vec3(0, 0, 0));
    EXPECT_EQ(sink->getScale(), zel::vec3(1, 1, 1));

    rec::world bare;
    bare.withoutNavigator();
    bare.withoutRegistryAnim();
    rec::sinkProbe lonely(nullptr);
    EXPECT_EQ(lonely.defaultParent, nullptr);
    EXPECT_EQ(lonely.anim, nullptr);
    rec::captureStdout out;
    EXPECT_FALSE(lonely.loadGeom(u"archi.3ds", 0.0f, 0.0f, 0.0f));
    EXPECT_EQ(out.text(), "|> in loadGeom\n");
}

TEST_F(sinkTest, loadHangsTheModelFirstNamesItAndReadsItsHomeTransformBack) {
    zel::matrix4 fromFile;
    fromFile.setEuler(zel::vec3(-90.0f, 0.0f, 0.0f));
    fromFile(3, 0) = 0.5f;
    fromFile(3, 1) = 0.25f;
    w.readerService.files[u"archi.3ds"].matrix = fromFile;
    rec::node* other = w.makeNode(u"other");
    tabletop->children.push_back(other);

    rec::captureStdout out;
    EXPECT_TRUE(sink->loadGeom(u"archi.3ds", tabletop));
    EXPECT_EQ(out.text(), "|> in loadGeom\n");
    rec::node* model = w.readerService.made.at(0);
    EXPECT_EQ(sink->model, model);
    EXPECT_EQ(sink->attachPoint, tabletop);
    EXPECT_EQ(tabletop->children, (std::vector<zel::sceneGraph::iSceneNode*>{model, other}));
    EXPECT_EQ(model->getName(), u"geomSink -> archi.3ds");
    EXPECT_EQ(w.log, (rec::journal{"readFile(archi.3ds)", "tabletop.insertChild(archi.3ds,0)",
                                   "applyXform point(0,0,0)", "getXform point(0,0,0)",
                                   "setName(geomSink -> archi.3ds)", "getXform point(0.5,0.25,0)",
                                   "getXform scale(1,1,1)", "getXform quat(0,0,0,1)"}));
    EXPECT_EQ(sink->getPosition(), zel::vec3(0.5f, 0.25f, 0.0f));
    const zel::quat rotation = sink->homeRotation.getData();
    EXPECT_NEAR(rotation[0], -std::sqrt(0.5f), 1e-6f);
    EXPECT_NEAR(rotation[3], std::sqrt(0.5f), 1e-6f);
    EXPECT_EQ(sink->anim, &w.registryAnim) << "a model without animation keeps the old one";
}

TEST_F(sinkTest, theOtherLoadFormsFillInTheNavigatorsNodeAndTheOrigin) {
    w.readerService.files[u"a.3ds"].matrix = rec::translation(1, 1, 1);
    struct formCase {
        const char* name;
        std::function<bool(rec::sinkProbe&)> load;
        zel::sceneGraph::iSceneNode* parent;
        zel::vec3 position;
    };
    const std::vector<formCase> cases = {
        {"name and parent", [&](rec::sinkProbe& s) { return s.loadGeom(u"a.3ds", tabletop); },
         tabletop, zel::vec3(1, 1, 1)},
        {"name and position",
         [](rec::sinkProbe& s) { return s.loadGeom(u"a.3ds", zel::vec3(1, 2, 3)); },
         w.navigatorNode, zel::vec3(2, 3, 4)},
        {"name and three floats",
         [](rec::sinkProbe& s) { return s.loadGeom(u"a.3ds", -1.0f, 0.5f, 0.0f); }, w.navigatorNode,
         zel::vec3(0, 1.5f, 1)},
    };
    for (const formCase& c : cases) {
        SCOPED_TRACE(c.name);
        rec::sinkProbe s(&w.readerService);
        rec::captureStdout quiet;
        ASSERT_TRUE(c.load(s));
        EXPECT_EQ(s.attachPoint, c.parent);
        EXPECT_EQ(c.parent->getChild(0), s.model);
        EXPECT_EQ(s.getPosition(), c.position);
    }
}

TEST_F(sinkTest, foundAnimationIsTracedTakenOverAndSetToLoop) {
    rec::anim windmill(&w.log, "windmill");
    w.readerService.files[u"windmill.3ds"] = {zel::matrix4(), true, &windmill};
    rec::captureStdout out;
    EXPECT_TRUE(sink->loadGeom(u"windmill.3ds", tabletop));
    EXPECT_EQ(out.text(),
              "|> in loadGeom\n|> Found Animation on geomSink: geomSink -> windmill.3ds\n");
    EXPECT_EQ(sink->anim, &windmill);
    EXPECT_EQ(rec::countPrefix(w.log, "windmill.setAnimFlag(1)"), 1);

    // A model without animation keeps it; an animation attribute without animation drops it.
    out.take();
    EXPECT_TRUE(sink->replaceGeom(u"archi.3ds"));
    EXPECT_EQ(out.take(), "|> in loadGeom\n");
    EXPECT_EQ(sink->anim, &windmill);
    w.readerService.files[u"empty.3ds"] = {zel::matrix4(), true, nullptr};
    EXPECT_TRUE(sink->replaceGeom(u"empty.3ds"));
    EXPECT_EQ(out.take(),
              "|> in loadGeom\n|> Found Animation on geomSink: geomSink -> empty.3ds\n");
    EXPECT_EQ(sink->anim, nullptr);
    w.log.clear();
    sink->setAnimation(1, &w.player);
    EXPECT_TRUE(w.log.empty());
}

TEST_F(sinkTest, failedLoadsChangeNothingButTheModel) {
    rec::node* first = placeUnderTabletop();
    const zel::vec3 home = sink->getPosition();
    rec::node* elsewhere = w.makeNode(u"elsewhere");

    struct failCase {
        const char* name;
        std::function<bool()> load;
        bool reads;
    };
    const std::vector<failCase> cases = {
        {"null parent", [&] { return sink->loadGeom(u"archi.3ds", nullptr); }, false},
        {"unreadable file", [&] { return sink->loadGeom(u"missing.3ds", elsewhere); }, true},
    };
    for (const failCase& c : cases) {
        SCOPED_TRACE(c.name);
        w.log.clear();
        rec::captureStdout out;
        EXPECT_FALSE(c.load());
        EXPECT_EQ(out.text(), "|> in loadGeom\n");
        EXPECT_EQ(rec::countPrefix(w.log, "readFile"), c.reads ? 1 : 0);
        EXPECT_EQ(sink->attachPoint, tabletop);
        EXPECT_EQ(sink->getPosition(), home);
        EXPECT_EQ(tabletop->getChild(0), first) << "the earlier model stays in the scene";
        EXPECT_EQ(elsewhere->getNumChildren(), 0);
    }
    EXPECT_EQ(sink->model, nullptr);

    sink->setReader(nullptr);
    w.log.clear();
    rec::captureStdout out;
    EXPECT_FALSE(sink->loadGeom(u"archi.3ds", tabletop));
    EXPECT_EQ(out.text(), "|> in loadGeom\n");
    EXPECT_TRUE(w.log.empty());
}

TEST_F(sinkTest, replaceSwapsThePlacedModelAtTheSameAttachPoint) {
    rec::node* first = placeUnderTabletop();
    w.readerService.files[u"b.3ds"] = {};
    rec::captureStdout out;
    EXPECT_TRUE(sink->replaceGeom(u"b.3ds"));
    EXPECT_EQ(out.text(), "|> in loadGeom\n");
    rec::node* second = w.readerService.made.back();
    EXPECT_EQ(tabletop->children, (std::vector<zel::sceneGraph::iSceneNode*>{second}));
    EXPECT_EQ(second->getName(), u"geomSink -> b.3ds");
    EXPECT_NE(second, first);
    EXPECT_EQ(sink->attachPoint, tabletop);
}

TEST_F(sinkTest, replaceWithoutAPlacedModelFirstGoesUnderTheNavigatorsNode) {
    placeUnderTabletop();
    rec::node* stranger = w.makeNode(u"stranger");
    tabletop->children.insert(tabletop->children.begin(), stranger);
    rec::captureStdout quiet;
    EXPECT_TRUE(sink->replaceGeom(u"archi.3ds"));
    EXPECT_EQ(tabletop->getNumChildren(), 2) << "nothing was removed";
    EXPECT_EQ(sink->attachPoint, w.navigatorNode);
    EXPECT_EQ(w.navigatorNode->getChild(0), sink->model);
}

TEST_F(sinkTest, replaceWithAnUnreadableFileRemovesTheOldModelAndLaterLoadsReturnThere) {
    placeUnderTabletop();
    rec::captureStdout quiet;
    EXPECT_FALSE(sink->replaceGeom(u"broken.3ds"));
    EXPECT_EQ(tabletop->getNumChildren(), 0);
    EXPECT_EQ(sink->model, nullptr);

    // Still no placed model at the attach point, but the user's attach point is kept: the next file
    // goes there, not to the viewer's own eye.
    EXPECT_FALSE(sink->replaceGeom(u"broken.3ds"));
    w.readerService.files[u"b.3ds"] = {};
    EXPECT_TRUE(sink->replaceGeom(u"b.3ds"));
    EXPECT_EQ(sink->attachPoint, tabletop);
    EXPECT_EQ(tabletop->getChild(0), sink->model);
    EXPECT_EQ(w.navigatorNode->getNumChildren(), 3) << "head, wand, tabletop only";
}

TEST_F(sinkTest, afterAFirstLoadThatFailsTheNextModelGoesWhereTheFirstWasMeantToGo) {
    rec::captureStdout quiet;
    EXPECT_FALSE(sink->loadGeom(u"broken.3ds", tabletop));
    EXPECT_EQ(sink->model, nullptr);
    EXPECT_EQ(sink->getPosition(), zel::vec3(0, 0, 0));
    EXPECT_TRUE(sink->replaceGeom(u"archi.3ds"));
    EXPECT_EQ(sink->attachPoint, tabletop);
    EXPECT_EQ(tabletop->getChild(0), sink->model);
    const auto& underNavigator = w.navigatorNode->children;
    EXPECT_EQ(std::count(underNavigator.begin(), underNavigator.end(), sink->model), 0);
}

TEST_F(sinkTest, detachRemovesOnlyAFirstChildNamedLikeAPlacedModel) {
    const std::vector<std::pair<wstring, bool>> cases = {
        {u"geomSink", true},    {u"geomSink -> x.3ds", true},  {u"geomSinkhole", true},
        {u"geomSin", false},    {u"GeomSink -> x.3ds", false}, {u"", false},
        {u"a geomSink", false}, {u"geomsink -> x.3ds", false},
    };
    placeUnderTabletop();
    for (const auto& [name, removed] : cases) {
        SCOPED_TRACE(zel::xstd::toUtf8(name));
        rec::node* first = w.makeNode(name);
        tabletop->children.insert(tabletop->children.begin(), first);
        const std::int32_t before = tabletop->getNumChildren();
        EXPECT_EQ(sink->detachGeom(), removed);
        EXPECT_EQ(tabletop->getNumChildren(), removed ? before - 1 : before);
        if (!removed)
            tabletop->children.erase(tabletop->children.begin());
        EXPECT_NE(sink->model, nullptr) << "the held model is kept";
        EXPECT_EQ(sink->attachPoint, tabletop);
    }
    tabletop->children.clear();
    EXPECT_FALSE(sink->detachGeom()) << "no first child";
    rec::sinkProbe empty(&w.readerService);
    EXPECT_FALSE(empty.detachGeom()) << "no attach point";
}

TEST_F(sinkTest, attachPointChangeMovesTheModelAndKeepsItsTransform) {
    rec::node* model = placeUnderTabletop();
    model->matrix = rec::translation(1, 2, 3);
    sink->setAttachPoint(w.head);
    EXPECT_EQ(w.log, (rec::journal{"head.insertChild(geomSink -> archi.3ds,0)",
                                   "tabletop.removeChild(0)"}));
    EXPECT_EQ(w.head->getChild(0), model);
    EXPECT_EQ(tabletop->getNumChildren(), 0);
    EXPECT_EQ(sink->attachPoint, w.head);
    EXPECT_EQ(model->matrix, rec::translation(1, 2, 3));
    EXPECT_EQ(sink->getPosition(), zel::vec3(0, 0, 0)) << "nothing is read back";

    // The same parent again: inserted once more, then that first entry removed.
    w.log.clear();
    sink->setAttachPoint(w.head);
    EXPECT_EQ(w.log,
              (rec::journal{"head.insertChild(geomSink -> archi.3ds,0)", "head.removeChild(0)"}));
    EXPECT_EQ(w.head->children, std::vector<zel::sceneGraph::iSceneNode*>{model});
}

TEST_F(sinkTest, attachPointThatRefusesTheModelLeavesItWhereItWas) {
    rec::node* model = placeUnderTabletop();
    rec::node* inside = w.makeNode(u"inside");
    model->children.push_back(inside);
    sink->setAttachPoint(inside);
    EXPECT_EQ(rec::countPrefix(w.log, "tabletop.removeChild"), 0);
    EXPECT_EQ(tabletop->getChild(0), model);
    EXPECT_EQ(sink->attachPoint, tabletop);
    EXPECT_EQ(inside->getNumChildren(), 0);

    w.log.clear();
    sink->setAttachPoint(nullptr);
    EXPECT_TRUE(w.log.empty());
    EXPECT_EQ(sink->attachPoint, tabletop);
}

TEST_F(sinkTest, resetRebuildsTheLoadTimeTransformFromRotationScaleAndPosition) {
    zel::matrix4 fromFile;
    fromFile.setEuler(zel::vec3(-90.0f, 30.0f, 0.0f));
    zel::matrix4 scale;
    scale.setScale(zel::vec3(2.0f, 2.0f, 2.0f));
    fromFile = scale * fromFile * rec::translation(0.5f, -1.0f, 2.0f);
    w.readerService.files[u"archi.3ds"].matrix = fromFile;
    rec::node* model = placeUnderTabletop();
    const zel::vec3 home = sink->getPosition();

    sink->translate(0.25f, 0);
    sink->rotate(5.0f, 1);
    sink->scale(1.1f, 3);
    sink->trackballRotate(5.0f, 3, 10, 20);
    EXPECT_EQ(sink->getPosition(), home) << "transform operations leave the home position";
    w.log.clear();
    sink->resetXform();
    ASSERT_EQ(w.log.size(), 3u);
    EXPECT_EQ(w.log[0].rfind("setXform quat(", 0), 0u) << w.log[0];
    EXPECT_EQ(w.log[1], "applyXform scale(2,2,2)");
    EXPECT_EQ(w.log[2], "applyXform point(0.5,-1,2)");
    rec::expectNear(model->matrix, fromFile);
}

TEST_F(sinkTest, moveByAndScaleByComposeAndBecomeTheHome) {
    rec::node* model = placeUnderTabletop();
    sink->moveBy(1.0f, 2.0f, 3.0f);
    EXPECT_EQ(w.log, (rec::journal{"applyXform point(1,2,3)", "getXform point(0,0,0)"}));
    EXPECT_EQ(sink->getPosition(), zel::vec3(1, 2, 3));
    sink->moveBy(zel::vec3(0, 0, 0));
    EXPECT_EQ(rec::countPrefix(w.log, "applyXform point(0,0,0)"), 1) << "zero is composed too";

    w.log.clear();
    sink->scaleBy(2.0f, 2.0f, 2.0f);
    EXPECT_EQ(w.log, (rec::journal{"applyXform scale(2,2,2)", "getXform scale(1,1,1)"}));
    EXPECT_EQ(sink->getScale(), zel::vec3(2, 2, 2));
    EXPECT_EQ(model->matrix.getTranslate(), zel::vec3(1, 2, 3));

    w.log.clear();
    sink->resetXform();
    rec::expectNear(model->matrix, [] {
        zel::matrix4 m;
        m.setScale(zel::vec3(2, 2, 2));
        return m * rec::translation(1, 2, 3);
    }());
}

TEST_F(sinkTest, animationSwitchStartsAndStopsOnTheGivenPlayer) {
    sink->setAnimation(1, &w.player);
    sink->setAnimation(0, &w.player);
    sink->setAnimation(7, &w.player);
    EXPECT_EQ(w.log, (rec::journal{"startAnim(registryAnim,0)", "stopAnim(registryAnim)",
                                   "startAnim(registryAnim,0)"}));
    w.log.clear();
    sink->setAnimation(1, nullptr);
    EXPECT_TRUE(w.log.empty());

    rec::world bare;
    bare.withoutRegistryAnim();
    rec::sinkProbe without(&w.readerService);
    without.setAnimation(1, &w.player);
    without.setAnimation(0, &w.player);
    EXPECT_TRUE(w.log.empty()) << "no animation at all: neither start nor stop";
}

TEST_F(sinkTest, swappingTheModelLeavesItsAnimationPlaying) {
    rec::anim windmill(&w.log, "windmill");
    rec::anim clock(&w.log, "clock");
    w.readerService.files[u"windmill.3ds"] = {zel::matrix4(), true, &windmill};
    w.readerService.files[u"clock.3ds"] = {zel::matrix4(), true, &clock};
    rec::captureStdout quiet;
    sink->loadGeom(u"windmill.3ds", tabletop);
    sink->setAnimation(1, &w.player);
    w.log.clear();
    sink->replaceGeom(u"archi.3ds");
    EXPECT_EQ(rec::countPrefix(w.log, "stopAnim"), 0);
    EXPECT_EQ(rec::countPrefix(w.log, "startAnim"), 0);
    sink->setAnimation(0, &w.player);
    EXPECT_EQ(rec::filterPrefix(w.log, "stopAnim"), rec::journal{"stopAnim(windmill)"});
    sink->replaceGeom(u"clock.3ds");
    sink->setAnimation(1, &w.player);
    EXPECT_EQ(rec::filterPrefix(w.log, "startAnim"), rec::journal{"startAnim(clock,0)"});
}

TEST_F(sinkTest, withoutAModelEveryOperationDoesNothing) {
    rec::captureStdout quiet;
    sink->loadGeom(u"broken.3ds", tabletop);
    w.log.clear();
    sink->setAttachPoint(w.head);
    sink->resetXform();
    sink->moveBy(1, 2, 3);
    sink->scaleBy(2, 2, 2);
    sink->translate(0.25f, 0);
    sink->scale(1.1f, 3);
    sink->rotate(5.0f, 2);
    sink->rotateBy(5.0f, 5.0f, 5.0f);
    sink->trackballRotate(5.0f, 3, 3, 4);
    EXPECT_TRUE(w.log.empty());
    EXPECT_EQ(quiet.text(), "|> in loadGeom\n");
    EXPECT_EQ(sink->getPosition(), zel::vec3(0, 0, 0));
}

} // namespace
