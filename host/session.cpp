#include "session.h"

#include "viewer.h"

#include <zel/component.h>
#include <zel/world/widgets.h>
#include <zel/xstd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <thread>

#ifndef ZEL_SAMPLE_MODELS_DIR
#define ZEL_SAMPLE_MODELS_DIR ""
#endif

namespace zel::host {

namespace fs = std::filesystem;
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
    : world_(w), modelFolder_(modelFolder) {}

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
    case commandKind::shareSync:
    case commandKind::shareWait:
        break; // run() does them: they can fail
    case commandKind::sleep: {
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(c.seconds));
        while (std::chrono::steady_clock::now() < until) {
            if (share_)
                share_->pump();
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
        if (share_)
            share_->pump();
        if (c.kind == commandKind::dump) {
            if (!writeDump(world_, c.text, err)) {
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
        execute(c);
    }
    if (share_)
        share_->pump();
    return true;
}

bool writeDump(const world::world& w, const std::string& file, std::ostream& err) {
    std::string text;
    try {
        text = w.dump().dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
        text += '\n';
    } catch (const std::exception& e) {
        err << "zelhost: cannot write dump " << file << ": " << e.what() << "\n";
        return false;
    }
    std::error_code ec;
    if (fs::is_directory(fs::path(file), ec)) {
        err << "zelhost: cannot write dump " << file << ": it is a folder\n";
        return false;
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) {
        err << "zelhost: cannot write dump " << file << ": " << std::strerror(errno) << "\n";
        return false;
    }
    out << text;
    out.close();
    if (!out) {
        err << "zelhost: cannot write dump " << file << ": write failed\n";
        return false;
    }
    return true;
}

namespace {

fs::path executableFolder() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe.parent_path();
}

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

std::string packageLabel(component::iPackage* p, const std::string& name) {
    std::string file = xstd::toDisplayUtf8(p->getFileName());
    return file.empty() ? name : name + " (" + file + ")";
}

} // namespace

std::string defaultModelFolder() {
    std::error_code ec;
    fs::path compiled(ZEL_SAMPLE_MODELS_DIR);
    if (!compiled.empty() && fs::is_directory(compiled, ec))
        return compiled.string();
    fs::path exeFolder = executableFolder();
    if (!exeFolder.empty()) {
        fs::path installed = exeFolder / ".." / "share" / "propplacer" / "models";
        if (fs::is_directory(installed, ec))
            return installed.lexically_normal().string();
    }
    return {};
}

wstring modelFolderFor(const hostOptions& options, std::ostream& err) {
    std::string models = options.models;
    if (models.empty()) {
        models = defaultModelFolder();
        if (models.empty()) {
            err << "zelhost: no sample models found (looked in " << ZEL_SAMPLE_MODELS_DIR
                << " and <zelhost>/../share/propplacer/models); give --models DIR\n";
            models = ZEL_SAMPLE_MODELS_DIR;
        }
    }
    std::error_code ec;
    fs::path absoluteModels = fs::absolute(fs::path(models), ec);
    wstring modelFolder =
        xstd::fromUtf8((ec ? fs::path(models) : absoluteModels.lexically_normal()).string());
    // A trailing separator would make the folder name differ from the one the user sees.
    while (modelFolder.size() > 1 && modelFolder.back() == u'/')
        modelFolder.pop_back();
    return modelFolder;
}

bool launchPackages(const hostOptions& options, session& s, std::ostream& err) {
    auto& loader = component::packageLoader::getTheSingleton();
    for (const std::string& folder : options.packagePaths)
        loader.addSearchFolder(xstd::fromUtf8(folder));

    struct toRun {
        component::iClassInfo* info;
        std::string package;
    };
    std::vector<toRun> classes;
    std::vector<component::iPackage*> loaded;
    for (const std::string& name : options.packages) {
        std::string reason;
        component::iPackage* p = loader.load(xstd::fromUtf8(name), &reason);
        if (!p) {
            err << "zelhost: cannot load package " << name << ": " << reason << "\n";
            return false;
        }
        if (std::find(loaded.begin(), loaded.end(), p) != loaded.end())
            continue; // named twice: one set of applications
        loaded.push_back(p);
        std::size_t before = classes.size();
        auto& registry = component::classRegistry::getTheSingleton();
        for (component::iClassInfo* info : registry.findAllInterface(iApplication::IID))
            if (info->getPackage() == p)
                classes.push_back({info, name});
        if (classes.size() == before) {
            err << "zelhost: package " << packageLabel(p, name) << " registers no application\n";
            return false;
        }
    }

    for (const toRun& c : classes) {
        auto* app = static_cast<iApplication*>(c.info->create(iApplication::IID));
        if (!app) {
            err << "zelhost: class " << xstd::toDisplayUtf8(c.info->getClassName())
                << " of package " << c.package << " made no application\n";
            return false;
        }
        s.launch(app);
    }
    return true;
}

namespace {

volatile std::sig_atomic_t quitSignal = 0;

// Ctrl-C or a polite kill ends the window's loop like Escape, so that the applications still get
// their deactivate, stop and delete. A signal the host was started to ignore (a background job's
// SIGINT) stays ignored.
class quitOnSignals {
public:
    quitOnSignals() {
        quitSignal = 0;
        for (int i = 0; i < 2; ++i) {
            previous_[i] = std::signal(signals_[i], [](int) { quitSignal = 1; });
            if (previous_[i] == SIG_IGN)
                std::signal(signals_[i], SIG_IGN);
        }
    }
    ~quitOnSignals() {
        for (int i = 0; i < 2; ++i)
            if (previous_[i] != SIG_ERR)
                std::signal(signals_[i], previous_[i]);
    }
    quitOnSignals(const quitOnSignals&) = delete;
    quitOnSignals& operator=(const quitOnSignals&) = delete;

private:
    const int signals_[2] = {SIGINT, SIGTERM};
    void (*previous_[2])(int) = {SIG_DFL, SIG_DFL};
};

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

    world::world world;
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
        std::string why;
        shared = share::sharedScene::join(world, so, err, why);
        if (!shared) {
            err << "zelhost: cannot join shared scene " << options.scene << ": " << why << "\n";
            return 4;
        }
        err << "zelhost: joined shared scene " << options.scene << " as site " << shared->siteId()
            << "\n";
    }

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

    int exitCode = 0;
    session s(world, modelFolder);
    s.setShare(shared.get());
    if (view)
        view->setShare(shared.get());
    if (!launchPackages(options, s, err))
        exitCode = 2;
    if (exitCode == 0 && !s.run(commands, err))
        exitCode = s.failureCode() ? s.failureCode() : 2;
    if (exitCode == 0 && windowed) {
        quitOnSignals signals;
        view->run([] { return quitSignal != 0; });
    }
    if (exitCode == 0 && !options.dump.empty() && !writeDump(world, options.dump, err))
        exitCode = 2;
    if (exitCode == 0 && !options.snapshot.empty() && !view->snapshot(options.snapshot))
        exitCode = 2;
    s.shutdown();
    shared.reset();
    return exitCode;
}

} // namespace zel::host
