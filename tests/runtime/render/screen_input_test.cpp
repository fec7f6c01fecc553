// The view between the backend's input and the host: the keys and mouse events it keeps for itself
// or for the UI, and the status window's entry and size events. Input goes in where the window
// backend puts it (screen::input()) and, for the UI, through ImGui's own input queue.
#include "scenes.h"
#include "status_window.h"

using namespace rendertest;

#include <zel/render/backend.h>
#include <zel/render/screen.h>

#include <gtest/gtest.h>
#include <imgui.h>

#include <string>
#include <vector>

using namespace zel::render;

namespace {

struct recorder : inputSink {
    std::vector<std::string> events;
    void keyDown(unsigned int c) override { events.push_back("down " + std::string(1, char(c))); }
    void keyRepeat(unsigned int c) override {
        events.push_back("repeat " + std::string(1, char(c)));
    }
    void keyUp(unsigned int c) override { events.push_back("up " + std::string(1, char(c))); }
    void viewerKeyDown(viewerKey k, bool repeat) override {
        events.push_back(std::string("viewer ") + viewerKeyName(k) + (repeat ? " repeat" : ""));
    }
    void buttonEvent(mouseButton b, bool pressed, int x, int y) override {
        events.push_back("button " + std::to_string(int(b)) + (pressed ? " down " : " up ") +
                         std::to_string(x) + " " + std::to_string(y));
    }
    void mouseMove(int x, int y, mouseButton held) override {
        events.push_back("move " + std::to_string(x) + " " + std::to_string(y) + " held " +
                         std::to_string(int(held)));
    }
    void wheel(int delta, bool horizontal) override {
        events.push_back("wheel " + std::to_string(delta) + (horizontal ? " h" : " v"));
    }
    void entryText(std::uint64_t w, std::size_t child, const std::string& text) override {
        events.push_back("text " + std::to_string(w) + "/" + std::to_string(child) + " " + text);
    }
    void entryEnter(std::uint64_t w, std::size_t child) override {
        events.push_back("enter " + std::to_string(w) + "/" + std::to_string(child));
    }
    void windowResized(std::uint64_t w, int width, int height) override {
        events.push_back("resized " + std::to_string(w) + " " + std::to_string(width) + "x" +
                         std::to_string(height));
    }
    std::vector<std::string> take() { return std::exchange(events, {}); }
};

using strings = std::vector<std::string>;

// The status window: content 240 x 60 with a label on the first 30 rows and the entry below.
frame statusFrame(const std::string& entryText = "geoms.zip", int w = 240, int h = 60) {
    frame f;
    f.windows.push_back(statusWindow("Status", "Axis: X", entryText, {w, h}, 42));
    return f;
}

class viewInput : public ::testing::Test {
protected:
    void SetUp() override {
        backendOptions o;
        o.width = 640;
        o.height = 400;
        v = screen::create(makeOffscreenBackend(o), &host);
        ASSERT_TRUE(v);
        // ImGui 1.86 reads keys through a key map; the offscreen backend has no keyboard of its
        // own.
        ImGui::GetIO().KeyMap[ImGuiKey_Enter] = 300;
        ImGui::GetIO().KeyMap[ImGuiKey_Escape] = 301;
    }
    void draw(const frame& f) { v->drawFrame(f); }
    // A click on the entry: the pointer arrives, presses in the next frame, releases in the one
    // after.
    void clickEntry(const frame& f) {
        ImGuiIO& io = ImGui::GetIO();
        io.MousePos = ImVec2(float(contentX(40)), float(contentY(30 + 7)));
        draw(f);
        io.MouseDown[0] = true;
        draw(f);
        io.MouseDown[0] = false;
        draw(f);
    }
    recorder host;
    std::unique_ptr<screen> v;
};

TEST_F(viewInput, keysReachTheHostWithTheirReleases) {
    draw(statusFrame());
    inputSink& in = v->input();
    in.keyDown('x');
    in.keyRepeat('x');
    in.keyUp('x');
    in.keyDown('<');
    in.keyUp('<');
    in.keyUp('q'); // a release whose press the host never saw
    EXPECT_EQ(host.take(), (strings{"down x", "repeat x", "up x", "down <", "up <"}));
}

TEST_F(viewInput, viewerKeysThatTheViewKeepsAndThoseItPassesOn) {
    draw(statusFrame());
    inputSink& in = v->input();
    in.viewerKeyDown(viewerKey::up, false);
    in.viewerKeyDown(viewerKey::up, true);
    in.viewerKeyDown(viewerKey::pageDown, false);
    EXPECT_EQ(host.take(), (strings{"viewer Up", "viewer Up repeat", "viewer Page Down"}));

    EXPECT_FALSE(v->helpShown());
    in.viewerKeyDown(viewerKey::f1, false);
    EXPECT_TRUE(v->helpShown());
    in.viewerKeyDown(viewerKey::f1, true); // holding F1 does not flicker the list
    EXPECT_TRUE(v->helpShown());
    in.viewerKeyDown(viewerKey::escape, false); // first Escape closes the list
    EXPECT_FALSE(v->helpShown());
    EXPECT_TRUE(v->isOpen());
    in.viewerKeyDown(viewerKey::escape, false);
    EXPECT_FALSE(v->isOpen());
    EXPECT_TRUE(host.take().empty()) << "F1 and Escape stay with the view";
}

TEST_F(viewInput, helpOverlayIsDrawnOverTheScene) {
    // The screen shows whatever list the host gives it.
    std::vector<std::pair<std::string, std::string>> keys;
    for (int i = 0; i < 12; ++i)
        keys.emplace_back("key " + std::to_string(i), "does something worth a long line of text");
    v->setHelp({{"Keys", keys}});
    const frame f = statusFrame();
    const image without = v->capture(f);
    v->input().viewerKeyDown(viewerKey::f1, false);
    const image with = v->capture(f);
    // The list sits in the middle of the picture.
    int changed = 0;
    for (int y = 150; y < 250; ++y) {
        for (int x = 220; x < 420; ++x) {
            changed += std::memcmp(without.pixel(x, y), with.pixel(x, y), 3) != 0;
        }
    }
    EXPECT_GT(changed, 2000);
}

TEST_F(viewInput, mouseOverTheStatusWindowStaysWithTheUi) {
    draw(statusFrame());
    inputSink& in = v->input();
    // On the status window: nothing reaches the host, release and motion included.
    in.mouseMove(50, 50, mouseButton::none);
    in.buttonEvent(mouseButton::left, true, 50, 50);
    in.mouseMove(400, 300, mouseButton::left);
    in.buttonEvent(mouseButton::left, false, 400, 300);
    in.wheel(120, false); // the pointer is outside now
    EXPECT_EQ(host.take(), (strings{"wheel 120 v"}));

    // In the scene: press, drag (even across the window), release, plain motion.
    in.buttonEvent(mouseButton::right, true, 400, 300);
    in.mouseMove(60, 60, mouseButton::right);
    in.buttonEvent(mouseButton::right, false, 60, 60);
    in.wheel(-240, false); // over the window: the UI's
    in.mouseMove(500, 10, mouseButton::none);
    EXPECT_EQ(host.take(), (strings{"button 3 down 400 300", "move 60 60 held 3",
                                    "button 3 up 60 60", "move 500 10 held 0"}));
}

TEST_F(viewInput, entryTakesTheKeysWhileItHasFocus) {
    const frame f = statusFrame();
    draw(f);
    inputSink& in = v->input();
    in.keyDown('x'); // pressed before the click, released after it
    clickEntry(f);
    ASSERT_TRUE(v->entryHasFocus());
    in.keyUp('x');
    in.keyDown('z');
    in.keyRepeat('z');
    in.keyUp('z');
    in.viewerKeyDown(viewerKey::left, false); // moves the text cursor
    in.viewerKeyDown(viewerKey::pageUp, false);
    in.viewerKeyDown(viewerKey::escape, false); // leaves the entry, not the view
    EXPECT_TRUE(v->isOpen());
    EXPECT_EQ(host.take(), (strings{"down x", "up x", "viewer Page Up"}));
}

TEST_F(viewInput, typingReportsEachChangeAndEnter) {
    frame f = statusFrame("ab");
    draw(f);
    clickEntry(f);
    ASSERT_TRUE(v->entryHasFocus());
    host.take();
    ImGuiIO& io = ImGui::GetIO();
    io.AddInputCharacter('c');
    draw(f);
    // The host applies the change to its widget; the next frames carry the new text.
    f = statusFrame("abc");
    io.AddInputCharacterUTF16(0x00E9); // e acute
    draw(f);
    f = statusFrame("abc\xC3\xA9");
    draw(f); // nothing typed: nothing reported
    io.KeysDown[300] = true;
    draw(f);
    io.KeysDown[300] = false;
    draw(f);
    EXPECT_EQ(host.take(), (strings{"text 42/1 abc", "text 42/1 abc\xC3\xA9", "enter 42/1"}));
}

TEST_F(viewInput, charactersBeyondTheBasicPlaneSurviveAnEdit) {
    // ImGui's characters are 16-bit; an emoji and a rare ideograph in the text being edited must
    // come back as they were, not as U+FFFD.
    const std::string before = "\xF0\x9F\x99\x82 \xF0\xA0\xAE\xB7\xEE\x80\x80";
    frame f = statusFrame(before);
    draw(f);
    clickEntry(f);
    ASSERT_TRUE(v->entryHasFocus());
    host.take();
    ImGui::GetIO().AddInputCharacter('!');
    draw(f);
    EXPECT_EQ(host.take(), (strings{"text 42/1 " + before + "!"}));
}

TEST_F(viewInput, entryShowsTheHostsTextWhenNotEditing) {
    // The host may change the entry's text at any time; the field follows when the user is not
    // typing in it.
    const auto f1 = statusFrame("first");
    const auto f2 = statusFrame("second, and longer");
    const image a = v->capture(f1);
    const image b = v->capture(f2);
    int changed = 0;
    for (int y = contentY(30); y < contentY(30 + 14); ++y) {
        for (int x = contentX(0); x < contentX(240); ++x) {
            changed += std::memcmp(a.pixel(x, y), b.pixel(x, y), 3) != 0;
        }
    }
    EXPECT_GT(changed, 50);
    EXPECT_TRUE(host.take().empty()) << "showing a text is not a change by the user";
}

TEST_F(viewInput, userResizeIsReportedOnceAndHostResizeNotAtAll) {
    frame f = statusFrame();
    draw(f);
    // The host grows the window: drawn larger, nothing reported back.
    f = statusFrame("geoms.zip", 300, 80);
    draw(f);
    draw(f);
    EXPECT_TRUE(host.take().empty());

    // The user drags the bottom-right corner by (40, 20).
    ImGuiIO& io = ImGui::GetIO();
    const float right = float(contentX(300) + windowPadding() - 3);
    const float bottom = float(contentY(80) + windowPadding() - 3);
    io.MousePos = ImVec2(right, bottom);
    draw(f);
    io.MouseDown[0] = true;
    draw(f);
    io.MousePos = ImVec2(right + 20, bottom + 10);
    draw(f);
    io.MousePos = ImVec2(right + 40, bottom + 20);
    draw(f);
    io.MouseDown[0] = false;
    draw(f);
    draw(f);
    const strings events = host.take();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), "resized 42 340x100");
    // Once the host takes the size, nothing more is reported.
    f = statusFrame("geoms.zip", 340, 100);
    draw(f);
    draw(f);
    EXPECT_TRUE(host.take().empty());
}

} // namespace
