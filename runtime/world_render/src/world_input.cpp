#include <zel/world_render/world_input.h>

#include <zel/world/scene_node.h>
#include <zel/world/widgets.h>
#include <zel/world/world.h>
#include <zel/xstd.h>

#include <cstdint>

namespace zel::worldRender {

using namespace zel::render;

namespace {

// The window of that id among the live ones, or null.
zel::world::windowFrame* liveWindow(const zel::world::world& w, std::uint64_t id) {
    for (zel::world::windowFrame* f : w.getWindows()) {
        if (reinterpret_cast<std::uintptr_t>(f) == id) {
            return f;
        }
    }
    return nullptr;
}

sceneGraph::MouseButtons toFramework(mouseButton b) {
    switch (b) {
    case mouseButton::left:
        return sceneGraph::LEFT;
    case mouseButton::middle:
        return sceneGraph::MIDDLE;
    case mouseButton::right:
        return sceneGraph::RIGHT;
    default:
        return sceneGraph::NONE;
    }
}

} // namespace

void worldInput::keyDown(unsigned int code) {
    world_.keyDown(code);
}
void worldInput::keyRepeat(unsigned int code) {
    world_.keyPress(code);
}
void worldInput::keyUp(unsigned int code) {
    world_.keyUp(code);
}

void worldInput::viewerKeyDown(viewerKey key, bool) {
    auto* nav = dynamic_cast<zel::world::sceneNode*>(world_.getNavigatorNode());
    if (!nav) {
        return;
    }
    zel::matrix4 m = nav->getMatrix();
    // Steps along the navigator's own axes, expressed in its parent's frame (rows 0..2).
    auto move = [&m](int axis, float distance) {
        for (int c = 0; c < 3; ++c) {
            m(3, c) += m(axis, c) * distance;
        }
    };
    switch (key) {
    case viewerKey::up:
        move(2, -walkStep);
        break;
    case viewerKey::down:
        move(2, walkStep);
        break;
    case viewerKey::pageUp:
        move(1, walkStep);
        break;
    case viewerKey::pageDown:
        move(1, -walkStep);
        break;
    case viewerKey::left:
    case viewerKey::right: {
        // A turn about the navigator's own vertical axis, in place.
        zel::matrix4 turn;
        turn.setEuler(zel::vec3(0.0f, key == viewerKey::left ? turnStep : -turnStep, 0.0f));
        m.preMult(turn);
        break;
    }
    default:
        return;
    }
    nav->setMatrix(m);
}

void worldInput::buttonEvent(mouseButton button, bool pressed, int x, int y) {
    world_.mouse(sceneGraph::mouseEvent(pressed ? sceneGraph::DOWN : sceneGraph::UP,
                                        toFramework(button), x, y));
}

void worldInput::mouseMove(int x, int y, mouseButton held) {
    world_.mouse(sceneGraph::mouseEvent(
        held == mouseButton::none ? sceneGraph::MOVE : sceneGraph::DRAG, toFramework(held), x, y));
}

void worldInput::wheel(int delta, bool horizontal) {
    world_.mouse(sceneGraph::mouseEvent::wheel(
        horizontal ? sceneGraph::HORIZONTAL : sceneGraph::VERTICAL, delta));
}

void worldInput::entryText(std::uint64_t window, std::size_t, const std::string& utf8) {
    if (zel::world::windowFrame* w = liveWindow(world_, window)) {
        w->typeText(xstd::fromUtf8(utf8));
    }
}

void worldInput::entryEnter(std::uint64_t window, std::size_t) {
    if (zel::world::windowFrame* w = liveWindow(world_, window)) {
        w->pressEnter();
    }
}

void worldInput::windowResized(std::uint64_t window, int width, int height) {
    if (zel::world::windowFrame* w = liveWindow(world_, window)) {
        w->resize(width, height);
    }
}

} // namespace zel::worldRender
