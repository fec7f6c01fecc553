// The host's viewer: the world drawn by the renderer, in a window that the user drives or in one
// offscreen frame written as PNG. The backend is chosen once, when the viewer is made; the drawing
// is the same for both.
#pragma once

#include "arrival.h"
#include "camera_control.h"
#include "history.h"
#include "hud.h"

#include <zel/render/screen.h>
#include <zel/share/shared_scene.h>
#include <zel/world/world.h>
#include <zel/world_render/world_frames.h>
#include <zel/world_render/world_input.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>

namespace zel::host {

// True when DISPLAY or WAYLAND_DISPLAY names a display.
bool displayAvailable();

// Everything of a frame that shows, as bytes: two frames with the same signature draw the same
// picture (the meshes are told apart by their keys).
std::string frameSignature(const render::frame& f);

// The window's input on its way to the world, held back until it can be delivered: events arrive
// inside the window system's event polling, and while the reader imports a file the package is in
// the middle of a call. Escape while busy asks to cancel the import instead.
class inputQueue final : public render::inputSink {
public:
    bool empty() const { return events_.empty(); }
    // Delivers the oldest event to sink.
    void deliverOne(render::inputSink& sink);

    bool busy = false; // an import is running
    bool cancelRequested = false;

    void keyDown(unsigned int code) override;
    void keyRepeat(unsigned int code) override;
    void keyUp(unsigned int code) override;
    void viewerKeyDown(render::viewerKey key, bool repeat) override;
    void buttonEvent(render::mouseButton button, bool pressed, int x, int y) override;
    void mouseMove(int x, int y, render::mouseButton held) override;
    void wheel(int delta, bool horizontal) override;
    void entryText(std::uint64_t window, std::size_t child, const std::string& utf8) override;
    void entryEnter(std::uint64_t window, std::size_t child) override;
    void windowResized(std::uint64_t window, int width, int height) override;

private:
    std::deque<std::function<void(render::inputSink&)>> events_;
};

// The window's input on its way to the camera and the world, cut into the steps of this site's
// history: a key from its press to its release, a drag from its button's press to its release
// (keys and buttons held together make one step), a wheel turn. Ctrl+Z undoes and Ctrl+Y or
// Ctrl+Shift+Z redo; those never go further.
class historyInput final : public render::inputSink {
public:
    explicit historyInput(render::inputSink& next) : next_(next) {}
    // Null: input passes unrecorded and undo does nothing.
    editHistory* history = nullptr;

    void keyDown(unsigned int code) override;
    void keyRepeat(unsigned int code) override;
    void keyUp(unsigned int code) override;
    void viewerKeyDown(render::viewerKey key, bool repeat) override;
    void buttonEvent(render::mouseButton button, bool pressed, int x, int y) override;
    void mouseMove(int x, int y, render::mouseButton held) override;
    void wheel(int delta, bool horizontal) override;
    void entryText(std::uint64_t window, std::size_t child, const std::string& utf8) override;
    void entryEnter(std::uint64_t window, std::size_t child) override;
    void windowResized(std::uint64_t window, int width, int height) override;

private:
    void deliver(const std::function<void()>& event);
    // Closes the step once nothing is held.
    void settle();

    render::inputSink& next_;
    std::multiset<unsigned int> keys_;
    std::multiset<render::mouseButton> buttons_;
};

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
    // Offscreen only stop() or Escape given to getScreen().input() ends it. Frames are drawn only
    // when something changed (see framesDrawn()).
    void run(const std::function<bool()>& stop = {});

    // Draws one frame of the world as it is now: the window's first, before the packages start.
    void drawFrame();
    // Frames drawn so far by drawFrame() and run(). run() draws only when the picture changes
    // (the world, the windows, the heads-up lines, the sites present), after input and
    // window-system events, and while the entry has the focus; at rest it waits.
    std::uint64_t framesDrawn() const { return framesDrawn_; }
    // In a window: true when the host is asked to quit (a signal); an import running then is
    // cancelled.
    void setQuitRequest(std::function<bool()> quit) { quit_ = std::move(quit); }

    // Draws one frame of the world as it is now and writes it to png. False, with one line on
    // stderr, when the file cannot be written.
    bool snapshot(const std::filesystem::path& png);

    // The camera moves the window's mouse and keys make (the view's shape follows the window).
    cameraControl& getCamera() { return camera_; }
    // The site's arrival in the shared scene, looked after each frame (null: none).
    void setArrival(arrival* a) {
        arrival_ = a;
        camera_.setArrival(a);
    }
    // Where the window's steps are recorded and undone (null: nowhere).
    void setHistory(editHistory* h) { historyInput_.history = h; }

    // The shared scene the world is joined to (null: none): applied before each frame, its avatars
    // drawn, its name and site count on the heads-up line.
    void setShare(share::sharedScene* s) {
        frames_.setShare(s);
        camera_.setShare(s);
        share_ = s;
    }
    // The screen underneath: its input entry point, captures, the help overlay.
    render::screen& getScreen() { return *screen_; }
    // A frame of the world as it is now.
    render::frame buildFrame() { return frames_.build(); }

private:
    explicit viewer(world::world& w);
    // The world's read progress, in a window: frames with a progress bar at least 10 times a
    // second, input polled and queued; false (cancel) on Escape, a closed window or a quit request.
    bool importing(const std::string& file, double done);
    // The reader reads ahead until it is done or something happens.
    void readAhead(const std::function<bool()>& stop);
    void importFinished();
    void deliverQueued();
    static std::unique_ptr<viewer> make(world::world& w, std::unique_ptr<render::backend> target);
    // The camera's aspect and the pan's pixel scale from the framebuffer's size.
    void followShape();

    world::world& world_;
    worldRender::worldInput input_; // where the camera's input passes the rest
    cameraControl camera_;
    cameraInput cameraInput_;   // the camera's keys and drags, the rest to input_
    historyInput historyInput_; // takes the screen's input (in a window through queue_)
    hudFrames frames_;
    std::unique_ptr<render::screen> screen_;
    inputQueue queue_;
    std::function<bool()> quit_;
    std::chrono::steady_clock::time_point importStart_, lastPoll_;
    bool windowed_ = false;
    share::sharedScene* share_ = nullptr;
    arrival* arrival_ = nullptr;
    std::uint64_t framesDrawn_ = 0;
    std::string shown_; // the signature of the frame drawn last
};

} // namespace zel::host
