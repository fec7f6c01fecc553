#include "asset_store.h"

#include "connection.h"
#include "inflater.h"
#include "kept_assets.h"
#include "share_types.h"

#include <zel/import/scene_codec.h>

#include <zel/share/records.h>

#include <algorithm>

namespace zel::share::detail {

assetStore::outcome assetStore::download(const std::string& user, const std::string& hash,
                                         std::size_t* bytes) {
    outcome out;
    const std::string key = user + "." + hash;
    kvEntry* raw = nullptr;
    natsStatus s = kvStore_Get(&raw, kv_.get(), key.c_str());
    entryHandle entry(raw);
    if (s == NATS_NOT_FOUND) {
        out.missing = true;
        out.reason = "no model " + key.substr(0, 32) + "... on the broker";
        return out;
    }
    if (s != NATS_OK) {
        out.transient = true;
        out.reason = "the broker did not give a model (" + statusText(s) + ")";
        return out;
    }
    const char* text = kvEntry_ValueString(raw);
    const std::optional<assetManifest> manifest =
        decodeManifest(std::string_view(text ? text : ""), out.reason);
    if (!manifest) {
        // Its owner puts it back: looked for again later, not remembered as a bad model.
        out.transient = true;
        return out;
    }
    // A deflated model is inflated chunk by chunk as they arrive, never past the size its
    // manifest declares.
    const bool deflated = manifest->encoding == assetEncoding::deflate;
    std::optional<inflater> inflating;
    if (deflated)
        inflating.emplace(manifest->inflated);
    std::vector<std::byte> blob;
    blob.reserve(static_cast<std::size_t>(manifest->assetBytes()) + (deflated ? 1 : 0));
    std::uint64_t stored = 0;
    for (std::uint32_t i = 0; i < manifest->chunks; ++i) {
        if (stopping_) {
            out.transient = true;
            return out;
        }
        const std::string chunk = key + "." + std::to_string(i);
        raw = nullptr;
        s = kvStore_Get(&raw, kv_.get(), chunk.c_str());
        entryHandle part(raw);
        if (s != NATS_OK) {
            // The writer may still be uploading it.
            out.transient = true;
            out.missing = s == NATS_NOT_FOUND;
            out.reason = "chunk " + std::to_string(i) + " of a model is missing";
            return out;
        }
        const std::size_t expected =
            std::min<std::uint64_t>(manifest->chunkBytes, manifest->size - stored);
        const auto* data = static_cast<const std::byte*>(kvEntry_Value(raw));
        const auto n = static_cast<std::size_t>(kvEntry_ValueLen(raw));
        if (n != expected || !data) {
            out.reason = "a chunk of a model has the wrong size";
            return out;
        }
        stored += n;
        if (!inflating)
            blob.insert(blob.end(), data, data + n);
        else if (!inflating->feed({data, n}, blob, out.reason))
            return out;
    }
    if (inflating && !inflating->finish(out.reason))
        return out;
    if (sha256Hex(blob) != hash) {
        out.reason = "a model does not match its hash";
        return out;
    }
    zel::import::decodeResult decoded = zel::import::decode(blob);
    if (decoded.status != import::decodeStatus::scene || !decoded.value) {
        out.reason = "a model does not decode: " + printable(decoded.reason);
        return out;
    }
    out.scene = std::make_shared<const import::scene>(std::move(*decoded.value));
    keepAsset(disk_, hash, blob);
    if (bytes)
        *bytes = blob.size();
    return out;
}

bool assetStore::upload(const std::string& user, const std::string& hash,
                        const std::vector<std::byte>& blob) {
    const std::string key = user + "." + hash;
    // Chunks hold the deflated bytes when they are smaller; the hash stays that of the model's own.
    const std::optional<std::vector<std::byte>> deflated = deflateSmaller(blob);
    const std::vector<std::byte>& bytes = deflated ? *deflated : blob;
    assetManifest m;
    m.size = bytes.size();
    m.chunks = static_cast<std::uint32_t>((bytes.size() + assetChunkBytes - 1) / assetChunkBytes);
    if (deflated) {
        m.encoding = assetEncoding::deflate;
        m.inflated = blob.size();
    }
    for (std::uint32_t i = 0; i < m.chunks; ++i) {
        if (stopping_)
            return false;
        const std::size_t from = std::size_t(i) * assetChunkBytes;
        const std::size_t n = std::min(assetChunkBytes, bytes.size() - from);
        const std::string chunk = key + "." + std::to_string(i);
        std::uint64_t revision = 0;
        if (kvStore_Put(&revision, kv_.get(), chunk.c_str(), bytes.data() + from,
                        static_cast<int>(n)) != NATS_OK)
            return false;
        remember(chunk, revision);
    }
    const std::string text = encodeManifest(m);
    std::uint64_t revision = 0;
    if (kvStore_PutString(&revision, kv_.get(), key.c_str(), text.c_str()) != NATS_OK)
        return false;
    remember(key, revision);
    return true;
}

void assetStore::remember(const std::string& key, std::uint64_t revision) {
    std::lock_guard lock(writtenMutex_);
    written_[key] = revision;
}

bool assetStore::wrote(const std::string& key, std::uint64_t revision) {
    std::lock_guard lock(writtenMutex_);
    auto it = written_.find(key);
    return it != written_.end() && it->second == revision;
}

std::optional<bool> assetStore::hasManifest(const std::string& user, const std::string& hash) {
    const std::string key = user + "." + hash;
    kvEntry* raw = nullptr;
    const natsStatus s = kvStore_Get(&raw, kv_.get(), key.c_str());
    entryHandle entry(raw);
    if (s == NATS_OK)
        return true;
    if (s == NATS_NOT_FOUND)
        return false;
    return std::nullopt;
}

} // namespace zel::share::detail
