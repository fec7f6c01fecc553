#include "kept_assets.h"

#include <optional>
#include <vector>

namespace zel::share::detail {

using zel::import::diskCache;

sceneRef cachedAsset(diskCache* cache, const std::string& sha256Hex, std::ostream& err) {
    const std::optional<zel::import::digest> key = zel::import::digestFromHex(sha256Hex);
    if (!cache || !key)
        return nullptr;
    std::string complaint;
    std::optional<zel::import::scene> s = cache->find(diskCache::kind::asset, *key, &complaint);
    if (!complaint.empty())
        err << "zel: " << complaint << std::endl;
    return s ? std::make_shared<const zel::import::scene>(std::move(*s)) : nullptr;
}

void keepAsset(diskCache* cache, const std::string& sha256Hex, std::span<const std::byte> blob) {
    const std::optional<zel::import::digest> key = zel::import::digestFromHex(sha256Hex);
    if (cache && key && !cache->holds(diskCache::kind::asset, *key))
        cache->storeAsset(*key, std::vector<std::byte>(blob.begin(), blob.end()));
}

} // namespace zel::share::detail
