#include "helper_pool.h"

#include <zel/import/helper_process.h>
#include <zel/import/import_protocol.h>
#include <zel/import/landlock_abi.h>

#include <iostream>
#include <mutex>
#include <string>
#include <system_error>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

namespace zel::import {

namespace {

void setReason(std::string* reason, std::string text) {
    if (reason)
        *reason = std::move(text);
}

// The helper started ahead, for the next import whose options match it.
std::mutex readyMutex;
std::unique_ptr<childProcess>& readyChild() {
    static std::unique_ptr<childProcess> ready;
    return ready;
}

} // namespace

std::unique_ptr<childProcess> startChild(const std::filesystem::path& importer,
                                         const isolationOptions& options) {
    auto out = std::make_unique<childProcess>();
    out->importer = importer;
    out->addressSpaceLimit = options.addressSpaceLimit;
    process::helperLimits limits;
    // A backstop until the request sets the file's own: the longest deadline in CPU seconds.
    limits.cpuSeconds = static_cast<std::uint64_t>(options.maxDeadline.count() / 1000 + 2);
    limits.addressSpace = options.addressSpaceLimit;
    // A child that dies abnormally would otherwise print the parent's buffered lines again.
    std::cout.flush();
    process::startedHelper started =
        process::startHelper({importer.string(), "--serve", std::to_string(protocol::resultFd),
                              std::to_string(protocol::requestFd)},
                             protocol::resultFd, protocol::requestFd, limits);
    out->pid = started.pid;
    out->result.reset(started.result.release());
    out->request.reset(started.request.release());
    out->error = std::move(started.error);
    return out;
}

void dismiss(std::unique_ptr<childProcess> child) {
    if (!child || child->pid < 0)
        return;
    process::kill(child->pid);
    process::reapInBackground(child->pid);
}

std::unique_ptr<childProcess> takeReady(const std::filesystem::path& importer,
                                        const isolationOptions& options) {
    std::lock_guard lock(readyMutex);
    std::unique_ptr<childProcess>& ready = readyChild();
    if (!ready)
        return nullptr;
    if (ready->importer != importer || ready->addressSpaceLimit != options.addressSpaceLimit) {
        dismiss(std::move(ready));
        return nullptr;
    }
    return std::move(ready);
}

std::filesystem::path importerFor(const isolationOptions& options, std::string* reason) {
    return options.importer.empty() ? locateImporter(reason) : options.importer;
}

void noteMissingLandlock(const isolationOptions& options) {
    static std::once_flag once;
    if (!options.sandbox)
        return;
    std::call_once(once, [] {
        if (landlockAbi() == 0)
            std::cerr << "zel: this kernel has no Landlock: the import helper's file system is "
                         "hidden by a user and mount namespace alone\n";
    });
}

std::filesystem::path locateImporter(std::string* reason) {
    if (const char* env = std::getenv("ZEL_IMPORTER"); env && *env)
        return env;
    Dl_info info{};
    link_map* map = nullptr;
    std::filesystem::path self;
    if (::dladdr1(reinterpret_cast<void*>(&locateImporter), &info, reinterpret_cast<void**>(&map),
                  RTLD_DL_LINKMAP) != 0 &&
        map && map->l_name && map->l_name[0] != '\0') {
        self = map->l_name;
    } else {
        // The code sits in the main executable, whose link-map entry has no name.
        std::error_code ec;
        self = std::filesystem::read_symlink("/proc/self/exe", ec);
        if (ec) {
            setReason(reason, "cannot find the import helper: " + ec.message());
            return {};
        }
    }
    std::filesystem::path helper = self.parent_path() / "zelimport";
    if (::access(helper.c_str(), X_OK) != 0) {
        setReason(reason, "cannot find the import helper " + helper.string() +
                              " (set ZEL_IMPORTER to its path)");
        return {};
    }
    return helper;
}

void prepareImporter(const isolationOptions& options) {
    if (!options.keepOneReady)
        return;
    noteMissingLandlock(options);
    const std::filesystem::path importer = importerFor(options, nullptr);
    if (importer.empty())
        return;
    std::lock_guard lock(readyMutex);
    std::unique_ptr<childProcess>& ready = readyChild();
    if (ready && ready->importer == importer &&
        ready->addressSpaceLimit == options.addressSpaceLimit)
        return;
    dismiss(std::move(ready));
    std::unique_ptr<childProcess> started = startChild(importer, options);
    if (started->pid >= 0)
        ready = std::move(started);
}

void dismissReadyImporter() {
    std::lock_guard lock(readyMutex);
    dismiss(std::move(readyChild()));
}

} // namespace zel::import
