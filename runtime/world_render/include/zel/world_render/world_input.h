// The viewer's input delivered to the framework's world as its event manager and widgets expect.
#pragma once

#include <zel/render/input.h>

#include <cstdint>
#include <string>

namespace zel::world {
class world;
}

namespace zel::worldRender {

// Feeds a world with the viewer's input: character keys to its key observers (press, auto-repeat,
// release), mouse events to the view's mouse observers (a button press DOWN, a release UP, motion
// DRAG with a button held and MOVE without, a wheel turn WHEEL), the status window's edits, Enter
// and resizes to its widgets; and moves the navigator with the viewer keys: Up and Down a step
// forward and back, Left and Right a turn, Page Up and Page Down a step up and down.
class worldInput : public render::inputSink {
public:
    explicit worldInput(zel::world::world& w) : world_(w) {}

    float walkStep = 0.1f; // metres per press or repeat
    float turnStep = 5.0f; // degrees

    void keyDown(unsigned int code) override;
    void keyRepeat(unsigned int code) override;
    void keyUp(unsigned int code) override;
    void viewerKeyDown(render::viewerKey key, bool repeat) override;
    void buttonEvent(render::mouseButton button, bool pressed, int x, int y) override;
    void mouseMove(int x, int y, render::mouseButton held) override;
    void wheel(int delta, bool horizontal) override;
    // Events of a window that no longer lives are dropped.
    void entryText(std::uint64_t window, std::size_t child, const std::string& utf8) override;
    void entryEnter(std::uint64_t window, std::size_t child) override;
    void windowResized(std::uint64_t window, int width, int height) override;

private:
    zel::world::world& world_;
};

} // namespace zel::worldRender
