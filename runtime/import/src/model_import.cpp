#include <zel/import/model_import.h>

#include <zel/import/import_cache.h>
#include <zel/import/import_inputs.h>
#include <zel/import/scene_codec.h>

#include <openssl/evp.h>

#include <iostream>

namespace zel::import {

namespace {

// The progress callback of the import the cache's loader runs on this thread.
thread_local const importProgress* currentProgress = nullptr;

std::mutex persistentMutex;
std::shared_ptr<diskCache>& persistentSlot() {
    static std::shared_ptr<diskCache> cache;
    return cache;
}

std::shared_ptr<diskCache> persistent() {
    std::lock_guard lock(persistentMutex);
    return persistentSlot();
}

// The helper's own identity: its content (which holds its importer options and the texture
// rules), Assimp's version and the wire format's.
std::optional<digest> helperDigest(const isolationOptions& options) {
    const std::filesystem::path importer =
        options.importer.empty() ? locateImporter(nullptr) : options.importer;
    if (importer.empty())
        return std::nullopt;
    return contentDigest(importer);
}

} // namespace

std::optional<digest> importKey(const std::filesystem::path& model,
                                const isolationOptions& options) {
    const std::optional<digest> helper = helperDigest(options);
    const std::optional<digest> content = contentDigest(model);
    if (!helper || !content)
        return std::nullopt;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    auto add = [ctx](const void* p, std::size_t n) { EVP_DigestUpdate(ctx, p, n); };
    auto addText = [&](const std::string& s) { add(s.c_str(), s.size() + 1); };
    addText("propplacer import 1");
    add(&sceneCodecVersion, sizeof sceneCodecVersion);
    addText(ZEL_ASSIMP_VERSION);
    add(helper->data(), helper->size());
    addText(model.string());
    add(content->data(), content->size());
    const std::uint64_t folders = options.readableFolders.size();
    add(&folders, sizeof folders);
    std::error_code ec;
    for (const std::filesystem::path& f : options.readableFolders)
        addText(std::filesystem::weakly_canonical(std::filesystem::absolute(f, ec), ec).string());
    digest d{};
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx, d.data(), &n);
    EVP_MD_CTX_free(ctx);
    return d;
}

namespace {

std::shared_ptr<const scene> load(const std::filesystem::path& file,
                                  const isolationOptions& options, std::string* reason) {
    const std::shared_ptr<diskCache> disk = persistent();
    std::optional<digest> key;
    const std::int64_t start = coarseNowNs();
    if (disk) {
        key = importKey(file, options);
        if (key) {
            std::string complaint;
            if (std::optional<scene> s = disk->find(diskCache::kind::import, *key, &complaint))
                return std::make_shared<const scene>(std::move(*s));
            if (!complaint.empty())
                std::cerr << "zel: " << complaint << std::endl;
        }
    }
    isolationStats stats;
    std::optional<scene> s = importIsolated(file, options, reason, &stats,
                                            currentProgress ? *currentProgress : importProgress{});
    if (!s)
        return nullptr;
    auto value = std::make_shared<const scene>(std::move(*s));
    if (disk && key)
        disk->storeImport(*key, knownInputs(file, stats.files, *value, options.readableFolders),
                          start, value);
    return value;
}

importCache& sharedCache() {
    static importCache cache(load);
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

void usePersistentCache(const cacheSettings& settings) {
    std::shared_ptr<diskCache> next =
        settings.enabled ? std::make_shared<diskCache>(settings) : nullptr;
    std::shared_ptr<diskCache> old;
    {
        std::lock_guard lock(persistentMutex);
        old = std::exchange(persistentSlot(), std::move(next));
    }
}

std::shared_ptr<diskCache> persistentCache() {
    return persistent();
}

} // namespace zel::import
