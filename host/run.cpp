#include "run.h"

#include "arrival.h"
#include "dump.h"
#include "model_folder.h"
#include "packages.h"
#include "progress_line.h"
#include "script.h"
#include "session.h"
#include "signals.h"
#include "viewer.h"

#include <zel/import/disk_cache.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <istream>
#include <iterator>
#include <optional>
#include <ostream>

#include <unistd.h>

namespace zel::host {

namespace fs = std::filesystem;

namespace {

// An output's folder must exist before the run starts, so that a long script does not fail at its
// end.
bool checkOutputFolder(const char* what, const std::string& file, std::ostream& err) {
    fs::path parent = fs::path(file).parent_path();
    std::error_code ec;
    if (parent.empty() || fs::is_directory(parent, ec))
        return true;
    err << "zelhost: cannot write " << what << " " << file << ": no folder " << parent.string()
        << "\n";
    return false;
}

// The snapshot's name is known before the run: a folder there is refused at once.
bool checkSnapshotFile(const std::string& file, std::ostream& err) {
    if (!checkOutputFolder("snapshot", file, err))
        return false;
    std::error_code ec;
    if (fs::is_directory(fs::path(file), ec)) {
        err << "zelhost: cannot write snapshot " << file << ": it is a folder\n";
        return false;
    }
    return true;
}

bool readScript(const std::string& name, std::istream& standardInput, std::string& text,
                std::ostream& err) {
    if (name == "-") {
        text.assign(std::istreambuf_iterator<char>(standardInput), {});
        return true;
    }
    std::error_code ec;
    if (fs::is_directory(name, ec)) {
        err << "zelhost: cannot read script " << name << ": it is a folder\n";
        return false;
    }
    std::ifstream in(name, std::ios::binary);
    if (!in) {
        err << "zelhost: cannot read script " << name << ": " << std::strerror(errno) << "\n";
        return false;
    }
    text.assign(std::istreambuf_iterator<char>(in), {});
    if (in.bad()) {
        err << "zelhost: cannot read script " << name << ": read failed\n";
        return false;
    }
    return true;
}

} // namespace

int runHost(const hostOptions& options, std::istream& standardInput, std::ostream& err) {
    // Everything that can be checked is checked before the first package is loaded, so that a bad
    // line never leaves a half-run session.
    std::vector<command> commands;
    if (!options.script.empty()) {
        std::string text;
        if (!readScript(options.script, standardInput, text, err))
            return 2;
        parsedScript parsed = parseScript(text, options.script == "-" ? "-" : options.script);
        if (!parsed.ok) {
            err << parsed.error << "\n";
            return 2;
        }
        commands = std::move(parsed.commands);
    }
    if (!options.dump.empty() && !checkOutputFolder("dump", options.dump, err))
        return 2;
    for (const command& c : commands)
        if (c.kind == commandKind::dump && !checkOutputFolder("dump", c.text, err))
            return 2;
    if (!options.snapshot.empty() && !checkSnapshotFile(options.snapshot, err))
        return 2;

    const wstring modelFolder = modelFolderFor(options, err);

    // The persistent import cache, unless this run or the environment turns it off.
    world::worldOptions worldSettings;
    zel::import::cacheSettings cache;
    if (!options.noCache) {
        std::string why;
        cache = import::cacheSettingsFromEnvironment(&why);
        if (!cache.enabled && !why.empty() && why != "ZEL_CACHE_SIZE is 0")
            err << "zelhost: no import cache: " << why << "\n";
        if (cache.enabled) {
            // Reading ahead fills the caches: off with them.
            worldSettings.readAhead = true;
            worldSettings.importCacheFolder = cache.folder.string();
            worldSettings.importCacheBase = cache.base.string();
            worldSettings.importCacheBytes = cache.maxBytes;
        }
    }

    world::world world(worldSettings);
    world.registerServices();

    // Joined before the packages start, so that what they place is shared from the first change.
    std::unique_ptr<share::sharedScene> shared;
    if (!options.share.empty()) {
        share::shareOptions so;
        so.servers = options.share;
        so.scene = options.scene;
        so.user = options.user.empty() ? defaultUserName() : options.user;
        auto env = [](const char* name) {
            const char* value = std::getenv(name);
            return value ? std::string(value) : std::string();
        };
        so.brokerUser = env("ZEL_SHARE_USER");
        so.brokerPassword = env("ZEL_SHARE_PASSWORD");
        so.credentialsFile = env("ZEL_SHARE_CREDS");
        if (cache.enabled) {
            so.modelCacheFolder = cache.folder.string();
            so.modelCacheBase = cache.base.string();
            so.modelCacheBytes = cache.maxBytes;
        }
        so.caFile = env("ZEL_SHARE_CA");
        if (const std::string limit = env("ZEL_SHARE_ASSET_LIMIT"); !limit.empty()) {
            char* end = nullptr;
            const long long bytes = std::strtoll(limit.c_str(), &end, 10);
            if (end == limit.c_str() || *end || bytes <= 0) {
                err << "zelhost: ZEL_SHARE_ASSET_LIMIT must be a number of bytes\n";
                return 2;
            }
            so.assetLimitBytes = bytes;
        }
        std::string why;
        shared = share::sharedScene::join(world, so, err, why);
        if (!shared) {
            err << "zelhost: cannot join shared scene " << options.scene << ": " << why << "\n";
            return 4;
        }
        err << "zelhost: joined shared scene " << options.scene << " as site " << shared->siteId()
            << "\n";
    }
    std::optional<arrival> arrive;
    if (shared)
        arrive.emplace(world, *shared);

    // The backend is chosen once, here. A snapshot never opens a window; a window needs a display
    // and no script, and without one the run is the headless start and stop.
    std::unique_ptr<viewer> view;
    bool windowed = false;
    if (!options.snapshot.empty()) {
        view = viewer::openOffscreen(world, options.width, options.height);
        if (!view)
            return 2; // the backend said why
    } else if (options.script.empty() && !options.headless && displayAvailable()) {
        view = viewer::openWindow(world, options.width, options.height);
        windowed = view != nullptr;
        if (!windowed)
            err << "zelhost: running without a window\n";
    }

    // The window answers from its first frame on, the packages' start-up with its model import
    // included; Ctrl-C or SIGTERM cancel an import and quit. Headless on a terminal, a slow import
    // shows a progress line on stderr.
    std::optional<quitOnSignals> signals;
    std::optional<progressLine> line;
    if (windowed) {
        signals.emplace();
        view->setQuitRequest([] { return quitOnSignals::quitRequested(); });
        view->drawFrame();
    } else if (::isatty(STDERR_FILENO)) {
        line.emplace(stderr);
        world.setReadProgress(
            {[&line](const std::string& file, double done) { return line->update(file, done); },
             [&line](const std::string&) { line->finished(); }});
    }

    int exitCode = 0;
    session s(world, modelFolder);
    s.setViewAspect(double(options.width) / double(options.height));
    s.setShare(shared.get());
    s.setArrival(arrive ? &*arrive : nullptr);
    if (view) {
        view->setShare(shared.get());
        view->setArrival(arrive ? &*arrive : nullptr);
        view->setHistory(&s.history());
    }
    if (!launchPackages(options, s, err))
        exitCode = 2;
    if (exitCode == 0 && !s.run(commands, err))
        exitCode = s.failureCode() ? s.failureCode() : 2;
    if (exitCode == 0 && windowed && !quitOnSignals::quitRequested())
        view->run([] { return quitOnSignals::quitRequested(); });
    if (exitCode == 0 && !options.dump.empty() &&
        !writeDump(world, options.dump, err, &s.history()))
        exitCode = 2;
    if (exitCode == 0 && !options.snapshot.empty() && !view->snapshot(options.snapshot))
        exitCode = 2;
    s.shutdown();
    world.setReadProgress({});
    shared.reset();
    return exitCode;
}

} // namespace zel::host
