#include "viewer.h"

#include "help.h"
#include "sites.h"

#include <zel/render/backend.h>
#include <zel/render/image.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <type_traits>

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
    o.title = windowTitle(nullptr);
    return o;
}

template <class T> void append(std::string& out, const T& value) {
    static_assert(std::is_trivially_copyable_v<T>);
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void appendText(std::string& out, const std::string& text) {
    append(out, text.size());
    out += text;
}

} // namespace

std::string frameSignature(const render::frame& f) {
    std::string out;
    append(out, f.view);
    append(out, f.background);
    append(out, f.items.size());
    for (const render::drawItem& item : f.items) {
        append(out, item.key.get());
        append(out, item.vertexCount);
        append(out, item.indexCount);
        append(out, item.lines);
        append(out, item.world);
        append(out, item.diffuse);
        append(out, item.textureKey.get());
    }
    append(out, f.labels.size());
    for (const render::label& l : f.labels) {
        append(out, l.position);
        append(out, l.colour);
        appendText(out, l.text);
    }
    append(out, f.windows.size());
    for (const render::uiWindow& w : f.windows) {
        append(out, w.id);
        append(out, w.width);
        append(out, w.height);
        appendText(out, w.title);
        append(out, w.children.size());
        for (const render::uiElement& c : w.children) {
            append(out, c.type);
            append(out, std::array<int, 4>{c.x, c.y, c.w, c.h});
            appendText(out, c.text);
        }
    }
    append(out, f.hud.size());
    for (const std::string& line : f.hud)
        appendText(out, line);
    append(out, f.shared);
    append(out, f.sites.size());
    for (const render::presentSite& p : f.sites) {
        appendText(out, p.user);
        append(out, p.colour);
        append(out, p.self);
    }
    append(out, f.progress.has_value());
    if (f.progress) {
        appendText(out, f.progress->label);
        append(out, f.progress->done);
    }
    return out;
}

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

void historyInput::deliver(const std::function<void()>& event) {
    if (history)
        history->record(event);
    else
        event();
}

void historyInput::settle() {
    if (history && keys_.empty() && buttons_.empty())
        history->close();
}

void historyInput::keyDown(unsigned int code) {
    keys_.insert(code);
    deliver([&] { next_.keyDown(code); });
}
void historyInput::keyRepeat(unsigned int code) {
    deliver([&] { next_.keyRepeat(code); });
}
void historyInput::keyUp(unsigned int code) {
    deliver([&] { next_.keyUp(code); });
    if (const auto it = keys_.find(code); it != keys_.end())
        keys_.erase(it);
    settle();
}
void historyInput::viewerKeyDown(render::viewerKey key, bool repeat) {
    if (key == render::viewerKey::undo || key == render::viewerKey::redo) {
        if (history)
            key == render::viewerKey::undo ? history->undo() : history->redo();
        return;
    }
    next_.viewerKeyDown(key, repeat);
}
void historyInput::buttonEvent(render::mouseButton button, bool pressed, int x, int y) {
    if (pressed)
        buttons_.insert(button);
    deliver([&] { next_.buttonEvent(button, pressed, x, y); });
    if (!pressed)
        if (const auto it = buttons_.find(button); it != buttons_.end())
            buttons_.erase(it);
    settle();
}
void historyInput::mouseMove(int x, int y, render::mouseButton held) {
    deliver([&] { next_.mouseMove(x, y, held); });
    settle();
}
void historyInput::wheel(int delta, bool horizontal) {
    deliver([&] { next_.wheel(delta, horizontal); });
    settle();
}
void historyInput::entryText(std::uint64_t window, std::size_t child, const std::string& utf8) {
    deliver([&] { next_.entryText(window, child, utf8); });
    settle();
}
void historyInput::entryEnter(std::uint64_t window, std::size_t child) {
    deliver([&] { next_.entryEnter(window, child); });
    settle();
}
void historyInput::windowResized(std::uint64_t window, int width, int height) {
    deliver([&] { next_.windowResized(window, width, height); });
    settle();
}

viewer::viewer(world::world& w)
    : world_(w), input_(w), camera_(w), cameraInput_(camera_, input_), historyInput_(cameraInput_),
      frames_(w) {}

viewer::~viewer() {
    if (windowed_)
        world_.setReadProgress({});
}

std::unique_ptr<viewer> viewer::make(world::world& w, std::unique_ptr<render::backend> target) {
    if (!target)
        return nullptr;
    std::unique_ptr<viewer> v(new viewer(w));
    // Edges without stairs in every snapshot; the window smooths its pictures at rest (run).
    render::screenOptions options;
    options.smoothEdges = true;
    v->screen_ = render::screen::create(std::move(target), &v->historyInput_, options);
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
    v->screen_->setSmoothEdges(false);
    v->screen_->setInputSink(&v->queue_);
    viewer* self = v.get();
    w.setReadProgress(
        {[self](const std::string& file, double done) { return self->importing(file, done); },
         [self](const std::string&) { self->importFinished(); }});
    return v;
}

void viewer::drawFrame() {
    render::backend& target = screen_->target();
    if (target.frameWidth() > 0 && target.frameHeight() > 0) {
        const render::frame f = frames_.build();
        screen_->drawFrame(f);
        ++framesDrawn_;
        shown_ = frameSignature(f);
    }
}

void viewer::readAhead(const std::function<bool()>& stop) {
    // Only at rest: any input, a closed window or a quit request stops it at once, and the
    // loop goes on with what came.
    auto interrupted = [&] {
        screen_->pollEvents();
        return !queue_.empty() || !screen_->isOpen() || (stop && stop());
    };
    while (!interrupted() && world_.readAhead(interrupted)) {
    }
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
        queue_.deliverOne(historyInput_);
}

std::unique_ptr<viewer> viewer::openOffscreen(world::world& w, int width, int height) {
    render::backendOptions o = backendSize(width, height);
    o.vsync = false;
    return make(w, render::makeOffscreenBackend(o));
}

void viewer::run(const std::function<bool()>& stop) {
    using clock = std::chrono::steady_clock;
    // While something moves, one frame every 1/60 s (without vsync, as on a virtual display, the
    // loop would spin). At rest the loop sleeps until input, a window-system event or something
    // from the shared scene wakes it, and looks round a few times a second for a quit request
    // or a broker that went away.
    const auto framePeriod = std::chrono::microseconds(16667);
    const double restSeconds = 0.25;
    // The entry's text cursor blinks while it has the focus.
    const double typingSeconds = 0.1;
    // ImGui answers hover, clicks and new window sizes a frame late: a few more frames after input.
    const int framesAfterInput = 3;
    if (share_)
        share_->setWakeUp([&target = screen_->target()] { target.wake(); });
    auto last = clock::now();
    auto lastDrawn = last;
    bool moving = true;
    int settle = framesAfterInput;
    // Smoothing edges costs a software rasterizer a fixed share of a frame: the frames of a
    // moving picture are drawn without it, and the picture once more with it when it comes to
    // rest (and no frame follows within a rest period).
    bool smoothShown = false;
    while (screen_->isOpen() && !(stop && stop())) {
        double wait = restSeconds;
        if (moving || settle > 0)
            wait = std::max(
                0.0,
                std::chrono::duration<double>(framePeriod - (clock::now() - lastDrawn)).count());
        else if (screen_->entryHasFocus())
            wait = typingSeconds;
        // Input and window-system events; a wake-up from the shared scene is none (what it
        // brought shows as a changed frame).
        bool woke = screen_->waitEvents(wait);
        woke = !queue_.empty() || woke;
        // The clock first: an animation the input starts begins now, not a rest period ago.
        const auto now = clock::now();
        world_.advance(std::chrono::duration<double>(now - last).count());
        last = now;
        deliverQueued();
        if (!screen_->isOpen())
            break;
        if (share_)
            share_->pump();
        if (arrival_)
            arrival_->update();
        screen_->target().setTitle(windowTitle(share_));
        if (woke)
            settle = framesAfterInput;
        render::backend& target = screen_->target();
        // A minimised window has no pixels to draw into.
        if (target.frameWidth() <= 0 || target.frameHeight() <= 0) {
            moving = false;
            continue;
        }
        followShape();
        const render::frame f = frames_.build();
        std::string seen = frameSignature(f);
        moving = seen != shown_;
        if (!moving && settle == 0 && !screen_->entryHasFocus()) {
            if (windowed_ && !smoothShown &&
                clock::now() - lastDrawn >= std::chrono::duration<double>(restSeconds)) {
                screen_->setSmoothEdges(true);
                screen_->drawFrame(f);
                screen_->setSmoothEdges(false);
                ++framesDrawn_;
                smoothShown = true;
                continue;
            }
            readAhead(stop);
            continue;
        }
        // One frame per period at most, however fast input comes.
        if (const auto since = clock::now() - lastDrawn; since < framePeriod)
            std::this_thread::sleep_for(framePeriod - since);
        screen_->drawFrame(f);
        ++framesDrawn_;
        lastDrawn = clock::now();
        smoothShown = false;
        shown_ = std::move(seen);
        if (settle > 0)
            --settle;
    }
    if (share_)
        share_->setWakeUp({});
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
    if (arrival_)
        arrival_->update();
    return render::writePng(screen_->capture(frames_.build()), png);
}

} // namespace zel::host
