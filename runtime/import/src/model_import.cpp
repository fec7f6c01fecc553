#include <zel/import/model_import.h>

#include <zel/import/import_cache.h>

namespace zel::world::import {

namespace {

importCache& sharedCache() {
    static importCache cache([](const std::filesystem::path& file, const isolationOptions& options,
                                std::string* reason) {
        std::optional<scene> s = importIsolated(file, options, reason);
        return s ? std::make_shared<const scene>(std::move(*s)) : nullptr;
    });
    return cache;
}

} // namespace

std::shared_ptr<const scene> importFile(const std::filesystem::path& file,
                                        const isolationOptions& options, std::string& reason) {
    std::string why;
    std::shared_ptr<const scene> s;
    try {
        s = sharedCache().get(file, options, &why);
    } catch (const std::bad_alloc&) {
        why = "out of memory";
    }
    if (s)
        return s;
    reason = why.empty() ? "unknown error" : why;
    return nullptr;
}

void clearImportCache() {
    sharedCache().clear();
}

} // namespace zel::world::import
