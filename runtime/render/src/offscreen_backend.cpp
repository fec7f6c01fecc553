// The offscreen backend: an EGL context on Mesa's surfaceless platform (no display server needed)
// drawing into a framebuffer object, multisampled when asked and resolved on read.

#include <zel/render/backend.h>

#include "gl.h"
#include "readback.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <imgui.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <utility>

#ifndef EGL_PLATFORM_SURFACELESS_MESA
#define EGL_PLATFORM_SURFACELESS_MESA 0x31DD
#endif

namespace zel::render {

namespace {

const char* eglErrorName(EGLint e) {
    switch (e) {
    case EGL_SUCCESS:
        return "no error";
    case EGL_NOT_INITIALIZED:
        return "EGL_NOT_INITIALIZED";
    case EGL_BAD_ACCESS:
        return "EGL_BAD_ACCESS";
    case EGL_BAD_ALLOC:
        return "EGL_BAD_ALLOC";
    case EGL_BAD_ATTRIBUTE:
        return "EGL_BAD_ATTRIBUTE";
    case EGL_BAD_CONFIG:
        return "EGL_BAD_CONFIG";
    case EGL_BAD_CONTEXT:
        return "EGL_BAD_CONTEXT";
    case EGL_BAD_DISPLAY:
        return "EGL_BAD_DISPLAY";
    case EGL_BAD_MATCH:
        return "EGL_BAD_MATCH";
    case EGL_BAD_PARAMETER:
        return "EGL_BAD_PARAMETER";
    default:
        return "EGL error";
    }
}

class offscreenBackend final : public backend {
public:
    ~offscreenBackend() override {
        if (context_ != EGL_NO_CONTEXT) {
            eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, context_);
            glDeleteFramebuffers(2, framebuffers_);
            glDeleteRenderbuffers(3, renderbuffers_);
            eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
            eglDestroyContext(display_, context_);
        }
        if (display_ != EGL_NO_DISPLAY) {
            eglTerminate(display_);
        }
        eglReleaseThread();
    }

    // False on failure, the reason in `why`.
    bool open(const backendOptions& options, const char*& why) {
        width_ = options.width;
        height_ = options.height;
        if (width_ <= 0 || height_ <= 0 || width_ > 16384 || height_ > 16384) {
            why = "the size must be between 1x1 and 16384x16384";
            return false;
        }
        display_ = eglGetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA,
                                         reinterpret_cast<void*>(EGL_DEFAULT_DISPLAY), nullptr);
        if (display_ == EGL_NO_DISPLAY) {
            why = "no EGL surfaceless platform (Mesa's EGL is needed)";
            return false;
        }
        EGLint major = 0, minor = 0;
        if (!eglInitialize(display_, &major, &minor)) {
            why = eglErrorName(eglGetError());
            display_ = EGL_NO_DISPLAY;
            return false;
        }
        if (!eglBindAPI(EGL_OPENGL_API)) {
            why = "EGL offers no desktop OpenGL";
            return false;
        }
        const EGLint configAttributes[] = {EGL_SURFACE_TYPE,
                                           EGL_PBUFFER_BIT,
                                           EGL_RENDERABLE_TYPE,
                                           EGL_OPENGL_BIT,
                                           EGL_RED_SIZE,
                                           8,
                                           EGL_GREEN_SIZE,
                                           8,
                                           EGL_BLUE_SIZE,
                                           8,
                                           EGL_NONE};
        EGLConfig config = nullptr;
        EGLint count = 0;
        if (!eglChooseConfig(display_, configAttributes, &config, 1, &count) || count < 1) {
            why = "no EGL configuration for OpenGL";
            return false;
        }
        const EGLint contextAttributes[] = {EGL_CONTEXT_MAJOR_VERSION,
                                            3,
                                            EGL_CONTEXT_MINOR_VERSION,
                                            3,
                                            EGL_CONTEXT_OPENGL_PROFILE_MASK,
                                            EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT,
                                            EGL_NONE};
        context_ = eglCreateContext(display_, config, EGL_NO_CONTEXT, contextAttributes);
        if (context_ == EGL_NO_CONTEXT) {
            why = "no OpenGL 3.3 core context";
            return false;
        }
        if (!eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, context_)) {
            why = "cannot make the context current without a surface";
            return false;
        }
        return makeFramebuffers(options.samples, why);
    }

    int frameWidth() const override { return width_; }
    int frameHeight() const override { return height_; }
    bool isOpen() const override { return open_; }
    void close() override { open_ = false; }
    void pollEvents() override {}
    bool waitEvents(double seconds) override {
        std::unique_lock lock(wakeMutex_);
        if (seconds > 0)
            woken_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return awake_; });
        awake_ = false;
        return false;
    }
    void wake() override {
        {
            std::lock_guard lock(wakeMutex_);
            awake_ = true;
        }
        woken_.notify_all();
    }
    void setInputSink(inputSink*) override {}

    void beginFrame() override {
        eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, context_);
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffers_[0]);
    }

    void initUi() override { ImGui::GetIO().DisplaySize = ImVec2(float(width_), float(height_)); }

    void newUiFrame() override {
        ImGuiIO& io = ImGui::GetIO();
        io.DisplaySize = ImVec2(float(width_), float(height_));
        io.DisplayFramebufferScale = ImVec2(1, 1);
        // A fixed step keeps offscreen frames identical from run to run.
        io.DeltaTime = 1.0f / 60.0f;
    }

    void shutdownUi() override {}

    image readPixels() override {
        GLuint source = framebuffers_[0];
        if (framebuffers_[1]) {
            glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffers_[0]);
            glBindFramebuffer(GL_DRAW_FRAMEBUFFER, framebuffers_[1]);
            glBlitFramebuffer(0, 0, width_, height_, 0, 0, width_, height_, GL_COLOR_BUFFER_BIT,
                              GL_NEAREST);
            source = framebuffers_[1];
        }
        glBindFramebuffer(GL_READ_FRAMEBUFFER, source);
        glReadBuffer(GL_COLOR_ATTACHMENT0);
        image out = detail::readFramebuffer(width_, height_);
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffers_[0]);
        return out;
    }

    void endFrame() override { glFlush(); }

private:
    std::mutex wakeMutex_;
    std::condition_variable woken_;
    bool awake_ = false;

    bool makeFramebuffers(int samples, const char*& why) {
        GLint maxSamples = 0;
        glGetIntegerv(GL_MAX_SAMPLES, &maxSamples);
        samples = samples < 0 ? 0 : (samples > maxSamples ? maxSamples : samples);
        glGenFramebuffers(samples > 0 ? 2 : 1, framebuffers_);
        glGenRenderbuffers(samples > 0 ? 3 : 2, renderbuffers_);

        glBindFramebuffer(GL_FRAMEBUFFER, framebuffers_[0]);
        glBindRenderbuffer(GL_RENDERBUFFER, renderbuffers_[0]);
        glRenderbufferStorageMultisample(GL_RENDERBUFFER, samples, GL_RGBA8, width_, height_);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER,
                                  renderbuffers_[0]);
        glBindRenderbuffer(GL_RENDERBUFFER, renderbuffers_[1]);
        glRenderbufferStorageMultisample(GL_RENDERBUFFER, samples, GL_DEPTH24_STENCIL8, width_,
                                         height_);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_STENCIL_ATTACHMENT, GL_RENDERBUFFER,
                                  renderbuffers_[1]);
        if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
            why = "the framebuffer object is incomplete";
            return false;
        }
        if (samples > 0) {
            glBindFramebuffer(GL_FRAMEBUFFER, framebuffers_[1]);
            glBindRenderbuffer(GL_RENDERBUFFER, renderbuffers_[2]);
            glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width_, height_);
            glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER,
                                      renderbuffers_[2]);
            if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
                why = "the resolve framebuffer object is incomplete";
                return false;
            }
        }
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffers_[0]);
        return true;
    }

    EGLDisplay display_ = EGL_NO_DISPLAY;
    EGLContext context_ = EGL_NO_CONTEXT;
    GLuint framebuffers_[2] = {0, 0};     // drawn into; resolved into (multisampling only)
    GLuint renderbuffers_[3] = {0, 0, 0}; // colour, depth, resolved colour
    int width_ = 0;
    int height_ = 0;
    bool open_ = true;
};

} // namespace

std::unique_ptr<backend> makeOffscreenBackend(const backendOptions& options) {
    auto b = std::make_unique<offscreenBackend>();
    const char* why = "unknown error";
    if (!b->open(options, why)) {
        std::fprintf(stderr, "offscreen: cannot create a %dx%d OpenGL 3.3 framebuffer: %s\n",
                     options.width, options.height, why);
        return nullptr;
    }
    return b;
}

} // namespace zel::render
