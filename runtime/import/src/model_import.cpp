#include <zel/import/model_import.h>

#include <zel/import/import_cache.h>
#include <zel/import/import_inputs.h>
#include <zel/import/scene_codec.h>

#include <zel/base/sha256.h>

#include <chrono>
#include <iostream>

namespace zel::import {

namespace {

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

std::optional<digest> importKey(const std::filesystem::path& model, const isolationOptions& options,
                                hashBudget* budget) {
    const std::optional<digest> helper = helperDigest(options);
    if (!helper)
        return std::nullopt;
    // No more than the broker would grant the helper: a larger model gets no key, and its size
    // says so before a byte of it is read.
    hashBudget modelBudget;
    modelBudget.bytes = options.fileLimits.maxBytes;
    if (budget)
        modelBudget.keepGoing = budget->keepGoing;
    // The key names the file itself, however the caller reached it.
    std::error_code ec;
    const std::filesystem::path canonical = std::filesystem::canonical(model, ec);
    if (ec)
        return std::nullopt;
    const std::optional<digest> content = contentDigest(canonical, &modelBudget);
    if (budget && modelBudget.cancelled)
        budget->cancelled = true;
    if (!content)
        return std::nullopt;
    base::sha256 h;
    auto add = [&h](const void* p, std::size_t n) { h.add(p, n); };
    auto addText = [&](const std::string& s) { add(s.c_str(), s.size() + 1); };
    addText("propplacer import 1");
    add(&sceneCodecVersion, sizeof sceneCodecVersion);
    addText(ZEL_ASSIMP_VERSION);
    add(helper->data(), helper->size());
    addText(canonical.string());
    add(content->data(), content->size());
    const std::uint64_t folders = options.readableFolders.size();
    add(&folders, sizeof folders);
    for (const std::filesystem::path& f : options.readableFolders)
        addText(std::filesystem::weakly_canonical(std::filesystem::absolute(f, ec), ec).string());
    return h.done();
}

namespace {

// What a lookup may hash: what the broker would grant, while the caller's progress (told about
// every 50 ms) does not cancel. The budget lives no longer than the lookup, and so progress.
hashBudget lookupBudget(const isolationOptions& options, const importProgress& progress) {
    hashBudget budget;
    budget.bytes = options.fileLimits.maxBytes;
    if (progress) {
        auto last = std::make_shared<std::chrono::steady_clock::time_point>();
        budget.keepGoing = [progress = &progress, last] {
            const auto now = std::chrono::steady_clock::now();
            if (now - *last < std::chrono::milliseconds(50))
                return true;
            *last = now;
            return (*progress)(0.0);
        };
    }
    return budget;
}

std::shared_ptr<const scene> load(const std::filesystem::path& file,
                                  const isolationOptions& options, std::string* reason,
                                  importInputs* inputs, const importProgress& progress) {
    const std::shared_ptr<diskCache> disk = persistent();
    std::optional<digest> key;
    const std::int64_t start = coarseNowNs();
    if (disk) {
        hashBudget budget = lookupBudget(options, progress);
        key = importKey(file, options, &budget);
        if (key) {
            std::string complaint;
            importInputs seen;
            if (std::optional<scene> s =
                    disk->find(diskCache::kind::import, *key, &complaint, &budget, &seen)) {
                if (inputs)
                    *inputs = std::move(seen);
                return std::make_shared<const scene>(std::move(*s));
            }
            if (!complaint.empty())
                std::cerr << "zel: " << complaint << std::endl;
        }
        if (budget.cancelled) {
            if (reason)
                *reason = "cancelled";
            return nullptr;
        }
    }
    isolationStats stats;
    stats.keepEncoding = disk && key;
    std::optional<scene> s = importIsolated(file, options, reason, &stats, progress);
    if (!s)
        return nullptr;
    auto value = std::make_shared<const scene>(std::move(*s));
    importInputs known = knownInputs(file, stats, *value, options.readableFolders);
    if (disk && key)
        disk->storeImport(*key, known, start, value, options.fileLimits.maxBytes,
                          std::move(stats.encoding));
    if (inputs)
        *inputs = std::move(known);
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
    try {
        s = sharedCache().get(file, options, &why, progress);
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
