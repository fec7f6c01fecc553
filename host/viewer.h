// The host's viewer: the world drawn by the renderer, in a window that the user drives or in one
// offscreen frame written as PNG. The backend is chosen once, when the viewer is made; the drawing
// is the same for both.
#pragma once

#include "hud.h"

#include <zel/render/screen.h>
#include <zel/share/shared_scene.h>
#include <zel/world/world.h>
#include <zel/world_render/world_frames.h>
#include <zel/world_render/world_input.h>

#include <filesystem>
#include <functional>
#include <memory>

namespace zel::host {

// True when DISPLAY or WAYLAND_DISPLAY names a display.
bool displayAvailable();

class viewer {
public:
    // A window of width x height on the display. Null when none opens (reason on stderr).
    static std::unique_ptr<viewer> openWindow(world::world& w, int width, int height);
    // An offscreen framebuffer of width x height; needs no display. Null when it cannot be made
    // (reason on stderr).
    static std::unique_ptr<viewer> openOffscreen(world::world& w, int width, int height);
    ~viewer();
    viewer(const viewer&) = delete;
    viewer& operator=(const viewer&) = delete;

    // Until the user quits (Escape, closing the window) or stop() turns true: pending input to
    // the world (keys to its key observers unless the status window's entry has the focus, the
    // mouse to the client view's mouse observers, the arrows and Page Up/Down to the navigator),
    // the animation clock advanced by the real time since the last frame, one frame drawn.
    // Offscreen only stop() or Escape given to getScreen().input() ends it.
    void run(const std::function<bool()>& stop = {});

    // Draws one frame of the world as it is now and writes it to png. False, with one line on
    // stderr, when the file cannot be written.
    bool snapshot(const std::filesystem::path& png);

    // The shared scene the world is joined to (null: none): applied before each frame, its avatars
    // drawn, its name and site count on the heads-up line.
    void setShare(share::sharedScene* s) {
        frames_.setShare(s);
        share_ = s;
    }

    // The screen underneath: its input entry point, captures, the help overlay.
    render::screen& getScreen() { return *screen_; }
    // A frame of the world as it is now.
    render::frame buildFrame() { return frames_.build(); }

private:
    explicit viewer(world::world& w);
    static std::unique_ptr<viewer> make(world::world& w, std::unique_ptr<render::backend> target);

    world::world& world_;
    render::worldInput input_; // the screen's sink: must outlive it
    hudFrames frames_;
    std::unique_ptr<render::screen> screen_;
    share::sharedScene* share_ = nullptr;
};

} // namespace zel::host
