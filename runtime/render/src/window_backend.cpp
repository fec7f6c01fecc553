// The window backend: a GLFW window with an OpenGL 3.3 core context. Its callbacks feed both the
// UI (ImGui's GLFW platform side) and the input sink.

#include <zel/render/backend.h>

#include "gl.h"
#include "readback.h"

#include <GLFW/glfw3.h>
#include <backends/imgui_impl_glfw.h>
#include <imgui.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <langinfo.h>
#include <map>
#include <string>
#include <utility>

namespace zel::render {

namespace {

std::string lastGlfwError;

void onGlfwError(int, const char* description) {
    lastGlfwError = description ? description : "";
}

bool utf8CType() {
    const char* codeset = nl_langinfo(CODESET);
    return codeset && (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
}

// GLFW decodes typed text with the C library's LC_CTYPE as it stands at glfwInit; under the "C"
// locale every character beyond ASCII is lost. Only LC_CTYPE changes: number formatting stays.
void useUtf8CType() {
    if (utf8CType()) {
        return;
    }
    if (std::setlocale(LC_CTYPE, "") && utf8CType()) {
        return;
    }
    if (!std::setlocale(LC_CTYPE, "C.UTF-8")) {
        std::setlocale(LC_CTYPE, "C.utf8");
    }
}

mouseButton buttonOf(int glfwButton) {
    switch (glfwButton) {
    case GLFW_MOUSE_BUTTON_LEFT:
        return mouseButton::left;
    case GLFW_MOUSE_BUTTON_MIDDLE:
        return mouseButton::middle;
    case GLFW_MOUSE_BUTTON_RIGHT:
        return mouseButton::right;
    default:
        return mouseButton::none;
    }
}

class windowBackend final : public backend {
public:
    ~windowBackend() override {
        if (window_) {
            glfwDestroyWindow(window_);
        }
        glfwTerminate();
    }

    bool open(const backendOptions& options) {
        useUtf8CType();
        glfwSetErrorCallback(onGlfwError);
        if (!glfwInit()) {
            return false;
        }
        glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
        glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
        glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
        glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, GLFW_TRUE);
        glfwWindowHint(GLFW_SAMPLES, options.samples > 0 ? options.samples : 0);
        title_ = options.title;
        window_ = glfwCreateWindow(options.width, options.height, options.title.c_str(), nullptr,
                                   nullptr);
        if (!window_) {
            return false;
        }
        glfwMakeContextCurrent(window_);
        glfwSwapInterval(options.vsync ? 1 : 0);
        glfwSetInputMode(window_, GLFW_LOCK_KEY_MODS, GLFW_TRUE);
        glfwSetWindowUserPointer(window_, this);
        glfwSetKeyCallback(window_, [](GLFWwindow* w, int key, int scancode, int action, int mods) {
            self(w).eventSeen_ = true;
            self(w).onKey(key, scancode, action, mods);
        });
        glfwSetCharCallback(window_, [](GLFWwindow* w, unsigned int c) {
            self(w).eventSeen_ = true;
            if (self(w).uiReady_) {
                ImGui_ImplGlfw_CharCallback(w, c);
            }
        });
        glfwSetMouseButtonCallback(window_, [](GLFWwindow* w, int button, int action, int mods) {
            self(w).eventSeen_ = true;
            self(w).onMouseButton(button, action, mods);
        });
        glfwSetCursorPosCallback(window_, [](GLFWwindow* w, double x, double y) {
            self(w).eventSeen_ = true;
            self(w).onCursor(x, y);
        });
        glfwSetScrollCallback(window_, [](GLFWwindow* w, double dx, double dy) {
            self(w).eventSeen_ = true;
            self(w).onScroll(dx, dy);
        });
        // A resize, an expose or a change of focus changes the picture without any input.
        glfwSetFramebufferSizeCallback(window_,
                                       [](GLFWwindow* w, int, int) { self(w).eventSeen_ = true; });
        glfwSetWindowRefreshCallback(window_, [](GLFWwindow* w) { self(w).eventSeen_ = true; });
        glfwSetWindowIconifyCallback(window_,
                                     [](GLFWwindow* w, int) { self(w).eventSeen_ = true; });
        glfwSetWindowCloseCallback(window_, [](GLFWwindow* w) { self(w).eventSeen_ = true; });
        glfwSetCursorEnterCallback(window_, [](GLFWwindow* w, int entered) {
            self(w).eventSeen_ = true;
            if (self(w).uiReady_) {
                ImGui_ImplGlfw_CursorEnterCallback(w, entered);
            }
        });
        glfwSetWindowFocusCallback(window_, [](GLFWwindow* w, int focused) {
            self(w).eventSeen_ = true;
            if (self(w).uiReady_) {
                ImGui_ImplGlfw_WindowFocusCallback(w, focused);
            }
        });
        return true;
    }

    int frameWidth() const override { return size(glfwGetFramebufferSize).first; }
    int frameHeight() const override { return size(glfwGetFramebufferSize).second; }
    int windowWidth() const override { return size(glfwGetWindowSize).first; }
    int windowHeight() const override { return size(glfwGetWindowSize).second; }

    bool isOpen() const override { return !glfwWindowShouldClose(window_); }
    void close() override { glfwSetWindowShouldClose(window_, GLFW_TRUE); }
    void pollEvents() override { glfwPollEvents(); }
    bool waitEvents(double seconds) override {
        eventSeen_ = false;
        if (seconds > 0) {
            glfwWaitEventsTimeout(seconds);
        } else {
            glfwPollEvents();
        }
        return std::exchange(eventSeen_, false);
    }
    // glfwPostEmptyEvent may be called from any thread once GLFW is initialised.
    void wake() override { glfwPostEmptyEvent(); }
    void setTitle(const std::string& utf8) override {
        if (utf8 != title_) {
            title_ = utf8;
            glfwSetWindowTitle(window_, title_.c_str());
        }
    }
    void setInputSink(inputSink* sink) override { sink_ = sink; }

    void beginFrame() override {
        glfwMakeContextCurrent(window_);
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
    }

    void initUi() override {
        // Callbacks stay ours; each passes the event on to ImGui first.
        ImGui_ImplGlfw_InitForOpenGL(window_, false);
        uiReady_ = true;
    }
    void newUiFrame() override { ImGui_ImplGlfw_NewFrame(); }
    void shutdownUi() override {
        if (uiReady_) {
            uiReady_ = false;
            ImGui_ImplGlfw_Shutdown();
        }
    }

    image readPixels() override {
        glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
        glReadBuffer(GL_BACK);
        return detail::readFramebuffer(frameWidth(), frameHeight());
    }

    void endFrame() override { glfwSwapBuffers(window_); }

private:
    static windowBackend& self(GLFWwindow* w) {
        return *static_cast<windowBackend*>(glfwGetWindowUserPointer(w));
    }

    template <class F> std::pair<int, int> size(F get) const {
        int w = 0, h = 0;
        get(window_, &w, &h);
        return {w, h};
    }

    void onKey(int key, int scancode, int action, int mods) {
        if (uiReady_) {
            ImGui_ImplGlfw_KeyCallback(window_, key, scancode, action, mods);
        }
        // The character of a press is remembered for its repeats and its release: letting go of
        // shift before the key must not turn the release of 'X' into the release of 'x'.
        if (action == GLFW_PRESS) {
            const keyMeaning m = translateKey(key, mods);
            if (m.character) {
                held_[key] = *m.character;
                if (sink_) {
                    sink_->keyDown(*m.character);
                }
            } else if (m.viewer && sink_) {
                sink_->viewerKeyDown(*m.viewer, false);
            }
            return;
        }
        const auto it = held_.find(key);
        if (action == GLFW_REPEAT) {
            if (it != held_.end()) {
                if (sink_) {
                    sink_->keyRepeat(it->second);
                }
            } else if (const keyMeaning m = translateKey(key, mods); m.viewer && sink_) {
                sink_->viewerKeyDown(*m.viewer, true);
            }
            return;
        }
        if (action == GLFW_RELEASE && it != held_.end()) {
            const unsigned int c = it->second;
            held_.erase(it);
            if (sink_) {
                sink_->keyUp(c);
            }
        }
    }

    void onMouseButton(int button, int action, int mods) {
        if (uiReady_) {
            ImGui_ImplGlfw_MouseButtonCallback(window_, button, action, mods);
        }
        const mouseButton b = buttonOf(button);
        if (b == mouseButton::none || !sink_) {
            return;
        }
        // Where the pointer was when this button event happened: the last motion delivered before
        // it. Asking the window system now would give where the pointer is after the motion still
        // queued behind the press, and a quick drag would start at its own end.
        if (!cursorKnown_) {
            glfwGetCursorPos(window_, &cursorX_, &cursorY_);
            cursorKnown_ = true;
        }
        sink_->buttonEvent(b, action == GLFW_PRESS, static_cast<int>(std::floor(cursorX_)),
                           static_cast<int>(std::floor(cursorY_)));
    }

    void onCursor(double x, double y) {
        cursorX_ = x;
        cursorY_ = y;
        cursorKnown_ = true;
        if (!sink_) {
            return;
        }
        mouseButton held = mouseButton::none;
        for (int b : {GLFW_MOUSE_BUTTON_LEFT, GLFW_MOUSE_BUTTON_MIDDLE, GLFW_MOUSE_BUTTON_RIGHT}) {
            if (glfwGetMouseButton(window_, b) == GLFW_PRESS) {
                held = buttonOf(b);
                break;
            }
        }
        sink_->mouseMove(static_cast<int>(std::floor(x)), static_cast<int>(std::floor(y)), held);
    }

    void onScroll(double dx, double dy) {
        if (uiReady_) {
            ImGui_ImplGlfw_ScrollCallback(window_, dx, dy);
        }
        if (!sink_) {
            return;
        }
        // Touchpads scroll in fractions of a notch; keep the remainder so that slow scrolling is
        // not rounded away.
        wheelRest_[0] += dy * 120.0;
        wheelRest_[1] -= dx * 120.0; // X11 reports a turn to the left as positive
        for (int axis = 0; axis < 2; ++axis) {
            const double whole = std::trunc(wheelRest_[axis]);
            if (whole != 0) {
                wheelRest_[axis] -= whole;
                sink_->wheel(static_cast<int>(whole), axis == 1);
            }
        }
    }

    GLFWwindow* window_ = nullptr;
    std::string title_;
    inputSink* sink_ = nullptr;
    bool eventSeen_ = false; // since the last waitEvents began
    bool uiReady_ = false;
    std::map<int, unsigned int> held_; // GLFW key -> character reported at its press
    double cursorX_ = 0, cursorY_ = 0; // the pointer as of the last motion event
    bool cursorKnown_ = false;
    double wheelRest_[2] = {0, 0};
};

} // namespace

std::unique_ptr<backend> makeWindowBackend(const backendOptions& options) {
    auto b = std::make_unique<windowBackend>();
    if (!b->open(options)) {
        std::fprintf(stderr, "window: cannot open a %dx%d OpenGL 3.3 window: %s\n", options.width,
                     options.height,
                     lastGlfwError.empty() ? "unknown error" : lastGlfwError.c_str());
        return nullptr;
    }
    return b;
}

} // namespace zel::render
