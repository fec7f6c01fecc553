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

importCache& sharedCache() {
    static importCache cache([](const std::filesystem::path& file, std::string* reason) {
        std::optional<scene> s = importIsolated(file, importOptions(), reason);
        return s ? std::make_shared<const scene>(std::move(*s)) : nullptr;
    });
    return cache;
}

} // namespace

std::shared_ptr<const scene> importFile(const std::filesystem::path& file, std::string* reason) {
    std::string why;
    std::shared_ptr<const scene> s;
    try {
        s = sharedCache().get(file, &why);
    } catch (const std::bad_alloc&) {
        why = "out of memory";
    }
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
