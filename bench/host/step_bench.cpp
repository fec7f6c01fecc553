// ">" from key to the frame that shows the model, measured inside one zelhost-like process drawing
// offscreen: the package's step (the import or the caches), then the frame built, drawn and read
// back (the upload included).
//
//   zelhost_step_bench --models DIR [--cache DIR] [--rest SECONDS] [--steps N] [--rounds R]
//
// --cache: the persistent import cache's folder, and reading ahead on (without it: both off).
// --rest: before each step, let the reader read ahead for up to this long (default 0: not at
// all); it stops early once nothing is left. Prints one line per round on stderr (stdout carries
// the package's trace): round R  steps N  total MS  mean MS  max MS
#include "model_folder.h"
#include "options.h"
#include "packages.h"
#include "script.h"
#include "session.h"
#include "viewer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

using clock = std::chrono::steady_clock;

double msSince(clock::time_point t) {
    return std::chrono::duration<double, std::milli>(clock::now() - t).count();
}

} // namespace

int main(int argc, char** argv) {
    zel::host::hostOptions options;
    options.packages = {"propplacer"};
    options.width = 640;
    options.height = 360;
    std::string cache;
    double rest = 0;
    int steps = 1, rounds = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i], v = argv[i + 1];
        if (a == "--models")
            options.models = v;
        else if (a == "--cache")
            cache = v;
        else if (a == "--rest")
            rest = std::atof(v.c_str());
        else if (a == "--steps")
            steps = std::max(1, std::atoi(v.c_str()));
        else if (a == "--rounds")
            rounds = std::max(1, std::atoi(v.c_str()));
        else {
            std::fprintf(stderr,
                         "usage: %s --models DIR [--cache DIR] [--rest S] [--steps N] [--rounds "
                         "R]\n",
                         argv[0]);
            return 2;
        }
    }

    zel::world::worldOptions settings;
    if (!cache.empty()) {
        settings.importCacheFolder = cache;
        settings.readAhead = true;
    }
    zel::world::world world(settings);
    world.registerServices();
    zel::host::session session(world, zel::host::modelFolderFor(options, std::cerr));
    auto viewer = zel::host::viewer::openOffscreen(world, options.width, options.height);
    if (!viewer || !zel::host::launchPackages(options, session, std::cerr))
        return 2;
    viewer->drawFrame();
    const zel::host::parsedScript step = zel::host::parseScript("key >\n", "step");

    for (int r = 1; r <= rounds; ++r) {
        double total = 0, worst = 0;
        for (int s = 0; s < steps; ++s) {
            const auto until = clock::now() + std::chrono::duration_cast<clock::duration>(
                                                  std::chrono::duration<double>(rest));
            auto over = [&until] { return clock::now() >= until; };
            while (rest > 0 && !over() && world.readAhead(over)) {
            }
            const auto key = clock::now();
            if (!session.run(step.commands, std::cerr))
                return 1;
            const zel::render::image shown = viewer->getScreen().capture(viewer->buildFrame());
            const double ms = msSince(key);
            if (shown.empty())
                return 1;
            total += ms;
            worst = std::max(worst, ms);
        }
        std::fprintf(stderr, "round %d  steps %d  total %.1f  mean %.1f  max %.1f\n", r, steps,
                     total, total / steps, worst);
    }
    session.shutdown();
    std::cout.flush();
    return 0;
}
