// Key and mouse delivery: order of registration, snapshots, removal during delivery, and the mouse
// handler chosen by the event's type.
#include "test_support.h"

#include <zel/world/world.h>

#include <functional>
#include <utility>

using zel::eventManager::iKeyObserver;
using zel::eventManager::keyEvent;
using zel::sceneGraph::iMouseObserver;
using zel::sceneGraph::mouseEvent;

namespace {

struct keyLog : iKeyObserver {
    keyLog(std::string name, std::vector<std::string>& log) : name_(std::move(name)), log_(log) {}
    std::function<void()> during;
    void onKeyDown(keyEvent* e) override { note("down", e); }
    void onKeyUp(keyEvent* e) override { note("up", e); }
    void onKeyPress(keyEvent* e) override { note("press", e); }

private:
    void note(const char* what, keyEvent* e) {
        log_.push_back(name_ + " " + what + " " +
                       std::string(1, static_cast<char>(e->getEventKey())));
        if (during)
            during();
    }
    std::string name_;
    std::vector<std::string>& log_;
};

struct mouseLog : iMouseObserver {
    std::vector<std::string> log;
    std::function<void()> during;
    void onMouseMove(mouseEvent* e) override { note("move", e); }
    void onMouseDown(mouseEvent* e) override { note("down", e); }
    void onMouseDrag(mouseEvent* e) override { note("drag", e); }
    void onMouseWheelDelta(mouseEvent* e) override {
        log.push_back("wheel " + std::to_string(e->getMouseWheelDelta(zel::sceneGraph::VERTICAL)));
        if (during)
            during();
    }

private:
    void note(const char* what, mouseEvent* e) {
        int x = -1, y = -1;
        const bool at = e->getMouseWinPos(x, y);
        log.push_back(std::string(what) + " " + std::to_string(e->getEventButton()) +
                      (at ? " " + std::to_string(x) + "," + std::to_string(y) : " nopos"));
        if (during)
            during();
    }
};

} // namespace

TEST(keys, DeliveredInRegistrationOrder) {
    zel::world::world world;
    zel::eventManager::iKeySource* keys = world.getEventContext()->getKeySource();
    std::vector<std::string> log;
    keyLog a("a", log), b("b", log);
    EXPECT_TRUE(keys->addKeyObserver(&b));
    EXPECT_TRUE(keys->addKeyObserver(&a));
    EXPECT_FALSE(keys->addKeyObserver(&a));
    EXPECT_FALSE(keys->addKeyObserver(nullptr));
    EXPECT_TRUE(keys->hasKeyObserver(&a));
    world.keyDown('x');
    world.keyPress('x');
    world.keyUp('X');
    EXPECT_EQ(log, (std::vector<std::string>{"b down x", "a down x", "b press x", "a press x",
                                             "b up X", "a up X"}));
    EXPECT_TRUE(keys->removeKeyObserver(&b));
    EXPECT_FALSE(keys->removeKeyObserver(&b));
    EXPECT_FALSE(keys->hasKeyObserver(&b));
    log.clear();
    world.keyDown('y');
    EXPECT_EQ(log, std::vector<std::string>{"a down y"});
}

TEST(keys, ObserverListMayChangeDuringDelivery) {
    zel::world::world world;
    zel::eventManager::iKeySource* keys = world.getEventContext()->getKeySource();
    std::vector<std::string> log;
    auto first = std::make_unique<keyLog>("first", log);
    auto second = std::make_unique<keyLog>("second", log);
    keyLog third("third", log), late("late", log);
    keys->addKeyObserver(first.get());
    keys->addKeyObserver(second.get());
    keys->addKeyObserver(&third);
    // The first handler removes and deletes the second (an application that ends itself) and
    // adds a late observer; the second must not be called, the late one waits for the next key.
    bool once = true;
    first->during = [&] {
        if (!std::exchange(once, false))
            return;
        keys->removeKeyObserver(second.get());
        second.reset();
        keys->addKeyObserver(&late);
    };
    world.keyDown('k');
    EXPECT_EQ(log, (std::vector<std::string>{"first down k", "third down k"}));
    log.clear();
    world.keyUp('k');
    EXPECT_EQ(log, (std::vector<std::string>{"first up k", "third up k", "late up k"}));
    keys->removeKeyObserver(first.get());
    keys->removeKeyObserver(&third);
    keys->removeKeyObserver(&late);
}

TEST(mouse, EachEventTypeReachesItsHandler) {
    zel::world::world world;
    zel::sceneGraph::iMouseSource* mice = world.getClientContext()->getView()->getMouseSource();
    mouseLog m;
    ASSERT_TRUE(mice->addMouseObserver(&m));
    EXPECT_FALSE(mice->addMouseObserver(&m));
    EXPECT_TRUE(mice->hasMouseObserver(&m));
    world.mouse(mouseEvent(zel::sceneGraph::DOWN, zel::sceneGraph::LEFT, 10, 20));
    world.mouse(mouseEvent(zel::sceneGraph::DRAG, zel::sceneGraph::LEFT, 11, 21));
    world.mouse(mouseEvent(zel::sceneGraph::UP, zel::sceneGraph::LEFT, 11, 21));
    world.mouse(mouseEvent(zel::sceneGraph::MOVE, zel::sceneGraph::NONE, 12, 22));
    world.mouse(mouseEvent(zel::sceneGraph::DOWN, zel::sceneGraph::RIGHT));
    world.mouse(mouseEvent::wheel(zel::sceneGraph::VERTICAL, -120));
    EXPECT_EQ(m.log, (std::vector<std::string>{"down 1 10,20", "drag 1 11,21", "move 0 12,22",
                                               "down 3 nopos", "wheel -120"}));
    EXPECT_TRUE(mice->removeMouseObserver(&m));
    world.mouse(mouseEvent(zel::sceneGraph::DOWN, zel::sceneGraph::LEFT, 1, 1));
    EXPECT_EQ(m.log.size(), 5u);
}

TEST(mouse, KeyHandlerMayTurnTheMouseObserverOnAndOff) {
    zel::world::world world;
    zel::sceneGraph::iMouseSource* mice = world.getClientContext()->getView()->getMouseSource();
    mouseLog trackball, other;
    mice->addMouseObserver(&trackball);
    mice->addMouseObserver(&other);
    trackball.during = [&] { mice->removeMouseObserver(&other); };
    world.mouse(mouseEvent(zel::sceneGraph::MOVE, zel::sceneGraph::NONE, 1, 2));
    EXPECT_EQ(trackball.log.size(), 1u);
    EXPECT_TRUE(other.log.empty());
}
