// Input from a window, in the framework's terms: character keys as their US-layout codes, keys that
// type no character as viewer keys, mouse events at window pixel positions (from the top-left), and
// the status window's widget events.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zel::render {

enum class viewerKey {
    left,
    right,
    up,
    down,
    pageUp,
    pageDown,
    home,
    end,
    insert,
    del,
    escape,
    f1,
    f2,
    f3,
    f4,
    f5,
    f6,
    f7,
    f8,
    f9,
    f10,
    f11,
    f12,
    tab,     // Tab
    backTab, // Shift+Tab
    undo,    // Ctrl+Z
    redo,    // Ctrl+Shift+Z or Ctrl+Y
};

enum class mouseButton { none = 0, left = 1, middle = 2, right = 3 };

// Receives input. Every operation has an empty default.
class inputSink {
public:
    virtual ~inputSink() = default;

    // A key that types a character: a physical press, each auto-repeat while held, the release. The
    // code is the character on a US layout with the modifiers of the press (shift+x 'X', shift+,
    // '<', shift+/ '?'); the release reports the code of its press.
    virtual void keyDown(unsigned int /*code*/) {}
    virtual void keyRepeat(unsigned int /*code*/) {}
    virtual void keyUp(unsigned int /*code*/) {}
    // A key that types no character, on its press (repeat false) and each auto-repeat.
    virtual void viewerKeyDown(viewerKey, bool /*repeat*/) {}

    virtual void buttonEvent(mouseButton, bool /*pressed*/, int /*x*/, int /*y*/) {}
    // Motion; `held` is the button held down (the lowest-numbered one), or none.
    virtual void mouseMove(int /*x*/, int /*y*/, mouseButton /*held*/) {}
    // 120 per notch; vertical: positive away from the user, horizontal: positive to the right.
    virtual void wheel(int /*delta*/, bool /*horizontal*/) {}

    // The text of entry `child` of window `window` changed (once per change); Enter was pressed in
    // it; the window's content area was resized by the user.
    virtual void entryText(std::uint64_t /*window*/, std::size_t /*child*/,
                           const std::string& /*utf8*/) {}
    virtual void entryEnter(std::uint64_t /*window*/, std::size_t /*child*/) {}
    virtual void windowResized(std::uint64_t /*window*/, int /*width*/, int /*height*/) {}
};

// Key translation, with GLFW's key numbers and modifier bits (GLFW_KEY_*, GLFW_MOD_*: shift 0x1,
// caps lock 0x10, num lock 0x20).
//
// A key types a character on a US layout, or is a viewer key, or is neither (modifier keys,
// unknown keys). Letters follow shift and caps lock; digits and punctuation follow shift; the
// keypad types its digits with num lock on and navigates with it off. Enter is 13, Backspace 8,
// Space 32. Tab is a viewer key (Shift+Tab the other way). A key held with Ctrl types nothing:
// Ctrl+Z is undo, Ctrl+Shift+Z and Ctrl+Y redo, any other is neither.
struct keyMeaning {
    std::optional<unsigned int> character;
    std::optional<viewerKey> viewer;
};
keyMeaning translateKey(int glfwKey, int glfwMods);
// "F1", "Page Up", ... for the help overlay.
const char* viewerKeyName(viewerKey);

} // namespace zel::render
