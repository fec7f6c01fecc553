// Decoded models kept for mirrors that may name them later, the least recently used going first
// once their encoded bytes pass the limit.
#pragma once

#include "share_types.h"

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace zel::share::detail {

class assetCache {
public:
    explicit assetCache(std::size_t limitBytes) : limit_(limitBytes) {}
    void remember(const std::string& hash, const sceneRef& scene, std::size_t bytes);
    // Null when not held.
    sceneRef find(const std::string& hash);

private:
    struct cached {
        sceneRef scene;
        std::size_t bytes = 0;
        std::list<std::string>::iterator use;
    };
    std::size_t limit_;
    std::mutex mutex_;
    std::unordered_map<std::string, cached> cache_;
    std::list<std::string> use_; // most recent first
    std::size_t bytes_ = 0;
};

} // namespace zel::share::detail
