// The window backend on a real X server (CTest runs this under Xvfb): it draws, and key and mouse
// events made by xdotool arrive translated. Skipped when there is no display.
#include "scenes.h"
#include "status_window.h"

#include <zel/render/backend.h>
#include <zel/render/screen.h>

#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <langinfo.h>
#include <string>
#include <thread>
#include <vector>

using namespace zel::render;
using namespace rendertest;

namespace {

struct recorder : inputSink {
    std::vector<std::string> events;
    void keyDown(unsigned int c) override { events.push_back("down " + std::string(1, char(c))); }
    void keyUp(unsigned int c) override { events.push_back("up " + std::string(1, char(c))); }
    void viewerKeyDown(viewerKey k, bool repeat) override {
        if (!repeat) {
            events.push_back(std::string("viewer ") + viewerKeyName(k));
        }
    }
    void buttonEvent(mouseButton b, bool pressed, int x, int y) override {
        events.push_back("button " + std::to_string(int(b)) + (pressed ? " down " : " up ") +
                         std::to_string(x) + " " + std::to_string(y));
    }
    void wheel(int delta, bool horizontal) override {
        events.push_back("wheel " + std::to_string(delta) + (horizontal ? " h" : " v"));
    }
    void entryText(std::uint64_t, std::size_t, const std::string& text) override {
        events.push_back("text " + text);
    }
};

class window : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY")) {
            GTEST_SKIP() << "no X display";
        }
        backendOptions o;
        o.width = 320;
        o.height = 240;
        o.title = "zel render test";
        v = screen::create(makeWindowBackend(o), &host);
        ASSERT_TRUE(v);
    }
    // Runs xdotool, then draws frames and polls until `done` holds or two seconds passed.
    template <class F> void xdotoolUntil(const std::string& args, F done) {
        draw();
        ASSERT_EQ(std::system(("xdotool " + args).c_str()), 0) << args;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!done() && std::chrono::steady_clock::now() < end) {
            v->pollEvents();
            draw();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    void xdotool(const std::string& args, std::size_t events) {
        xdotoolUntil(args, [&] { return host.events.size() >= events; });
    }
    void draw() {
        frame f;
        auto c = cube(1.0f);
        f.items.push_back(item(c, translation(0, 0, -3), {0.9f, 0.1f, 0.1f, 1}));
        f.windows.push_back(statusWindow("Status", "label", entry, {120}));
        v->drawFrame(f);
    }
    recorder host;
    std::string entry = "ab";
    std::unique_ptr<screen> v;
};

TEST_F(window, opensWithAUtf8CharacterTypeAndDraws) {
    EXPECT_STREQ(nl_langinfo(CODESET), "UTF-8");
    frame f;
    auto c = cube(1.0f);
    f.items.push_back(item(c, translation(0, 0, -3), {0.9f, 0.1f, 0.1f, 1}));
    const image im = v->capture(f);
    ASSERT_EQ(im.width, 320);
    ASSERT_EQ(im.height, 240);
    EXPECT_TRUE(reddish(im.pixel(160, 120)));
    EXPECT_FALSE(reddish(im.pixel(300, 220)));
}

TEST_F(window, keysArriveAsUsLayoutCharacters) {
    xdotoolUntil("mousemove 250 200", [] { return true; });
    xdotool("key shift+x comma shift+slash Up", 7);
    EXPECT_EQ(host.events, (std::vector<std::string>{"down X", "up X", "down ,", "up ,", "down ?",
                                                     "up ?", "viewer Up"}));
    host.events.clear();
    xdotoolUntil("key F1", [&] { return v->helpShown(); });
    EXPECT_TRUE(v->helpShown());
    xdotoolUntil("key Escape", [&] { return !v->helpShown(); });
    xdotoolUntil("key Escape", [&] { return !v->isOpen(); });
    EXPECT_FALSE(v->isOpen());
    EXPECT_TRUE(host.events.empty());
}

TEST_F(window, mouseButtonsAndWheelArriveWithWindowPositions) {
    xdotool("mousemove 250 200 click 1", 2);
    xdotool("click 4", 3);
    EXPECT_EQ(host.events, (std::vector<std::string>{"button 1 down 250 200", "button 1 up 250 200",
                                                     "wheel 120 v"}));
}

TEST_F(window, clickedEntryTakesTypedCharacters) {
    // The entry's row starts 30 pixels into the window's content.
    const std::string at = std::to_string(contentX(30)) + " " + std::to_string(contentY(37));
    xdotoolUntil("mousemove " + at + " click 1", [&] { return v->entryHasFocus(); });
    xdotool("key c", 1);
    EXPECT_TRUE(v->entryHasFocus());
    EXPECT_EQ(host.events, (std::vector<std::string>{"text abc"}));
}

} // namespace
