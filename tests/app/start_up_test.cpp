// Start-up: profile, search path, geometry catalogue, reader attributes, the first model, the
// status window; the status text; a second start.
#include "app_fixture.h"

#include <locale>

namespace {

using rec::appTest;
using zel::wstring;

const std::string url = "http://www.example.org/propplacer/geoms.zip";

TEST_F(appTest, startTracesLoadsArchiUnderTabletopAndShowsTheEntry) {
    rec::tempFolder folder({"house.3ds"});
    make();
    rec::captureStdout out;
    start(folder.wide());
    EXPECT_EQ(out.text(), "propPlacer - onStart\n|> in loadGeom\n1\n");

    rec::node* model = placed();
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->getName(), u"geomSink -> archi.3ds");
    EXPECT_EQ(app->attachRing.current()->getChild(0), model);
    EXPECT_EQ(rec::filterPrefix(w.log, "readFile"), (rec::journal{"readFile(archi.3ds)"}));
}

TEST_F(appTest, catalogueKeepsDirectoryOrderOfNamesContainingDot3dEitherCase) {
    rec::tempFolder folder(
        {"house.3ds", "HOUSE.3DS", "x.3Ds", "old.3d.bak", "floor.obj", "model.3", "a.3D"});
    make();
    start(folder.wide());
    if (folder.namesAreCaseSensitive()) {
        // The listing is sorted by code units, upper case first.
        EXPECT_EQ(
            rec::contents(app->geomFileRing),
            (std::vector<wstring>{u"HOUSE.3DS", u"a.3D", u"house.3ds", u"old.3d.bak", u"x.3Ds"}));
        // The catalogue's first name is shown although the model loaded is archi.3ds.
        EXPECT_EQ(app->statusLabel->getText().substr(0, 34),
                  u"Axis Mode: X\nGeom File: HOUSE.3DS\n");
    } else {
        // Where the file system ignores case (Windows), HOUSE.3DS opened house.3ds again: one file,
        // under the name it was made with.
        EXPECT_EQ(rec::contents(app->geomFileRing),
                  (std::vector<wstring>{u"a.3D", u"house.3ds", u"old.3d.bak", u"x.3Ds"}));
        EXPECT_EQ(app->statusLabel->getText().substr(0, 29), u"Axis Mode: X\nGeom File: a.3D\n");
    }
    EXPECT_EQ(app->geomFileRing.currentIndex(), 0);
}

TEST_F(appTest, profileAndSearchPathComeFromTheApplicationHandle) {
    rec::tempFolder folder({});
    make();
    start(folder.wide());
    ASSERT_EQ(w.handle.profiles.size(), 1u);
    EXPECT_EQ(w.handle.profiles[0].getName(), u"KIVRAApp");
    EXPECT_FALSE(w.handle.profiles[0].getDescription().empty());
    EXPECT_EQ(rec::filterPrefix(w.log, "setProfile").size() +
                  rec::filterPrefix(w.log, "getSearchPath").size(),
              2u);
    EXPECT_LT(std::find(w.log.begin(), w.log.end(), "setProfile"),
              std::find(w.log.begin(), w.log.end(), "getSearchPath"));
    EXPECT_EQ(app->appSearchPath.getFolders(), std::vector<wstring>{folder.wide()});
    ASSERT_TRUE(app->geomDirectory);
    EXPECT_EQ(app->geomDirectory->getName(), folder.wide());
}

TEST_F(appTest, everyReaderAttributeOfEachKindIsConfiguredBeforeTheFirstLoad) {
    using namespace zel::sceneGraph::reader;
    // Attributes already on the reader, mixed with foreign ones, are found as well.
    struct foreign : zel::xstd::attr {};
    w.readerService.addAttribute(new fileSearchAttr);
    w.readerService.addAttribute(new foreign);
    w.readerService.addAttribute(new textureSearchAttr);
    rec::tempFolder folder({});
    make();
    start(folder.wide());

    int files = 0;
    int anims = 0;
    int textures = 0;
    for (const auto& a : w.readerService.attrs) {
        if (auto* f = dynamic_cast<fileSearchAttr*>(a.get())) {
            ++files;
            EXPECT_EQ(f->getSearchPath().getFolders(), std::vector<wstring>{folder.wide()});
        } else if (auto* t = dynamic_cast<textureSearchAttr*>(a.get())) {
            ++textures;
            EXPECT_EQ(t->getSearchPath().getFolders(), std::vector<wstring>{folder.wide()});
        } else if (auto* n = dynamic_cast<animAttr*>(a.get())) {
            ++anims;
            EXPECT_TRUE(n->getEnable());
        }
    }
    EXPECT_EQ(files, 2);
    EXPECT_EQ(textures, 2);
    EXPECT_EQ(anims, 1);
    EXPECT_EQ(w.readerService.attributeWalks, 3);
    ASSERT_EQ(w.readerService.searchPathAtRead.size(), 1u);
    EXPECT_EQ(w.readerService.searchPathAtRead[0], folder.path().string() + ";");
}

TEST_F(appTest, statusWindowIsBuiltInOrder) {
    rec::tempFolder folder({});
    make();
    start(folder.wide());
    rec::journal widgets;
    for (const std::string& e : w.log)
        if (e.rfind("build", 0) == 0 || e.rfind("complete", 0) == 0 || e.rfind("window.", 0) == 0 ||
            e.rfind("label.", 0) == 0 || e.rfind("entry.", 0) == 0)
            widgets.push_back(e);
    EXPECT_EQ(widgets, (rec::journal{"build(window)",
                                     "complete(window)",
                                     "window.setPacker(packer)",
                                     "window.setTitle(vKivra Status)",
                                     "window.setFrameStyle(0)",
                                     "window.setFrameMode(0,1)",
                                     "build(label)",
                                     "complete(label)",
                                     "label.setSpec(wrap=0)",
                                     "label.addAttr(fill=3 int)",
                                     "label.addAttr(expand=1 bool)",
                                     "window.addWidget(label)",
                                     "label.setText",
                                     "build(entry)",
                                     "complete(entry)",
                                     "entry.setSpec(wrap=0)",
                                     "entry.addAttr(fill=3 int)",
                                     "entry.addAttr(expand=1 bool)",
                                     "window.addWidget(entry)",
                                     "entry.setText(" + url + ")",
                                     "entry.addEntryObserver"}));
    EXPECT_EQ(w.widgetBuilder.refs, 0) << "the builder is released at the end";
    rec::window* window = w.widgetBuilder.windows.at(0);
    EXPECT_EQ(window->packer, &w.thePacker);
    EXPECT_EQ(app->statusWindow.get(), window);
    EXPECT_EQ(app->statusLabel.get(), w.widgetBuilder.labels.at(0));
    EXPECT_EQ(w.widgetBuilder.entries.at(0)->observers,
              std::vector<zel::widget::iEntryObserver*>{app.get()});
}

TEST_F(appTest, missingWidgetServicesLeaveTheModelPlaced) {
    struct missingCase {
        const char* name;
        std::function<void(rec::world&)> drop;
        std::string trace;
        std::vector<std::string> added; // what the window gets
        bool label;
    };
    const std::vector<missingCase> cases = {
        {"no styles context",
         [](rec::world& x) { x.withoutStyles(); },
         "propPlacer - onStart\n|> in loadGeom\n",
         {},
         false},
        {"no builder",
         [](rec::world& x) { x.styles.setBuilder(nullptr); },
         "propPlacer - onStart\n|> in loadGeom\n",
         {},
         false},
        {"no window",
         [](rec::world& x) { x.widgetBuilder.refused = {"window"}; },
         "propPlacer - onStart\n|> in loadGeom\n",
         {},
         false},
        {"no packer",
         [](rec::world& x) { x.withoutPacker(); },
         "propPlacer - onStart\n|> in loadGeom\n",
         {},
         false},
        {"no label",
         [](rec::world& x) { x.widgetBuilder.refused = {"label"}; },
         "propPlacer - onStart\n|> in loadGeom\n1\n",
         {"window.addWidget(entry)"},
         false},
        {"no entry",
         [](rec::world& x) { x.widgetBuilder.refused = {"entry"}; },
         "propPlacer - onStart\n|> in loadGeom\n0\n",
         {"window.addWidget(label)"},
         true},
    };
    for (const missingCase& c : cases) {
        SCOPED_TRACE(c.name);
        rec::world local;
        local.readerService.files[u"archi.3ds"] = {};
        c.drop(local);
        rec::tempFolder folder({});
        {
            rec::placerProbe a;
            rec::captureStdout out;
            local.handle.path = zel::xstd::searchPath({folder.wide()});
            a.onStart(zel::application::applicationEvent(&local.handle));
            EXPECT_EQ(out.text(), c.trace);
            EXPECT_EQ(local.findAll(local.navigatorNode, u"geomSink -> archi.3ds").size(), 1u);
            EXPECT_EQ(rec::filterPrefix(local.log, "window.addWidget"), c.added);
            EXPECT_EQ(static_cast<bool>(a.statusLabel), c.label);
            EXPECT_EQ(local.widgetBuilder.refs, 0);
        }
        for (rec::window* window : local.widgetBuilder.windows)
            EXPECT_EQ(window->refs, 0);
    }
}

TEST_F(appTest, statusTextShowsFiveLinesWithCutsAndNoFinalLineEnd) {
    rec::tempFolder folder({"abcdefghijkl.3ds"});
    zel::matrix4 at;
    at.setTranslate(zel::vec3(0.75f, -2.1f, 1234567.0f));
    w.readerService.files[u"archi.3ds"].matrix = at;
    make();
    start(folder.wide());
    EXPECT_EQ(app->buildStatusText(), u"Axis Mode: X\n"
                                      u"Geom File: abcdefghi\n"
                                      u"Attach Pt: tabletop\n"
                                      u"Animation: OFF\n"
                                      u"Postion  : [0.75, -2.1, 1.23457e+06]");
    EXPECT_EQ(app->statusLabel->getText(), app->buildStatusText());

    app->attachRing.current()->setName(u"tabletop-of-nine");
    app->axisRing.previous();
    app->animRing.next();
    EXPECT_EQ(app->buildStatusText(), u"Axis Mode: XYZ\n"
                                      u"Geom File: abcdefghi\n"
                                      u"Attach Pt: tabletop-\n"
                                      u"Animation: ON\n"
                                      u"Postion  : [0.75, -2.1, 1.23457e+06]");
}

TEST_F(appTest, statusTextWithoutGeometryFilesHasAnEmptyFileLine) {
    rec::tempFolder folder({"archi.3ds"}); // contains ".3d": accepted, nine characters, shown whole
    rec::tempFolder empty({"readme.txt"});
    make();
    start(empty.wide());
    EXPECT_EQ(app->buildStatusText(), u"Axis Mode: X\nGeom File: \nAttach Pt: tabletop\n"
                                      u"Animation: OFF\nPostion  : [0, 0, 0]");
    rec::placerProbe other;
    w.handle.path = zel::xstd::searchPath({folder.wide()});
    other.onStart(zel::application::applicationEvent(&w.handle));
    EXPECT_EQ(other.buildStatusText().substr(0, 34), u"Axis Mode: X\nGeom File: archi.3ds\n");
}

// A global locale that writes decimal commas must not reach the status text.
TEST_F(appTest, statusTextNumbersIgnoreTheGlobalLocale) {
    struct commaPoint : std::numpunct<wchar_t> {
        wchar_t do_decimal_point() const override { return L','; }
        wchar_t do_thousands_sep() const override { return L'.'; }
        std::string do_grouping() const override { return "\3"; }
    };
    zel::matrix4 at;
    at.setTranslate(zel::vec3(0.75f, -1234.5f, 0.0f));
    w.readerService.files[u"archi.3ds"].matrix = at;
    rec::tempFolder folder({});
    make();
    start(folder.wide());
    const std::locale previous =
        std::locale::global(std::locale(std::locale::classic(), new commaPoint));
    const wstring text = app->buildStatusText();
    std::locale::global(previous);
    EXPECT_EQ(text.substr(text.find(u"Postion")), u"Postion  : [0.75, -1234.5, 0]");
}

TEST_F(appTest, startWithoutNavigatorMakesTheHolderButLoadsNothing) {
    w.withoutNavigator();
    rec::tempFolder folder({"house.3ds"});
    make();
    rec::captureStdout out;
    start(folder.wide());
    EXPECT_EQ(out.text(), "propPlacer - onStart\n1\n");
    EXPECT_TRUE(app->holder);
    EXPECT_EQ(placed(), nullptr);
    EXPECT_EQ(rec::countPrefix(w.log, "readFile"), 0);
    EXPECT_EQ(app->statusLabel->getText(), u"Axis Mode: X\nGeom File: house.3ds\nAttach Pt: \n"
                                           u"Animation: OFF\nPostion  : [0, 0, 0]");
}

TEST_F(appTest, startWithoutApplicationHandleListsNothing) {
    make();
    rec::captureStdout out;
    app->onStart(zel::application::applicationEvent(nullptr));
    EXPECT_EQ(out.text(), "propPlacer - onStart\n|> in loadGeom\n1\n");
    EXPECT_TRUE(app->geomFileRing.isEmpty());
    EXPECT_NE(placed(), nullptr);
}

TEST_F(appTest, secondStartRebuildsEverythingAndLetsGoOfTheEarlierWidgets) {
    rec::tempFolder folder({"a.3ds", "b.3ds"});
    make();
    start(folder.wide());
    rec::node* firstModel = placed();
    rec::window* firstWindow = w.widgetBuilder.windows.at(0);
    rec::label* firstLabel = w.widgetBuilder.labels.at(0);
    rec::entry* firstEntry = w.widgetBuilder.entries.at(0);

    rec::captureStdout out;
    start(folder.wide());
    EXPECT_EQ(out.text(), "propPlacer - onStart\n|> in loadGeom\n1\n");
    EXPECT_EQ(rec::contents(app->geomFileRing),
              (std::vector<wstring>{u"a.3ds", u"b.3ds", u"a.3ds", u"b.3ds"}));
    EXPECT_NE(app->holder.get(), nullptr);
    EXPECT_NE(placed(), firstModel);

    // The earlier model stays where it was; the new one goes first under the same attach point.
    rec::node* tabletop = dynamic_cast<rec::node*>(app->attachRing.current());
    ASSERT_EQ(tabletop->getNumChildren(), 2);
    EXPECT_EQ(tabletop->getChild(0), placed());
    EXPECT_EQ(tabletop->getChild(1), firstModel);

    EXPECT_EQ(firstWindow->refs, 0);
    EXPECT_EQ(firstLabel->refs, 0);
    EXPECT_EQ(firstEntry->refs, 0);
    EXPECT_TRUE(firstEntry->observers.empty());
    EXPECT_EQ(app->statusWindow.get(), w.widgetBuilder.windows.at(1));
    EXPECT_EQ(app->statusLabel.get(), w.widgetBuilder.labels.at(1));
    EXPECT_EQ(w.widgetBuilder.entries.at(1)->observers.size(), 1u);
}

} // namespace
