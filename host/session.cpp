#include "session.h"

#include "dump.h"

#include <zel/world/widgets.h>
#include <zel/xstd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

namespace zel::host {

using application::applicationEvent;
using application::iApplication;

applicationHandle::applicationHandle(const wstring& modelFolder) : path_({modelFolder}) {}

void applicationHandle::setProfile(const application::profile& p) {
    profile_ = p;
}

xstd::searchPath applicationHandle::getSearchPath() const {
    return path_;
}

session::session(world::world& w, const wstring& modelFolder)
    : world_(w), modelFolder_(modelFolder), camera_(w), history_(w) {}

session::~session() {
    destroyAll();
}

void session::launch(iApplication* app) {
    if (!app)
        return;
    apps_.push_back({std::make_unique<applicationHandle>(modelFolder_), app});
    applicationEvent e(apps_.back().handle.get());
    app->onStart(e);
    app->onActivate(e);
}

std::size_t session::liveCount() const {
    std::size_t n = 0;
    for (const running& r : apps_)
        n += r.app != nullptr;
    return n;
}

void session::lifecycle(void (iApplication::*op)(const applicationEvent&)) {
    for (running& r : apps_)
        if (r.app)
            (r.app->*op)(applicationEvent(r.handle.get()));
}

void session::destroyAll() {
    for (running& r : apps_)
        delete std::exchange(r.app, nullptr);
}

void session::shutdown() {
    for (running& r : apps_) {
        if (!r.app)
            continue;
        applicationEvent e(r.handle.get());
        r.app->onDeactivate(e);
        r.app->onStop(e);
        delete std::exchange(r.app, nullptr);
    }
}

bool session::isInput(commandKind k) {
    switch (k) {
    case commandKind::key:
    case commandKind::keyDown:
    case commandKind::keyUp:
    case commandKind::keyPress:
    case commandKind::mouse:
    case commandKind::wheel:
    case commandKind::entryType:
    case commandKind::entryEnter:
    case commandKind::resize:
        return true;
    default:
        return false;
    }
}

void session::execute(const command& c) {
    switch (c.kind) {
    case commandKind::key:
        world_.keyDown(c.code);
        world_.keyUp(c.code);
        break;
    case commandKind::keyDown:
        world_.keyDown(c.code);
        break;
    case commandKind::keyUp:
        world_.keyUp(c.code);
        break;
    case commandKind::keyPress:
        world_.keyPress(c.code);
        break;
    case commandKind::mouse:
        world_.mouse(c.hasPos ? sceneGraph::mouseEvent(c.mouseType, c.button, c.x, c.y)
                              : sceneGraph::mouseEvent(c.mouseType, c.button));
        break;
    case commandKind::wheel:
        world_.mouse(sceneGraph::mouseEvent::wheel(sceneGraph::VERTICAL, c.delta));
        break;
    case commandKind::entryType:
        if (world::windowFrame* w = world_.getEntryWindow())
            w->typeText(xstd::fromUtf8(c.text));
        break;
    case commandKind::entryEnter:
        if (world::windowFrame* w = world_.getEntryWindow())
            w->pressEnter();
        break;
    case commandKind::resize:
        if (world::windowFrame* w = world_.getEntryWindow())
            w->resize(c.width, c.height);
        break;
    case commandKind::start:
        lifecycle(&iApplication::onStart);
        break;
    case commandKind::stop:
        lifecycle(&iApplication::onStop);
        break;
    case commandKind::activate:
        lifecycle(&iApplication::onActivate);
        break;
    case commandKind::deactivate:
        lifecycle(&iApplication::onDeactivate);
        break;
    case commandKind::destroy:
        destroyAll();
        break;
    case commandKind::advance:
        world_.advance(c.seconds);
        break;
    case commandKind::dump:
    case commandKind::view:
    case commandKind::shareSync:
    case commandKind::shareWait:
    case commandKind::undo:
    case commandKind::redo:
        break; // run() does these: they report on err and can fail
    case commandKind::sleep: {
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(c.seconds));
        // Time to read ahead: the models a ">" or "<" would step to next.
        auto over = [&until] { return std::chrono::steady_clock::now() >= until; };
        bool ahead = true;
        while (std::chrono::steady_clock::now() < until) {
            pump();
            if (ahead && (ahead = world_.readAhead(over)))
                continue;
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                std::chrono::milliseconds(10), until - std::chrono::steady_clock::now()));
        }
        break;
    }
    }
}

bool session::run(const std::vector<command>& commands, std::ostream& err) {
    failureCode_ = 0;
    for (const command& c : commands) {
        pump();
        if (c.kind == commandKind::dump) {
            if (!writeDump(world_, c.text, err, &history_)) {
                failureCode_ = 2;
                return false;
            }
            continue;
        }
        if (c.kind == commandKind::shareSync) {
            if (share_ && !share_->sync(c.seconds)) {
                err << "zelhost: line " << c.line << ": share sync: the shared scene did not "
                    << "settle within " << c.seconds << " s: " << share_->syncProblem() << "\n";
                failureCode_ = 4;
                return false;
            }
            if (arrival_)
                arrival_->settle();
            continue;
        }
        if (c.kind == commandKind::shareWait) {
            const bool ok = share_ ? share_->waitSites(c.delta, c.seconds) : c.delta <= 1;
            if (!ok) {
                err << "zelhost: line " << c.line << ": share wait: fewer than " << c.delta
                    << " sites present"
                    << (share_ ? " after " + std::to_string(c.seconds) + " s"
                               : std::string(" (no --share)"))
                    << "\n";
                failureCode_ = 4;
                return false;
            }
            continue;
        }
        if (c.kind == commandKind::view) {
            if (!moveCamera(c, err))
                return false;
            continue;
        }
        if (c.kind == commandKind::undo || c.kind == commandKind::redo) {
            const bool undo = c.kind == commandKind::undo;
            if (!(undo ? history_.undo() : history_.redo()))
                err << "zelhost: line " << c.line << ": " << (undo ? "undo" : "redo")
                    << ": nothing to " << (undo ? "undo" : "redo") << "\n";
            continue;
        }
        if (isInput(c.kind)) {
            history_.record([&] { execute(c); });
            history_.close();
            continue;
        }
        execute(c);
    }
    pump();
    return true;
}

void session::pump() {
    if (share_)
        share_->pump();
    if (arrival_)
        arrival_->update();
}

bool session::moveCamera(const command& c, std::ostream& err) {
    bool moved = false;
    const char* name = "";
    switch (c.viewMove) {
    case viewMoveKind::frame:
        name = "frame";
        moved = camera_.frame();
        break;
    case viewMoveKind::home:
        name = "home";
        moved = camera_.home();
        break;
    case viewMoveKind::orbit:
        name = "orbit";
        moved = camera_.orbit(c.dx, c.dy);
        break;
    case viewMoveKind::zoom:
        name = "zoom";
        moved = camera_.zoom(c.factor);
        break;
    case viewMoveKind::site:
        name = "site";
        moved = camera_.frameUser(c.text);
        if (!moved) {
            // Looking for someone who is not there is a failed script, not a camera that stays.
            err << "zelhost: line " << c.line << ": view site " << c.text << ": "
                << camera_.refusal() << "\n";
            failureCode_ = 2;
            return false;
        }
        break;
    }
    if (!moved)
        err << "zelhost: line " << c.line << ": view " << name << ": " << camera_.refusal()
            << "; the camera stays\n";
    return true;
}

} // namespace zel::host
