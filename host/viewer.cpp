#include "viewer.h"

#include "help.h"

#include <zel/render/backend.h>
#include <zel/render/image.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace zel::host {

namespace {

bool named(const char* variable) {
    const char* value = std::getenv(variable);
    return value && *value;
}

render::backendOptions backendSize(int width, int height) {
    render::backendOptions o;
    o.width = width;
    o.height = height;
    o.title = "zelhost";
    return o;
}

} // namespace

bool displayAvailable() {
    return named("DISPLAY") || named("WAYLAND_DISPLAY");
}

viewer::viewer(world::world& w) : world_(w), input_(w), frames_(w) {}

viewer::~viewer() = default;

std::unique_ptr<viewer> viewer::make(world::world& w, std::unique_ptr<render::backend> target) {
    if (!target)
        return nullptr;
    std::unique_ptr<viewer> v(new viewer(w));
    v->screen_ = render::screen::create(std::move(target), &v->input_);
    if (!v->screen_)
        return nullptr;
    v->screen_->setHelp(helpText());
    return v;
}

std::unique_ptr<viewer> viewer::openWindow(world::world& w, int width, int height) {
    return make(w, render::makeWindowBackend(backendSize(width, height)));
}

std::unique_ptr<viewer> viewer::openOffscreen(world::world& w, int width, int height) {
    render::backendOptions o = backendSize(width, height);
    o.vsync = false;
    return make(w, render::makeOffscreenBackend(o));
}

void viewer::run(const std::function<bool()>& stop) {
    using clock = std::chrono::steady_clock;
    // Without vsync (a virtual display) the loop would spin; a frame every 1/60 s is plenty.
    const auto framePeriod = std::chrono::microseconds(16667);
    auto last = clock::now();
    while (screen_->isOpen() && !(stop && stop())) {
        screen_->pollEvents();
        if (!screen_->isOpen())
            break;
        if (share_)
            share_->pump();
        const auto now = clock::now();
        world_.advance(std::chrono::duration<double>(now - last).count());
        last = now;
        render::backend& target = screen_->target();
        // A minimised window has no pixels to draw into.
        if (target.frameWidth() > 0 && target.frameHeight() > 0)
            screen_->drawFrame(frames_.build());
        const auto spent = clock::now() - now;
        if (spent < framePeriod)
            std::this_thread::sleep_for(framePeriod - spent);
    }
}

bool viewer::snapshot(const std::filesystem::path& png) {
    if (share_)
        share_->pump();
    return render::writePng(screen_->capture(frames_.build()), png);
}

} // namespace zel::host
