// Start to first frame, measured inside one zelhost-like process: the world and its services, the
// viewer (window or offscreen), the package's start-up (which imports and places the first model),
// and the first frame drawn and read back (mesh uploads included). One measurement per process, so
// that the reader's import cache starts empty; first_frame.sh repeats it and takes medians.
//
//   zelhost_first_frame [--window] [--models DIR] [--size WxH]
//
// Prints one line on stderr (stdout carries the package's trace):
//   viewer MS  start-up MS  first-frame MS  total MS  triangles N
#include "model_folder.h"
#include "options.h"
#include "packages.h"
#include "session.h"
#include "viewer.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace {

double msSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

} // namespace

int main(int argc, char** argv) {
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    zel::host::hostOptions options;
    options.packages = {"propplacer"};
    bool window = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--window") {
            window = true;
        } else if (a == "--models" && i + 1 < argc) {
            options.models = argv[++i];
        } else if (a == "--size" && i + 1 < argc &&
                   zel::host::parseViewSize(argv[i + 1], options.width, options.height)) {
            ++i;
        } else {
            std::fprintf(stderr, "usage: %s [--window] [--models DIR] [--size WxH]\n", argv[0]);
            return 2;
        }
    }

    zel::world::world world;
    world.registerServices();
    zel::host::session session(world, zel::host::modelFolderFor(options, std::cerr));
    auto viewer = window ? zel::host::viewer::openWindow(world, options.width, options.height)
                         : zel::host::viewer::openOffscreen(world, options.width, options.height);
    if (!viewer)
        return 2;
    const double viewerMs = msSince(start);

    const auto launch = clock::now();
    if (!zel::host::launchPackages(options, session, std::cerr))
        return 2;
    const double startUpMs = msSince(launch);

    const auto draw = clock::now();
    const zel::render::image picture = viewer->getScreen().capture(viewer->buildFrame());
    const double frameMs = msSince(draw);
    const double totalMs = msSince(start);
    const std::size_t triangles = viewer->getScreen().scene().stats().drawnTriangles;

    session.shutdown();
    std::cout.flush();
    std::fprintf(stderr,
                 "viewer %.1f  start-up %.1f  first-frame %.1f  total %.1f  triangles %zu\n",
                 viewerMs, startUpMs, frameMs, totalMs, triangles);
    return picture.empty() ? 1 : 0;
}
