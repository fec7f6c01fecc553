// The application object: what the constructor takes hold of and makes, what the destructor undoes,
// and deletion through each of its interface sides.
#include "app_fixture.h"

namespace {

using rec::appTest;
using zel::wstring;

std::vector<wstring> names(const std::vector<zel::sceneGraph::iSceneNode*>& nodes) {
    std::vector<wstring> out;
    for (auto* n : nodes)
        out.push_back(n ? n->getName() : u"<null>");
    return out;
}

TEST_F(appTest, constructionFillsTheRingsAndPutsTabletopFirstAmongTheAttachPoints) {
    rec::placerProbe& a = make();
    EXPECT_EQ(rec::contents(a.axisRing), (std::vector<wstring>{u"X", u"Y", u"Z", u"XYZ"}));
    EXPECT_EQ(rec::contents(a.animRing), (std::vector<wstring>{u"OFF", u"ON"}));
    EXPECT_EQ(rec::contents(a.switchRing), (std::vector<wstring>{u"OFF", u"ON"}));
    EXPECT_EQ(a.axisRing.current(), u"X");
    EXPECT_EQ(a.animRing.current(), u"OFF");
    EXPECT_EQ(a.switchRing.current(), u"OFF");
    EXPECT_TRUE(a.geomFileRing.isEmpty());

    // The navigator's children are head, wand and by now tabletop; each child's own iteration
    // (itself, then what lies below) follows in child order.
    EXPECT_EQ(names(rec::contents(a.attachRing)),
              (std::vector<wstring>{u"tabletop", u"head", u"wand", u"tabletop"}));
    ASSERT_NE(a.attachRing.current(), nullptr);
    EXPECT_EQ(a.attachRing.current()->getName(), u"tabletop");
    EXPECT_EQ(w.navigatorNode->getChild(2), a.attachRing.current());

    EXPECT_EQ(a.sgReader, &w.readerService);
    EXPECT_EQ(a.navigator, &w.nav);
    EXPECT_EQ(a.animPlayer, &w.player);
    EXPECT_EQ(a.mouseSource, &w.mouse);
    EXPECT_EQ(a.keySource, &w.keys);
    EXPECT_FALSE(a.holder);
    EXPECT_FALSE(a.geomDirectory);
    EXPECT_FALSE(a.statusWindow);
    EXPECT_FALSE(a.statusLabel);
}

TEST_F(appTest, constructionRegistersForKeysEquipsTheReaderAndPlacesTabletop) {
    make();
    ASSERT_EQ(w.keys.observers.size(), 1u);
    EXPECT_EQ(w.keys.observers[0], static_cast<zel::eventManager::iKeyObserver*>(app.get()));
    EXPECT_TRUE(w.mouse.observers.empty()) << "the mouse only while a rotation key is held";

    // One attribute of each kind: where models are found, that animations are read, where
    // textures are found.
    using namespace zel::sceneGraph::reader;
    int files = 0;
    int anims = 0;
    int textures = 0;
    for (const auto& a : w.readerService.attrs) {
        files += dynamic_cast<fileSearchAttr*>(a.get()) != nullptr;
        anims += dynamic_cast<animAttr*>(a.get()) != nullptr;
        textures += dynamic_cast<textureSearchAttr*>(a.get()) != nullptr;
    }
    EXPECT_EQ(w.readerService.attrs.size(), 3u);
    EXPECT_EQ(files, 1);
    EXPECT_EQ(anims, 1);
    EXPECT_EQ(textures, 1);

    // An empty tabletop hangs from the navigator at (0.75, -1, -2.1).
    const std::vector<rec::node*> tabletops = w.findAll(w.navigatorNode, u"tabletop");
    ASSERT_EQ(tabletops.size(), 1u);
    EXPECT_TRUE(rec::node::contains(w.navigatorNode, tabletops[0]));
    EXPECT_EQ(tabletops[0]->matrix.getTranslate(), zel::vec3(0.75f, -1.0f, -2.1f));
    EXPECT_EQ(tabletops[0]->getNumChildren(), 0);
}

TEST_F(appTest, eachApplicationMakesItsOwnTabletop) {
    make();
    rec::placerProbe second;
    EXPECT_EQ(w.findAll(w.navigatorNode, u"tabletop").size(), 2u);
    EXPECT_NE(second.attachRing.current(), app->attachRing.current());
}

TEST_F(appTest, missingServicesOnlySkipTheStepsThatNeedThem) {
    struct missingCase {
        const char* name;
        void (rec::world::*drop)();
        bool tabletop;
        bool keys;
        bool readerAttrs;
        bool client;
    };
    const std::vector<missingCase> cases = {
        {"client context", &rec::world::withoutClient, true, true, true, false},
        {"scene context", &rec::world::withoutScene, false, true, true, true},
        {"event context", &rec::world::withoutEvents, true, false, true, true},
        {"reader", &rec::world::withoutReader, true, true, false, true},
        {"navigator", &rec::world::withoutNavigator, false, true, true, true},
    };
    for (const missingCase& c : cases) {
        SCOPED_TRACE(c.name);
        rec::world local;
        (local.*c.drop)();
        {
            rec::placerProbe a;
            EXPECT_EQ(a.attachRing.isEmpty(), !c.tabletop);
            EXPECT_EQ(local.findAll(local.navigatorNode, u"tabletop").size(), c.tabletop ? 1u : 0u);
            EXPECT_EQ(rec::countPrefix(local.log, "createNode"), c.tabletop ? 1 : 0);
            EXPECT_EQ(local.keys.observers.size(), c.keys ? 1u : 0u);
            EXPECT_EQ(local.readerService.attrs.size(), c.readerAttrs ? 3u : 0u);
            EXPECT_EQ(a.mouseSource != nullptr, c.client);
            EXPECT_EQ(a.animPlayer != nullptr, c.client);
        }
        EXPECT_EQ(rec::countPrefix(local.log, "removeKeyObserver"), c.keys ? 1 : 0);
        EXPECT_TRUE(local.keys.observers.empty());
    }
}

TEST_F(appTest, destructionTakesBackEveryRegistrationAndReleasesTheWidgets) {
    rec::tempFolder folder({});
    make();
    start(folder.wide());
    down('z');
    down('z');
    down('z');
    down('v'); // mouse observer registered, "v" still held
    ASSERT_EQ(w.mouse.observers.size(), 1u);
    ASSERT_EQ(w.widgetBuilder.entries.size(), 1u);
    rec::entry* entry = w.widgetBuilder.entries[0];
    ASSERT_EQ(entry->observers.size(), 1u);
    rec::window* window = w.widgetBuilder.windows[0];
    rec::label* label = w.widgetBuilder.labels[0];
    EXPECT_EQ(window->refs, 1);
    EXPECT_EQ(label->refs, 1);
    EXPECT_EQ(entry->refs, 1);
    rec::node* model = placed();
    ASSERT_NE(model, nullptr);

    w.log.clear();
    app.reset();
    EXPECT_TRUE(w.keys.observers.empty());
    EXPECT_TRUE(w.mouse.observers.empty());
    EXPECT_TRUE(entry->observers.empty());
    EXPECT_EQ(window->refs, 0);
    EXPECT_EQ(label->refs, 0);
    EXPECT_EQ(entry->refs, 0);
    // Each registration is taken back once.
    EXPECT_EQ(rec::countPrefix(w.log, "removeKeyObserver"), 1);
    EXPECT_EQ(rec::countPrefix(w.log, "removeMouseObserver"), 1);
    EXPECT_EQ(rec::countPrefix(w.log, "entry.removeEntryObserver"), 1);

    // The model and the tabletop stay in the scene.
    const auto tabletops = w.findAll(w.navigatorNode, u"tabletop");
    ASSERT_EQ(tabletops.size(), 1u);
    EXPECT_EQ(tabletops[0]->getChild(0), model);
}

TEST_F(appTest, destructionWithoutMouseRegistrationRemovesNoMouseObserver) {
    make();
    w.log.clear();
    app.reset();
    EXPECT_TRUE(w.keys.observers.empty());
    EXPECT_EQ(rec::countPrefix(w.log, "removeMouseObserver"), 0);
}

TEST_F(appTest, deletionThroughEachInterfaceSideDestroysTheWholeObjectOnce) {
    using deleter = void (*)(rec::placerProbe*);
    const std::vector<std::pair<const char*, deleter>> sides = {
        {"iApplication",
         [](rec::placerProbe* p) { delete static_cast<zel::application::iApplication*>(p); }},
        {"iKeyObserver",
         [](rec::placerProbe* p) { delete static_cast<zel::eventManager::iKeyObserver*>(p); }},
        {"iMouseObserver",
         [](rec::placerProbe* p) { delete static_cast<zel::sceneGraph::iMouseObserver*>(p); }},
        {"iEntryObserver",
         [](rec::placerProbe* p) { delete static_cast<zel::widget::iEntryObserver*>(p); }},
    };
    for (const auto& [side, destroy] : sides) {
        SCOPED_TRACE(side);
        rec::placerProbe::destroyed = 0;
        w.log.clear();
        destroy(new rec::placerProbe);
        EXPECT_EQ(rec::placerProbe::destroyed, 1);
        EXPECT_EQ(rec::countPrefix(w.log, "removeKeyObserver"), 1);
        EXPECT_TRUE(w.keys.observers.empty());
    }
}

TEST_F(appTest, theOperationLeftAtItsDefaultDoesNothing) {
    make();
    w.log.clear();
    rec::captureStdout out;
    static_cast<zel::application::iApplication*>(app.get())->onNotify(
        zel::application::applicationEvent(&w.handle));
    EXPECT_EQ(out.text(), "");
    EXPECT_TRUE(w.log.empty());
}

} // namespace
