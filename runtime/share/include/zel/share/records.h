// What a shared scene puts on the broker: keys, node records, presence records and asset manifests,
// written and checked here. Everything read from the broker is untrusted: the readers below accept
// only what is well formed and within the limits, and say why otherwise.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zel::share {

// Limits on what a site accepts from another.
inline constexpr std::size_t maxKeyLength = 200;
inline constexpr std::size_t maxRecordBytes = 64 * 1024;
inline constexpr std::size_t maxNameCharacters = 1024;
// Live nodes per user: the broker authenticates users, while anyone can make up site ids.
inline constexpr std::size_t maxNodesPerUser = 100000;
inline constexpr std::size_t maxNodesPerSite = maxNodesPerUser;
// Sites of one user present at once.
inline constexpr std::size_t maxSitesPerUser = 64;
inline constexpr std::uint64_t maxAssetBytes = std::uint64_t(512) << 20;
// Asset chunks: at most 1 MiB, and small enough that a chunk and its headers fit the broker's
// default max_payload of 1 MiB. Every chunk but the last has exactly this size; a manifest that
// says otherwise is refused (a tiny chunk size would cost a round trip per few bytes).
inline constexpr std::size_t assetChunkBytes = (std::size_t(1) << 20) - 8 * 1024;
inline constexpr std::size_t maxUserLength = 32;
inline constexpr std::size_t maxSceneLength = 64;

// Letters, digits, '-' and '_', 1 to 32 characters.
bool validUserName(std::string_view user);
// Letters, digits, '-' and '_', 1 to 64 characters.
bool validSceneName(std::string_view scene);

// A site: its user and its 8 lower-case hex digits. The site id is "user-hex", its key prefix in
// the buckets "user.hex".
struct siteName {
    std::string user;
    std::string hex;
    std::string id() const { return user + "-" + hex; }
    std::string key() const { return user + "." + hex; }
    bool operator==(const siteName&) const = default;
};
// A new site of user with fresh random digits.
siteName makeSite(const std::string& user);

// "user.hex.n" in the node bucket.
struct nodeKey {
    siteName site;
    std::uint64_t n = 0;
    std::string text() const { return site.key() + "." + std::to_string(n); }
};
std::optional<nodeKey> parseNodeKey(std::string_view key);
// "user.hex" in the presence bucket.
std::optional<siteName> parsePresenceKey(std::string_view key);

// The whole state of one node.
struct nodeRecord {
    std::string name;   // UTF-8
    std::string parent; // the parent's key; empty for the scene's root
    std::uint64_t order = 0;
    std::array<float, 16> matrix{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    std::string meshScene;             // SHA-256 (hex) of the scene's encoding; empty: no mesh
    std::vector<std::uint32_t> meshes; // indices into that scene's meshes
    int anim = -1;                     // -1: no animation; 0 stopped; 1 playing
    bool navigator = false;            // the site's navigator (drawn as its avatar); top level only

    bool operator==(const nodeRecord&) const = default;
};
std::string encodeRecord(const nodeRecord& r);
// The record under key, checked: JSON that parses, a name of at most maxNameCharacters, a parent
// that is empty or a key of the same site, a matrix of 16 finite numbers, a mesh reference that is
// a SHA-256 with indices, none named twice. Empty, with the reason, when anything is wrong.
std::optional<nodeRecord> decodeRecord(const nodeKey& key, std::string_view value,
                                       std::string& reason);

struct presenceRecord {
    std::string user;
    std::string site;
    double joined = 0.0; // seconds since 1970
};
std::string encodePresence(const presenceRecord& p);
std::optional<presenceRecord> decodePresence(const siteName& key, std::string_view value,
                                             std::string& reason);

// How an asset's chunks hold its bytes: as they are, or deflated (zlib's format, which a browser's
// DecompressionStream('deflate') undoes too).
enum class assetEncoding { raw, deflate };

// The manifest of an asset: the size its chunks add up to, how it is cut, and how they hold the
// asset's own bytes. A manifest without an encoding is raw (as every site wrote before).
struct assetManifest {
    std::uint64_t size = 0;
    std::uint32_t chunks = 0;
    std::uint32_t chunkBytes = assetChunkBytes;
    assetEncoding encoding = assetEncoding::raw;
    // The asset's own size, what the hash is taken over: deflated, what the chunks inflate to.
    std::uint64_t inflated = 0;
    // The bytes the asset has once its chunks are read back.
    std::uint64_t assetBytes() const { return encoding == assetEncoding::raw ? size : inflated; }
};
std::string encodeManifest(const assetManifest& m);
std::optional<assetManifest> decodeManifest(std::string_view value, std::string& reason);

// SHA-256 as 64 lower-case hex digits.
std::string sha256Hex(std::span<const std::byte> data);
bool validHash(std::string_view hash);

// The host part of a broker URL (scheme://[user[:password]@]host[:port][/...]), brackets of an
// IPv6 address taken off; "" when there is none.
std::string urlHost(std::string_view url);
// True for a host on this machine: a 127.0.0.0/8 address, ::1 or localhost, written as such.
bool loopbackHost(std::string_view host);

} // namespace zel::share
