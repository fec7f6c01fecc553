#include "viewer.h"

#include "help.h"

#include <zel/render/backend.h>
#include <zel/render/image.h>

#include <algorithm>
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

void inputQueue::deliverOne(render::inputSink& sink) {
    auto event = std::move(events_.front());
    events_.pop_front();
    event(sink);
}
void inputQueue::keyDown(unsigned int code) {
    events_.push_back([=](render::inputSink& s) { s.keyDown(code); });
}
void inputQueue::keyRepeat(unsigned int code) {
    events_.push_back([=](render::inputSink& s) { s.keyRepeat(code); });
}
void inputQueue::keyUp(unsigned int code) {
    events_.push_back([=](render::inputSink& s) { s.keyUp(code); });
}
void inputQueue::viewerKeyDown(render::viewerKey key, bool repeat) {
    if (key == render::viewerKey::escape && busy) {
        cancelRequested = cancelRequested || !repeat;
        return;
    }
    events_.push_back([=](render::inputSink& s) { s.viewerKeyDown(key, repeat); });
}
void inputQueue::buttonEvent(render::mouseButton button, bool pressed, int x, int y) {
    events_.push_back([=](render::inputSink& s) { s.buttonEvent(button, pressed, x, y); });
}
void inputQueue::mouseMove(int x, int y, render::mouseButton held) {
    events_.push_back([=](render::inputSink& s) { s.mouseMove(x, y, held); });
}
void inputQueue::wheel(int delta, bool horizontal) {
    events_.push_back([=](render::inputSink& s) { s.wheel(delta, horizontal); });
}
void inputQueue::entryText(std::uint64_t window, std::size_t child, const std::string& utf8) {
    events_.push_back([=](render::inputSink& s) { s.entryText(window, child, utf8); });
}
void inputQueue::entryEnter(std::uint64_t window, std::size_t child) {
    events_.push_back([=](render::inputSink& s) { s.entryEnter(window, child); });
}
void inputQueue::windowResized(std::uint64_t window, int width, int height) {
    events_.push_back([=](render::inputSink& s) { s.windowResized(window, width, height); });
}

viewer::viewer(world::world& w)
    : world_(w), input_(w), camera_(w), cameraInput_(camera_, input_), frames_(w) {}

viewer::~viewer() {
    if (windowed_)
        world_.setReadProgress({});
}

std::unique_ptr<viewer> viewer::make(world::world& w, std::unique_ptr<render::backend> target) {
    if (!target)
        return nullptr;
    std::unique_ptr<viewer> v(new viewer(w));
    v->screen_ = render::screen::create(std::move(target), &v->cameraInput_);
    if (!v->screen_)
        return nullptr;
    v->screen_->setHelp(helpText());
    v->followShape();
    return v;
}

std::unique_ptr<viewer> viewer::openWindow(world::world& w, int width, int height) {
    std::unique_ptr<viewer> v = make(w, render::makeWindowBackend(backendSize(width, height)));
    if (!v)
        return nullptr;
    v->windowed_ = true;
    v->screen_->setInputSink(&v->queue_);
    viewer* self = v.get();
    w.setReadProgress(
        {[self](const std::string& file, double done) { return self->importing(file, done); },
         [self](const std::string&) { self->importFinished(); }});
    return v;
}

void viewer::drawFrame() {
    render::backend& target = screen_->target();
    if (target.frameWidth() > 0 && target.frameHeight() > 0)
        screen_->drawFrame(frames_.build());
}

bool viewer::importing(const std::string& file, double done) {
    using clock = std::chrono::steady_clock;
    const auto now = clock::now();
    if (!queue_.busy) {
        queue_.busy = true;
        queue_.cancelRequested = false;
        screen_->setEscapeCloses(false);
        importStart_ = now;
        lastPoll_ = {};
    }
    // A frame every 50 ms at most (the import is called back about that often), so that the
    // window answers at 10 frames a second or more even when a frame takes long to draw.
    if (now - lastPoll_ >= std::chrono::milliseconds(45)) {
        lastPoll_ = now;
        screen_->pollEvents();
        if (!screen_->isOpen() || queue_.cancelRequested || (quit_ && quit_()))
            return false;
        // A quick import shows no bar: it would only flash.
        render::backend& target = screen_->target();
        if (now - importStart_ >= std::chrono::milliseconds(100) && target.frameWidth() > 0 &&
            target.frameHeight() > 0) {
            render::frame f = frames_.build();
            const int percent = static_cast<int>(std::clamp(done, 0.0, 1.0) * 100.0);
            f.progress = render::progressBar{"Loading " + file + "\xE2\x80\xA6 " +
                                                 std::to_string(percent) + "%",
                                             static_cast<float>(done)};
            screen_->drawFrame(f);
        }
    }
    return screen_->isOpen() && !queue_.cancelRequested && !(quit_ && quit_());
}

void viewer::importFinished() {
    queue_.busy = false;
    queue_.cancelRequested = false;
    screen_->setEscapeCloses(true);
}

void viewer::deliverQueued() {
    // An event may start an import that queues more: they come after it, in order.
    while (!queue_.empty() && screen_->isOpen())
        queue_.deliverOne(cameraInput_);
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
        deliverQueued();
        if (!screen_->isOpen())
            break;
        if (share_)
            share_->pump();
        const auto now = clock::now();
        world_.advance(std::chrono::duration<double>(now - last).count());
        last = now;
        render::backend& target = screen_->target();
        // A minimised window has no pixels to draw into.
        if (target.frameWidth() > 0 && target.frameHeight() > 0) {
            followShape();
            screen_->drawFrame(frames_.build());
        }
        const auto spent = clock::now() - now;
        if (spent < framePeriod)
            std::this_thread::sleep_for(framePeriod - spent);
    }
}

void viewer::followShape() {
    const render::backend& target = screen_->target();
    if (target.frameWidth() > 0 && target.frameHeight() > 0) {
        camera_.aspect = double(target.frameWidth()) / double(target.frameHeight());
        cameraInput_.viewHeight = std::max(target.windowHeight(), 1);
    }
}

bool viewer::snapshot(const std::filesystem::path& png) {
    if (share_)
        share_->pump();
    return render::writePng(screen_->capture(frames_.build()), png);
}

} // namespace zel::host
