#include "model_import.h"

#include "import_cache.h"

#include <iostream>
#include <mutex>

namespace zel::world::import {

namespace {

std::mutex optionsMutex;

isolationOptions& currentOptions() {
    static isolationOptions options;
    return options;
}

// The call the cache's loader serves, on this thread.
thread_local const importCall* currentCall = nullptr;

importCache& sharedCache() {
    static importCache cache([](const std::filesystem::path& file, std::string* reason) {
        isolationOptions options = importOptions();
        importProgress progress;
        if (currentCall) {
            options.readableFolders = currentCall->readableFolders;
            progress = currentCall->progress;
        }
        std::optional<scene> s = importIsolated(file, options, reason, nullptr, progress);
        return s ? std::make_shared<const scene>(std::move(*s)) : nullptr;
    });
    return cache;
}

} // namespace

std::shared_ptr<const scene> importFile(const std::filesystem::path& file, std::string* reason) {
    return importFile(file, reason, importCall{});
}

std::shared_ptr<const scene> importFile(const std::filesystem::path& file, std::string* reason,
                                        const importCall& call) {
    std::string why;
    std::shared_ptr<const scene> s;
    currentCall = &call;
    try {
        s = sharedCache().get(file, &why);
    } catch (const std::bad_alloc&) {
        why = "out of memory";
    }
    currentCall = nullptr;
    if (s)
        return s;
    if (why.empty())
        why = "unknown error";
    if (reason)
        *reason = why;
    else
        std::cerr << "readFile(): cannot read " << file.string() << ": " << why << '\n';
    return nullptr;
}

void setImportOptions(const isolationOptions& options) {
    std::lock_guard lock(optionsMutex);
    currentOptions() = options;
}

isolationOptions importOptions() {
    std::lock_guard lock(optionsMutex);
    return currentOptions();
}

void clearImportCache() {
    sharedCache().clear();
}

} // namespace zel::world::import
