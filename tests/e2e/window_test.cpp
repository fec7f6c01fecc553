// zelhost's window on a private X server (Xvfb): keys and the mouse sent with xdotool act as the
// same events in a script do, and a drag the package does not take turns the camera as
// "view orbit" does. The window's picture (taken with ImageMagick's import) matches an
// offscreen snapshot of that script, and the trace is the script's, shutdown included after Escape.
// Skipped when Xvfb, xdotool or import is missing.
#include "e2e.h"
#include "pictures.h"
#include "xserver.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace e2e {
namespace {

constexpr int width = 1280;
constexpr int height = 720;

// Screenshots until one differs from `expected` in at most `share` of its pixels, or the time is
// up; the last one taken.
image screenshotMatching(const xServer& x, const fs::path& file, const image& expected,
                         double share, double seconds) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(long(seconds * 1000));
    image shot;
    do {
        shot = x.screenshot(file);
        if (!shot.empty() && differingShare(shot, expected, 40) <= share)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } while (std::chrono::steady_clock::now() < deadline);
    return shot;
}

image offscreen(const std::string& script, const fs::path& folder,
                processResult* result = nullptr) {
    const fs::path png = folder / "reference.png";
    auto r = runHost({"--script", "-", "--snapshot", png.string()}, script);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    if (result)
        *result = r;
    return zel::render::readImage(png);
}

// The window's picture may differ from the offscreen one where the UI shows focus and hover: the
// status window's title bar loses its highlight when the user clicks into the scene.
constexpr double tolerance = 0.01;

TEST(window, answersKeysAndMouseAsTheScriptDoes) {
    for (const char* tool : {ZEL_XVFB, ZEL_XDOTOOL, ZEL_IMPORT})
        if (!executable(tool))
            GTEST_SKIP() << "needs Xvfb, xdotool and ImageMagick's import";
    tempFolder work;
    xServer x;
    std::string why;
    ASSERT_TRUE(x.start(why)) << why;

    processOptions spec;
    spec.args = {zelhostPath()};
    spec.workingDirectory = work.path().string();
    spec.unsetEnvironment = {"WAYLAND_DISPLAY"};
    spec.environment = {{"DISPLAY", x.display()}};
    backgroundProcess host;
    ASSERT_TRUE(
        host.start(spec, (work.path() / "out.txt").string(), (work.path() / "err.txt").string()));

    // The window shows the start-up world.
    const image start = offscreen("", work.path());
    image shot = screenshotMatching(x, work.path() / "shot.png", start, tolerance, 60);
    ASSERT_EQ(shot.width, width) << readText(work.path() / "err.txt");
    ASSERT_LE(differingShare(shot, start, 40), tolerance) << readText(work.path() / "err.txt");

    // x moves the model along X; Z steps back to axis mode XYZ, where holding v gives the mouse a
    // trackball: the press and the drag each turn the model; the wheel is reported.
    const std::string script = "key x\n"
                               "key Z\n"
                               "down v\n"
                               "mouse move 900 500\n"
                               "mouse down 1 900 500\n"
                               "mouse drag 1 940 520\n"
                               "mouse up 1 940 520\n"
                               "wheel 120\n"
                               "up v\n";
    x.xdotool({"key", "x", "key", "Z"});
    // In one go, so that the X server does not start auto-repeating v.
    x.xdotool({"keydown", "v", "mousemove", "900", "500", "mousedown", "1", "mousemove", "940",
               "520", "mouseup", "1", "click", "4", "keyup", "v"});

    processResult scripted;
    const image expected = offscreen(script, work.path(), &scripted);
    shot = screenshotMatching(x, work.path() / "shot.png", expected, tolerance, 30);
    ASSERT_FALSE(shot.empty());
    EXPECT_LE(differingShare(shot, expected, 40), tolerance);
    // The comparison can tell: the model has moved and turned since the start.
    EXPECT_GT(difference(shot, start, {width / 2, 0, width, height - 34}, 24).count, 2000);

    // F12 saves the window's picture in the working folder and names it on stderr.
    const fs::path saved = work.path() / "screenshot-1.png";
    x.xdotool({"key", "F12"});
    for (int i = 0; i < 100 && zel::render::readImage(saved).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const image screenshot = zel::render::readImage(saved);
    ASSERT_EQ(screenshot.width, width);
    EXPECT_LE(differingShare(screenshot, shot, 40), tolerance);

    // Without v the package does not hold the mouse: a left drag orbits the camera round the
    // model (a quarter of a degree a pixel, the model following the pointer) and the package
    // hears nothing of it.
    x.xdotool(
        {"mousemove", "640", "400", "mousedown", "1", "mousemove", "740", "400", "mouseup", "1"});
    const image orbited = offscreen(script + "view orbit -25 0\n", work.path());
    const image turned = screenshotMatching(x, work.path() / "shot.png", orbited, tolerance, 30);
    EXPECT_LE(differingShare(turned, orbited, 40), tolerance);
    EXPECT_GT(differingShare(turned, shot, 40), 0.003) << "the camera turned";

    // F frames the model and Home goes back to where the camera started, as the script's view
    // commands do; the package hears neither.
    x.xdotool({"key", "f"});
    const image framed = offscreen(script + "view orbit -25 0\nview frame\n", work.path());
    const image framedShot = screenshotMatching(x, work.path() / "shot.png", framed, tolerance, 30);
    EXPECT_LE(differingShare(framedShot, framed, 40), tolerance);
    EXPECT_GT(differingShare(framedShot, turned, 40), 0.003) << "framing moved the camera";
    x.xdotool({"key", "Home"});
    const image home = offscreen(script + "view orbit -25 0\nview frame\nview home\n", work.path());
    EXPECT_LE(differingShare(screenshotMatching(x, work.path() / "shot.png", home, tolerance, 30),
                             home, 40),
              tolerance);

    // Escape quits through the applications' deactivate, stop and delete.
    x.xdotool({"key", "Escape"});
    ASSERT_TRUE(host.wait(30)) << "zelhost did not quit on Escape";
    EXPECT_EQ(host.exitCode(), 0);
    EXPECT_EQ(readText(work.path() / "out.txt"), scripted.out);
    const std::string err = readText(work.path() / "err.txt");
    EXPECT_NE(err.find("screenshot-1.png"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

// The colour of the import's progress bar (its filled part).
bool showsProgressBar(const image& shot) {
    if (shot.empty())
        return false;
    int count = 0;
    for (int y = 0; y < shot.height; ++y)
        for (int x = 0; x < shot.width; ++x) {
            const std::uint8_t* p = shot.pixel(x, y);
            count +=
                std::abs(p[0] - 90) < 12 && std::abs(p[1] - 160) < 12 && std::abs(p[2] - 230) < 12;
        }
    return count > 50;
}

// A start-up model that does not load: the window still opens, shows the import's progress bar,
// and Escape cancels the import (the package takes its failure path); the window goes on, and a
// second Escape quits. The import helper is a stand-in that never answers, and the model is large
// enough (20 MB: a 12 s deadline) that only the cancel can end the import early.
TEST(window, escapeCancelsAnImportAndTheWindowGoesOn) {
    ZEL_NEEDS_CORPUS();
    for (const char* tool : {ZEL_XVFB, ZEL_XDOTOOL, ZEL_IMPORT})
        if (!executable(tool))
            GTEST_SKIP() << "needs Xvfb, xdotool and ImageMagick's import";
    tempFolder work;
    const fs::path models = work.path() / "models";
    fs::create_directory(models);
    fs::copy_file(corpus() / "generated/large.3ds", models / "archi.3ds");
    const fs::path helper = work.path() / "helper";
    writeText(helper, "#!/bin/sh\nexec sleep 60\n");
    fs::permissions(helper, fs::perms::owner_all);
    xServer x;
    std::string why;
    ASSERT_TRUE(x.start(why)) << why;

    processOptions spec;
    spec.args = {zelhostPath(), "--models", models.string()};
    spec.workingDirectory = work.path().string();
    spec.unsetEnvironment = {"WAYLAND_DISPLAY"};
    spec.environment = {{"DISPLAY", x.display()}, {"ZEL_IMPORTER", helper.string()}};
    backgroundProcess host;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(
        host.start(spec, (work.path() / "out.txt").string(), (work.path() / "err.txt").string()));

    // The window draws while the import runs.
    image shot;
    for (int i = 0; i < 100 && !showsProgressBar(shot); ++i) {
        shot = x.screenshot(work.path() / "shot.png");
        if (!showsProgressBar(shot))
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(showsProgressBar(shot)) << readText(work.path() / "err.txt");

    x.xdotool({"key", "Escape"});
    const fs::path err = work.path() / "err.txt";
    for (int i = 0; i < 100 && readText(err).find("cancelled") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(readText(err), "readFile(): cannot read archi.3ds: cancelled\n");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(11))
        << "the import ran to its deadline";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_FALSE(host.wait(0)) << "the window closed with the import";

    x.xdotool({"key", "Escape"});
    ASSERT_TRUE(host.wait(30)) << "zelhost did not quit on Escape";
    EXPECT_EQ(host.exitCode(), 0);
    // The trace is the start-up's with a failed read: the same as headless with a failing helper.
    writeText(helper, "#!/bin/sh\nexit 3\n");
    const processResult failed = runHost({"--headless", "--models", models.string()}, "", {},
                                         {{"ZEL_IMPORTER", helper.string()}});
    EXPECT_EQ(readText(work.path() / "out.txt"), failed.out);
}

} // namespace
} // namespace e2e
