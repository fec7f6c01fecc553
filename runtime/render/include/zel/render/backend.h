// Where frames go: a window on the desktop or an offscreen framebuffer. One draw path serves both;
// the host picks a backend once at start-up. Each backend owns one OpenGL 3.3 core context, current
// on the thread that made it.
#pragma once

#include <zel/render/image.h>
#include <zel/render/input.h>

#include <memory>
#include <string>

namespace zel::render {

struct backendOptions {
    int width = 1280; // pixels of the frame (the window's client area when windowed)
    int height = 720;
    // Multisampling; 0 for none. 4 costs llvmpipe about four times the frame time (zelhost smooths
    // edges with the renderer's edge pass instead).
    int samples = 0;
    std::string title = "propplacer";
    bool vsync = true;
};

class backend {
public:
    virtual ~backend() = default;

    // frameWidth/Height: the framebuffer a frame draws into, in pixels. windowWidth/Height: the
    // client area in screen coordinates, where mouse positions are measured (the same offscreen).
    virtual int frameWidth() const = 0;
    virtual int frameHeight() const = 0;
    virtual int windowWidth() const { return frameWidth(); }
    virtual int windowHeight() const { return frameHeight(); }

    // False once the user closed the window or close() was called.
    virtual bool isOpen() const = 0;
    virtual void close() = 0;
    // Delivers pending input to the sink; does nothing offscreen.
    virtual void pollEvents() = 0;
    // Waits until input or a window-system event (resize, expose) arrives, wake() is called, or
    // `seconds` pass, then delivers what is pending. True when the window system had anything
    // (input, resize, expose, focus); a wake-up alone ends the wait and returns false. Offscreen
    // it only waits for wake().
    virtual bool waitEvents(double seconds) = 0;
    // Ends a waitEvents early; safe to call from any thread.
    virtual void wake() = 0;
    // The window's title (UTF-8); nothing offscreen.
    virtual void setTitle(const std::string& /*utf8*/) {}
    // Input goes to `sink` from now on (not owned; null drops it).
    virtual void setInputSink(inputSink* sink) = 0;

    // Makes the context current and binds the framebuffer of the frame.
    virtual void beginFrame() = 0;
    // The UI's platform side: connect it to the window (or set the display size offscreen), and
    // the per-frame step before ImGui::NewFrame. Called with a current ImGui context.
    virtual void initUi() = 0;
    virtual void newUiFrame() = 0;
    virtual void shutdownUi() = 0;
    // What the frame has drawn so far, top row first.
    virtual image readPixels() = 0;
    // Shows the frame (swaps buffers) or finishes it.
    virtual void endFrame() = 0;
};

// A GLFW window with a GL 3.3 core context. Sets a UTF-8 LC_CTYPE before GLFW starts so that text
// input beyond ASCII works. Null on failure (no display, no GL 3.3), with one line on stderr.
std::unique_ptr<backend> makeWindowBackend(const backendOptions& options);
// An EGL surfaceless context with a framebuffer object of the given size; needs no display. Null on
// failure, with one line on stderr.
std::unique_ptr<backend> makeOffscreenBackend(const backendOptions& options);

} // namespace zel::render
