// Contents: what the UI covers; keys; viewer keys (the screen's own, the entry's editing keys);
// mouse buttons, motion and the wheel.

#include "input_filter.h"

#include <algorithm>

namespace zel::render::detail {

bool uiCover::covers(float x, float y) const {
    return std::any_of(windows.begin(), windows.end(),
                       [&](const rect& r) { return r.contains(x, y); });
}

void inputFilter::keyDown(unsigned int code) {
    if (cover_.entryFocus || !host) {
        return;
    }
    keysPassed_.insert(code);
    host->keyDown(code);
}

void inputFilter::keyRepeat(unsigned int code) {
    if (!cover_.entryFocus && host && keysPassed_.count(code)) {
        host->keyRepeat(code);
    }
}

void inputFilter::keyUp(unsigned int code) {
    // A release follows its press: one that reached the host before the entry took the focus is
    // still delivered, one typed into the entry is not.
    const auto it = keysPassed_.find(code);
    if (it == keysPassed_.end()) {
        return;
    }
    keysPassed_.erase(it);
    if (host) {
        host->keyUp(code);
    }
}

void inputFilter::viewerKeyDown(viewerKey k, bool repeat) {
    switch (k) {
    case viewerKey::f1:
        if (!repeat) {
            showHelp = !showHelp;
        }
        return;
    case viewerKey::f2:
        if (!repeat) {
            showSites = !showSites;
        }
        return;
    case viewerKey::f12:
        if (!repeat) {
            screenshotRequested = true;
        }
        return;
    case viewerKey::escape:
        // Escape leaves an entry being edited (the UI handles it), then closes the help, then the
        // view; or, while the host has something to cancel, goes to the host.
        if (repeat || cover_.entryFocus) {
            return;
        }
        if (!escapeCloses) {
            if (host) {
                host->viewerKeyDown(k, repeat);
            }
            return;
        }
        if (showHelp) {
            showHelp = false;
        } else {
            target_.close();
        }
        return;
    case viewerKey::left:
    case viewerKey::right:
    case viewerKey::up:
    case viewerKey::down:
    case viewerKey::home:
    case viewerKey::end:
    case viewerKey::insert:
    case viewerKey::del:
    case viewerKey::tab:
    case viewerKey::backTab:
    case viewerKey::undo:
    case viewerKey::redo:
        // The text cursor's and the editing keys while an entry is being edited.
        if (cover_.entryFocus) {
            return;
        }
        break;
    default:
        break;
    }
    if (host) {
        host->viewerKeyDown(k, repeat);
    }
}

void inputFilter::buttonEvent(mouseButton b, bool pressed, int x, int y) {
    mouseX_ = static_cast<float>(x);
    mouseY_ = static_cast<float>(y);
    if (!host) {
        return;
    }
    if (pressed) {
        if (cover_.covers(mouseX_, mouseY_)) {
            return;
        }
        buttonsPassed_.insert(b);
        host->buttonEvent(b, true, x, y);
    } else if (buttonsPassed_.erase(b)) {
        host->buttonEvent(b, false, x, y);
    }
}

void inputFilter::mouseMove(int x, int y, mouseButton held) {
    mouseX_ = static_cast<float>(x);
    mouseY_ = static_cast<float>(y);
    if (!host) {
        return;
    }
    // A drag belongs to where it started; plain motion to what lies under the pointer.
    if (held != mouseButton::none) {
        if (buttonsPassed_.count(held)) {
            host->mouseMove(x, y, held);
        }
    } else if (!cover_.covers(mouseX_, mouseY_)) {
        host->mouseMove(x, y, held);
    }
}

void inputFilter::wheel(int delta, bool horizontal) {
    if (host && !cover_.covers(mouseX_, mouseY_)) {
        host->wheel(delta, horizontal);
    }
}

} // namespace zel::render::detail
