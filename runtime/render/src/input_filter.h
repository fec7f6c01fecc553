// The screen's input filter, between the backend and the host. It keeps for itself what the screen
// answers: F1 (the help), F2 (the list of sites), F12 (a screenshot) and Escape (leaves an entry,
// closes the help, then the screen). Keys typed into an entry that holds the keyboard and clicks on
// a UI window stay with the UI; the rest goes on to the host.
#pragma once

#include <zel/render/backend.h>
#include <zel/render/input.h>

#include <set>
#include <vector>

namespace zel::render::detail {

struct rect {
    float x0, y0, x1, y1;
    bool contains(float x, float y) const { return x >= x0 && x < x1 && y >= y0 && y < y1; }
};

// What the UI covers as of the last drawn frame: its windows, in window pixels, and whether an
// entry holds the keyboard. The widget windows write it, the input filter reads it.
struct uiCover {
    std::vector<rect> windows;
    bool entryFocus = false;

    bool covers(float x, float y) const;
};

class inputFilter final : public inputSink {
public:
    // `target` is closed by Escape; `cover` is read at each event. Neither is owned.
    inputFilter(backend& target, const uiCover& cover) : target_(target), cover_(cover) {}

    inputSink* host = nullptr; // where the input passed on goes (not owned; null drops it)
    bool escapeCloses = true;  // false: Escape goes to the host, for it to cancel what it does
    bool showHelp = false;     // F1
    bool showSites = false;    // F2
    bool screenshotRequested = false; // F12, until the screen has saved it

    void keyDown(unsigned int code) override;
    void keyRepeat(unsigned int code) override;
    void keyUp(unsigned int code) override;
    void viewerKeyDown(viewerKey k, bool repeat) override;
    void buttonEvent(mouseButton b, bool pressed, int x, int y) override;
    void mouseMove(int x, int y, mouseButton held) override;
    void wheel(int delta, bool horizontal) override;

private:
    backend& target_;
    const uiCover& cover_;
    std::multiset<unsigned int> keysPassed_; // pressed keys whose press reached the host
    std::set<mouseButton> buttonsPassed_;
    float mouseX_ = -1, mouseY_ = -1;
};

} // namespace zel::render::detail
