// Other sites' models kept on disk by the SHA-256 of their encoding, in the import cache's folder,
// so that a model fetched before (in this run or an earlier one) comes back without the broker.
#pragma once

#include "share_types.h"

#include <zel/import/disk_cache.h>

#include <cstddef>
#include <ostream>
#include <span>
#include <string>

namespace zel::share::detail {

// A model by the SHA-256 of its encoding (64 hexadecimal digits), from the cache; null when it is
// not there, or cache is null. A damaged entry is one line on err.
sceneRef cachedAsset(zel::import::diskCache* cache, const std::string& sha256Hex,
                     std::ostream& err);
// Keeps such a model in the background, its encoding exactly as it came (nothing when cache is
// null or holds it already).
void keepAsset(zel::import::diskCache* cache, const std::string& sha256Hex,
               std::span<const std::byte> blob);

} // namespace zel::share::detail
