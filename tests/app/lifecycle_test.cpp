// Activation, deactivation and stop; the entry's notifications.
#include "app_fixture.h"

namespace {

using rec::appTest;
using zel::wstring;

const zel::application::applicationEvent noEvent;

TEST_F(appTest, activationConnectsTheWindowEachTimeWithMaskFour) {
    rec::tempFolder folder({});
    make();
    start(folder.wide());
    w.log.clear();
    rec::captureStdout out;
    app->onActivate(noEvent);
    app->onActivate(noEvent);
    app->onDeactivate(noEvent);
    EXPECT_EQ(out.text(), "propPlacer::onActivate() Adding observers.\n"
                          "propPlacer::onActivate() Adding observers.\n"
                          "propPlacer::onDeactivate() Removing observers.\n");
    EXPECT_EQ(w.log, (rec::journal{"window.connectEvents(source,4)",
                                   "window.connectEvents(source,4)", "window.disconnectEvents()"}));
}

TEST_F(appTest, activationWithoutEventContextOnlyTraces) {
    rec::tempFolder folder({});
    make();
    start(folder.wide());
    w.withoutEvents();
    w.log.clear();
    rec::captureStdout out;
    app->onActivate(noEvent);
    EXPECT_EQ(out.text(), "propPlacer::onActivate() Adding observers.\n");
    EXPECT_TRUE(w.log.empty());
}

TEST_F(appTest, stopReleasesTheWindowAndTheListingOnce) {
    rec::tempFolder folder({});
    make();
    start(folder.wide());
    rec::window* window = w.widgetBuilder.windows.at(0);
    rec::node* model = placed();
    ASSERT_EQ(window->refs, 1);
    w.log.clear();
    rec::captureStdout out;
    app->onStop(noEvent);
    EXPECT_EQ(out.take(), "propPlacer::onStop() Cleaning up.\n");
    EXPECT_EQ(window->refs, 0);
    EXPECT_FALSE(app->statusWindow);
    EXPECT_FALSE(app->geomDirectory);
    EXPECT_TRUE(app->statusLabel) << "the label is kept until the object goes";
    EXPECT_EQ(placed(), model);
    EXPECT_TRUE(w.log.empty()) << "the model stays in the scene";

    app->onStop(noEvent);
    app->onActivate(noEvent);
    app->onDeactivate(noEvent);
    EXPECT_EQ(out.take(), "propPlacer::onStop() Cleaning up.\n"
                          "propPlacer::onActivate() Adding observers.\n"
                          "propPlacer::onDeactivate() Removing observers.\n");
    EXPECT_EQ(window->refs, 0);
    EXPECT_TRUE(w.log.empty());
}

TEST_F(appTest, stopWithoutWindowStillDeletesTheListing) {
    w.withoutStyles();
    rec::tempFolder folder({});
    make();
    start(folder.wide());
    ASSERT_FALSE(app->statusWindow);
    ASSERT_TRUE(app->geomDirectory);
    rec::captureStdout out;
    app->onStop(noEvent);
    EXPECT_EQ(out.text(), "propPlacer::onStop() Cleaning up.\n");
    EXPECT_FALSE(app->geomDirectory);
}

TEST_F(appTest, lifecycleBeforeStartOnlyTraces) {
    make();
    w.log.clear();
    rec::captureStdout out;
    app->onActivate(noEvent);
    app->onDeactivate(noEvent);
    app->onStop(noEvent);
    EXPECT_EQ(out.text(), "propPlacer::onActivate() Adding observers.\n"
                          "propPlacer::onDeactivate() Removing observers.\n"
                          "propPlacer::onStop() Cleaning up.\n");
    EXPECT_TRUE(w.log.empty());
}

TEST_F(appTest, entryNotificationsWriteTheirTraceLinesAndChangeNothing) {
    rec::tempFolder folder({"a.3ds"});
    make();
    start(folder.wide());
    rec::entry* entry = w.widgetBuilder.entries.at(0);
    const wstring label = app->statusLabel->getText();
    w.log.clear();

    struct entryCase {
        const char* name;
        std::function<void()> notify;
        std::string trace;
    };
    const std::vector<entryCase> cases = {
        {"enter with the address start-up put there",
         [&] { app->onEntry(zel::widget::entryEvent(entry)); },
         "|--> In onEntry(): enter key pressed \n"
         "|    http://www.example.org/propplacer/geoms.zip\n"},
        {"enter with non-ASCII text",
         [&] {
             entry->text = u"Gr\u00FC\u00DFe \U0001F600";
             app->onEntry(zel::widget::entryEvent(entry));
         },
         "|--> In onEntry(): enter key pressed \n|    Gr\xC3\xBC\xC3\x9F"
         "e \xF0\x9F\x98\x80\n"},
        {"enter with an empty entry",
         [&] {
             entry->text.clear();
             app->onEntry(zel::widget::entryEvent(entry));
         },
         "|--> In onEntry(): enter key pressed \n|    \n"},
        {"text", [&] { app->onText(zel::widget::textEvent(entry, u"x")); }, "|---> In onText() \n"},
        {"bounds", [&] { app->onViewableBounds(zel::widget::boundsEvent(entry, 10, 20)); },
         "|--> In onViewableBounds(): vKivra Status window changed size\n"},
    };
    for (const entryCase& c : cases) {
        SCOPED_TRACE(c.name);
        rec::captureStdout out;
        c.notify();
        EXPECT_EQ(out.text(), c.trace);
    }
    EXPECT_EQ(rec::filterPrefix(w.log, "entry.set"), rec::journal{}) << "nothing writes back";
    EXPECT_EQ(app->statusLabel->getText(), label);
    EXPECT_EQ(rec::countPrefix(w.log, "label.setText"), 0);
    EXPECT_EQ(rec::countPrefix(w.log, "readFile"), 0);
    EXPECT_EQ(app->geomFileRing.currentIndex(), 0);
}

// Lifecycle and loader lines and the echo of the entry go to the wide stream; interaction lines to
// the narrow one.
TEST_F(appTest, eachTraceLineGoesToItsOwnStream) {
    rec::tempFolder folder({});
    make();
    rec::splitStreams streams;
    start(folder.wide());
    app->onActivate(noEvent);
    rec::entry* entry = w.widgetBuilder.entries.at(0);
    app->onEntry(zel::widget::entryEvent(entry));
    app->onText(zel::widget::textEvent(entry, u""));
    app->onViewableBounds(zel::widget::boundsEvent(entry, 1, 1));
    app->axisRing.previous();
    zel::sceneGraph::mouseEvent click(zel::sceneGraph::DOWN, zel::sceneGraph::LEFT, 1, 1);
    app->onMouseDown(&click);
    zel::sceneGraph::mouseEvent wheel =
        zel::sceneGraph::mouseEvent::wheel(zel::sceneGraph::VERTICAL, 120);
    app->onMouseWheelDelta(&wheel);
    app->onDeactivate(noEvent);
    app->onStop(noEvent);
    EXPECT_EQ(streams.wide(), L"propPlacer - onStart\n"
                              L"|> in loadGeom\n"
                              L"propPlacer::onActivate() Adding observers.\n"
                              L"|    http://www.example.org/propplacer/geoms.zip\n"
                              L"propPlacer::onDeactivate() Removing observers.\n"
                              L"propPlacer::onStop() Cleaning up.\n");
    EXPECT_EQ(streams.narrow(), "1\n"
                                "|--> In onEntry(): enter key pressed \n"
                                "|---> In onText() \n"
                                "|--> In onViewableBounds(): vKivra Status window changed size\n"
                                "|> In onMouseDown(): The 1 button is DOWN; type = 1\n"
                                "|> In onMouseWheelDelta(): The mouse wheel delta is now 120\n");
}

} // namespace
