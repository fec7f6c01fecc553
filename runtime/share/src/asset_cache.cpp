#include "asset_cache.h"

namespace zel::share::detail {

void assetCache::remember(const std::string& hash, const sceneRef& scene, std::size_t bytes) {
    std::lock_guard lock(mutex_);
    if (auto it = cache_.find(hash); it != cache_.end()) {
        use_.splice(use_.begin(), use_, it->second.use);
        return;
    }
    use_.push_front(hash);
    cache_.emplace(hash, cached{scene, bytes, use_.begin()});
    bytes_ += bytes;
    while (bytes_ > limit_ && use_.size() > 1) {
        auto last = cache_.find(use_.back());
        bytes_ -= last->second.bytes;
        cache_.erase(last);
        use_.pop_back();
    }
}

sceneRef assetCache::find(const std::string& hash) {
    std::lock_guard lock(mutex_);
    auto it = cache_.find(hash);
    if (it == cache_.end())
        return nullptr;
    use_.splice(use_.begin(), use_, it->second.use);
    return it->second.scene;
}

} // namespace zel::share::detail
