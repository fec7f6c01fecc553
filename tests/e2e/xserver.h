// A private X server (Xvfb) for the tests that open zelhost's window, and the X clients they run
// on it (xdotool, ImageMagick's import). ZEL_XVFB, ZEL_XDOTOOL and ZEL_IMPORT name the programs;
// empty when missing.
#pragma once

#include "e2e.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace e2e {

// The screen's size: zelhost's default window fills it, so the root window's picture is the
// window's.
inline constexpr int screenWidth = 1280;
inline constexpr int screenHeight = 720;

inline bool executable(const std::string& path) {
    return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

// Xvfb on a display number it picks itself, as big as zelhost's window, so that the root window's
// picture is the window's.
class xServer {
public:
    xServer() = default;
    ~xServer() {
        // A polite end lets the server remove its lock file and socket.
        server_.terminate(SIGTERM);
        server_.wait(10);
    }
    xServer(const xServer&) = delete;
    xServer& operator=(const xServer&) = delete;

    bool start(std::string& why) {
        int fds[2];
        if (::pipe(fds) != 0) {
            why = "pipe failed";
            return false;
        }
        processOptions spec;
        spec.args = {ZEL_XVFB,
                     "-displayfd",
                     std::to_string(fds[1]),
                     "-screen",
                     "0",
                     std::to_string(screenWidth) + "x" + std::to_string(screenHeight) + "x24",
                     "-nolisten",
                     "tcp",
                     "-noreset"};
        const bool started = server_.start(spec, log_.path() / "xvfb.out",
                                           (log_.path() / "xvfb.err").string(), {fds[1]});
        ::close(fds[1]);
        std::string number;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (started && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fds[0], POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0)
                continue;
            char c = 0;
            if (::read(fds[0], &c, 1) != 1 || c == '\n')
                break;
            number += c;
        }
        ::close(fds[0]);
        if (number.empty()) {
            why = "Xvfb did not start: " + readText(log_.path() / "xvfb.err");
            return false;
        }
        display_ = ":" + number;
        return true;
    }
    const std::string& display() const { return display_; }

    // Runs an X client on this display.
    processResult run(std::vector<std::string> args) const {
        processOptions spec;
        spec.args = std::move(args);
        spec.unsetEnvironment = {"WAYLAND_DISPLAY"};
        spec.environment = {{"DISPLAY", display_}};
        spec.timeoutSeconds = 30;
        return runProcess(spec);
    }
    void xdotool(const std::vector<std::string>& args) const {
        std::vector<std::string> all{ZEL_XDOTOOL};
        all.insert(all.end(), args.begin(), args.end());
        auto r = run(all);
        ASSERT_EQ(r.exitCode, 0) << "xdotool: " << r.err;
    }
    image screenshot(const fs::path& file) const {
        auto r = run({ZEL_IMPORT, "-window", "root", "PNG24:" + file.string()});
        return r.exitCode == 0 ? zel::render::readImage(file) : image{};
    }

private:
    tempFolder log_;
    backgroundProcess server_; // killed at the end of the test
    std::string display_;
};

inline bool haveXTools() {
    return executable(ZEL_XVFB) && executable(ZEL_XDOTOOL) && executable(ZEL_IMPORT);
}

} // namespace e2e
