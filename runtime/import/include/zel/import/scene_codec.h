#pragma once

// The isolated import's wire format: a scene (or the importer's reason for failing) as one flat,
// versioned, little-endian byte string. The decoder trusts nothing in it: every count is checked
// against the bytes that remain, every index against what it indexes, and the node graph must be a
// tree rooted at node 0, so a malformed or hostile encoding fails cleanly with a reason.

#include <zel/import/imported_scene.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zel::import {

inline constexpr std::uint32_t sceneCodecVersion = 3;

// Pictures: at most this many pixels in one, and in all of a scene's together (the helper
// downscales what is larger), and at most this wide or high in the file they came from.
inline constexpr std::uint64_t maxTexturePixels = std::uint64_t{1} << 22;
inline constexpr std::uint64_t maxScenePixels = std::uint64_t{1} << 24;
inline constexpr std::uint32_t maxTextureSide = std::uint32_t{1} << 24;

// Where an encoding goes, piece by piece in order: large arrays arrive whole, in one call each.
class byteSink {
public:
    virtual ~byteSink() = default;
    // False stops the encoding.
    virtual bool put(const void* data, std::size_t n) = 0;
};

// Bytes in the encoding of s.
std::size_t encodedSize(const scene& s);
// False when the sink refused a piece.
bool encodeTo(const scene& s, byteSink& sink);
// False (and out partly written) unless out holds exactly encodedSize(s) bytes.
bool encodeInto(const scene& s, std::span<std::byte> out);
std::vector<std::byte> encode(const scene& s);

// An encoding that says the import failed, with a short reason (cut to one line of printable text).
std::vector<std::byte> encodeFailure(std::string_view reason);

enum class decodeStatus {
    scene,     // value holds the scene
    failure,   // the encoder reported a failure; reason is its text
    malformed, // the bytes are not a valid encoding; reason says what is wrong
};

struct decodeResult {
    decodeStatus status = decodeStatus::malformed;
    std::optional<scene> value;
    std::string reason;
};

// Where an encoding comes from, piece by piece in order.
class byteSource {
public:
    virtual ~byteSource() = default;
    // Exactly n bytes into out; false when they cannot be had (the data ended, a time limit).
    virtual bool read(void* out, std::size_t n) = 0;
};

// What one decoding may cost. Lists grow as their elements arrive, never by the counts an encoding
// announces, and every list and array is charged the memory it reserves (its capacity, not only
// what it holds), every string its length; past the budget, or past the deadline, the decoding
// stops as malformed.
struct decodeLimits {
    // The memory budget in bytes; 0: defaultBudget(the size the header announces).
    std::uint64_t memoryBudget = 0;
    // Checked while decoding, every few thousand elements and between large arrays.
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    // What one array reserves at once, before its data arrives; past it, it doubles as the data
    // comes. Lists and arrays are charged their capacity.
    std::uint64_t reserveUpFront = std::uint64_t{64} << 20;
};

// The budget for an encoding of `announced` bytes: three times that plus 64 MiB (a scene of large
// arrays takes about its size; small elements take up to twice theirs), at most 3 GiB.
std::uint64_t defaultBudget(std::uint64_t announced);

// bytes must be exactly one encoding. Never throws; out of memory is a malformed result.
decodeResult decode(std::span<const std::byte> bytes, const decodeLimits& limits = {});
// Reads one encoding of at most maxBytes from source, and nothing after it. Memory grows with the
// data actually read, not with the sizes it announces. Never throws.
decodeResult decode(byteSource& source, std::uint64_t maxBytes, const decodeLimits& limits = {});

// reason as one line of printable ASCII of at most maxLength bytes (other bytes become '?').
std::string sanitizeReason(std::string_view reason, std::size_t maxLength = 300);

} // namespace zel::import
