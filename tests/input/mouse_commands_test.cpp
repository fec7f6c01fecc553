// Mouse commands: the trackball while the axis mode is "XYZ", and the trace lines.
#include "input_fixture.h"

namespace {

using rec::inputTest;
using zel::sceneGraph::mouseEvent;

using mouseHandler = void (propplacer::propPlacer::*)(mouseEvent*);

class mouseTest : public inputTest {
protected:
    void send(mouseHandler h, mouseEvent e) { (app.get()->*h)(&e); }
};

TEST_F(mouseTest, buttonEventsOutsideXyzModeDoNothing) {
    for (const wchar_t* mode : {L"X", L"Y", L"Z"}) {
        SCOPED_TRACE(std::string(1, static_cast<char>(mode[0])));
        toAxis(zel::wstring(1, static_cast<char16_t>(mode[0])));
        rec::captureStdout out;
        send(&propplacer::propPlacer::onMouseDown,
             mouseEvent(zel::sceneGraph::DOWN, zel::sceneGraph::LEFT, 3, 4));
        send(&propplacer::propPlacer::onMouseDrag,
             mouseEvent(zel::sceneGraph::DRAG, zel::sceneGraph::LEFT, 3, 4));
        EXPECT_EQ(out.text(), "");
        EXPECT_TRUE(w.log.empty());
    }
}

TEST_F(mouseTest, everyButtonEventInXyzModeTracesOneLineAndTurnsOnce) {
    struct buttonCase {
        const char* name;
        mouseHandler handler;
        mouseEvent event;
        std::string trace;
    };
    const std::vector<buttonCase> cases = {
        {"down, left", &propplacer::propPlacer::onMouseDown,
         mouseEvent(zel::sceneGraph::DOWN, zel::sceneGraph::LEFT, 3, 4),
         "|> In onMouseDown(): The 1 button is DOWN; type = 1\n"},
        {"down, right", &propplacer::propPlacer::onMouseDown,
         mouseEvent(zel::sceneGraph::DOWN, zel::sceneGraph::RIGHT, 300, 40),
         "|> In onMouseDown(): The 3 button is DOWN; type = 1\n"},
        {"drag, middle", &propplacer::propPlacer::onMouseDrag,
         mouseEvent(zel::sceneGraph::DRAG, zel::sceneGraph::MIDDLE, -5, 0),
         "|> In onMouseDown(): The 2 button is DOWN; type = 3\n"},
    };
    toAxis(u"XYZ");
    for (const buttonCase& c : cases) {
        SCOPED_TRACE(c.name);
        model->setMatrices.clear();
        w.log.clear();
        rec::captureStdout out;
        send(c.handler, c.event);
        EXPECT_EQ(out.text(), c.trace);
        EXPECT_EQ(out.flushes(), 0) << "a plain newline, no flush";
        EXPECT_EQ(w.log, (rec::journal{"getXform matrix", "setXform matrix"}));
        EXPECT_EQ(model->setMatrices.size(), 1u);
    }
}

TEST_F(mouseTest, theTurnIsTheHoldersTrackballStepAtThePointer) {
    toAxis(u"XYZ");
    rec::node* twin = w.makeNode(u"twin");
    rec::sinkProbe reference(&w.readerService);
    reference.model = twin;
    send(&propplacer::propPlacer::onMouseDrag,
         mouseEvent(zel::sceneGraph::DRAG, zel::sceneGraph::LEFT, 3, 4));
    reference.trackballRotate(5.0f, 3, 3, 4);
    ASSERT_EQ(model->setMatrices.size(), 1u);
    ASSERT_EQ(twin->setMatrices.size(), 1u);
    EXPECT_EQ(model->setMatrices[0], twin->setMatrices[0]);
    EXPECT_NE(model->setMatrices[0], zel::matrix4());
}

TEST_F(mouseTest, aButtonEventWithoutPositionIsTracedButTurnsNothing) {
    toAxis(u"XYZ");
    rec::captureStdout out;
    send(&propplacer::propPlacer::onMouseDown,
         mouseEvent(zel::sceneGraph::DOWN, zel::sceneGraph::LEFT));
    EXPECT_EQ(out.text(), "|> In onMouseDown(): The 1 button is DOWN; type = 1\n");
    EXPECT_TRUE(w.log.empty());
}

TEST_F(mouseTest, wheelEventsAreTracedInEveryModeAndNeverTurn) {
    for (const char16_t* mode : {u"X", u"XYZ"}) {
        toAxis(mode);
        rec::captureStdout out;
        send(&propplacer::propPlacer::onMouseWheelDelta,
             mouseEvent::wheel(zel::sceneGraph::VERTICAL, -240));
        send(&propplacer::propPlacer::onMouseWheelDelta,
             mouseEvent::wheel(zel::sceneGraph::HORIZONTAL, 120));
        EXPECT_EQ(out.text(), "|> In onMouseWheelDelta(): The mouse wheel delta is now -240\n"
                              "|> In onMouseWheelDelta(): The mouse wheel delta is now 0\n");
        EXPECT_EQ(out.flushes(), 0);
        EXPECT_TRUE(w.log.empty());
    }
}

TEST_F(mouseTest, moveDoesNothingInEveryMode) {
    for (const char16_t* mode : {u"X", u"XYZ"}) {
        toAxis(mode);
        rec::captureStdout out;
        send(&propplacer::propPlacer::onMouseMove,
             mouseEvent(zel::sceneGraph::MOVE, zel::sceneGraph::NONE, 3, 4));
        EXPECT_EQ(out.text(), "");
        EXPECT_TRUE(w.log.empty());
    }
}

TEST_F(mouseTest, keyAndMouseTogetherTurnOnlyWhileVIsHeld) {
    toAxis(u"XYZ");
    zel::eventManager::keyEvent v('v');
    app->onKeyDown(&v);
    ASSERT_EQ(w.mouse.observers.size(), 1u);
    rec::captureStdout out;
    mouseEvent drag(zel::sceneGraph::DRAG, zel::sceneGraph::LEFT, 10, 10);
    for (auto* observer : w.mouse.observers)
        observer->onMouseDrag(&drag);
    app->onKeyUp(&v);
    for (auto* observer : w.mouse.observers)
        observer->onMouseDrag(&drag);
    EXPECT_EQ(out.text(), "|> In onMouseDown(): The 1 button is DOWN; type = 3\n");
    EXPECT_EQ(model->setMatrices.size(), 1u);
}

class mouseBeforeStart : public rec::appTest {};

TEST_F(mouseBeforeStart, buttonEventsWithoutHolderOnlyTrace) {
    make();
    app->axisRing.previous();
    rec::captureStdout out;
    mouseEvent down(zel::sceneGraph::DOWN, zel::sceneGraph::LEFT, 3, 4);
    app->onMouseDown(&down);
    EXPECT_EQ(out.text(), "|> In onMouseDown(): The 1 button is DOWN; type = 1\n");
}

} // namespace
