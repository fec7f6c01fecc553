#include <zel/import/model_import.h>

#include <zel/import/import_cache.h>

namespace zel::import {

namespace {

// The progress callback of the import the cache's loader runs on this thread.
thread_local const importProgress* currentProgress = nullptr;

importCache& sharedCache() {
    static importCache cache([](const std::filesystem::path& file, const isolationOptions& options,
                                std::string* reason) {
        std::optional<scene> s = importIsolated(
            file, options, reason, nullptr, currentProgress ? *currentProgress : importProgress{});
        return s ? std::make_shared<const scene>(std::move(*s)) : nullptr;
    });
    return cache;
}

} // namespace

std::shared_ptr<const scene> importFile(const std::filesystem::path& file,
                                        const isolationOptions& options, std::string& reason,
                                        const importProgress& progress) {
    std::string why;
    std::shared_ptr<const scene> s;
    currentProgress = &progress;
    try {
        s = sharedCache().get(file, options, &why);
    } catch (const std::bad_alloc&) {
        why = "out of memory";
    }
    currentProgress = nullptr;
    if (s)
        return s;
    reason = why.empty() ? "unknown error" : why;
    return nullptr;
}

void clearImportCache() {
    sharedCache().clear();
}

} // namespace zel::import
