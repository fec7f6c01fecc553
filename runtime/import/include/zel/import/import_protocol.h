#pragma once

// What the isolated import and its helper say to each other, besides the scene encoding itself
// (scene_codec.h).
//
// The helper is started as `zelimport --serve 3 4` ahead of its file: it loads its libraries and
// waits on descriptor 4 (one end of a socket pair) for one request:
//   "ZELREQ01", u32 length of the rest, u32 flags, u64 deadline in milliseconds, u32 n, then n
//   strings (u32 length, bytes): the model file, then nothing more (older helpers took the folders
//   they could read here; the host's file broker decides that now).
// The same socket then carries the helper's questions to the host's file broker (file_broker.h),
// one at a time, each answered before the next is asked:
//   u32 ask (brokerAsk), u32 length, the name (at most maxBrokerName bytes)
// and the answers
//   u32 error (0: granted), u32 length, a name (a texture's, beneath its folder)
// with a granted file's read-only descriptor attached (SCM_RIGHTS) to the answer's bytes.
// On descriptor 3 (a pipe) it answers with progress records
//   "ZELP", u32 per mille (0..1000, each above the one before: at most 1001 of them)
// followed by exactly one encoding: the scene or the reason it failed. One helper reads one file.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace zel::import::protocol {

inline constexpr int resultFd = 3;
inline constexpr int requestFd = 4;

inline constexpr char requestMagic[8] = {'Z', 'E', 'L', 'R', 'E', 'Q', '0', '1'};
inline constexpr char progressMagic[4] = {'Z', 'E', 'L', 'P'};
inline constexpr std::size_t progressRecordSize = 8;
inline constexpr std::size_t maxRequestBytes = 1 << 20;
inline constexpr std::size_t brokerHeaderSize = 8;
inline constexpr std::size_t maxBrokerName = 4096;

// Request flags (the rest of the sandbox's plan, import_sandbox.h).
inline constexpr std::uint32_t flagNoSandbox = 1;
inline constexpr std::uint32_t flagNoMountNamespace = 2;
inline constexpr std::uint32_t flagAllowUnconfined = 4;
// Bits 8 to 15: one more than the highest Landlock version the helper may use; 0: the kernel's.
inline constexpr int landlockLimitShift = 8;

// How the helper's stages map onto one scale of per mille: Assimp's reading up to readEnd, its
// post-processing up to postEnd, the conversion up to convertEnd; the hand-over of the encoding
// fills the rest.
inline constexpr std::uint32_t readEnd = 700;
inline constexpr std::uint32_t postEnd = 800;
inline constexpr std::uint32_t convertEnd = 850;

// A progress record, the helper's half.
inline void encodeProgress(std::uint32_t perMille, char (&record)[progressRecordSize]) {
    std::memcpy(record, progressMagic, 4);
    std::memcpy(record + 4, &perMille, 4);
}

// The host's half: the per mille a record holds; none when the bytes are not a progress record.
inline std::optional<std::uint32_t> decodeProgress(const char* record) {
    if (std::memcmp(record, progressMagic, 4) != 0)
        return std::nullopt;
    std::uint32_t perMille = 0;
    std::memcpy(&perMille, record + 4, 4);
    return perMille;
}

// A question's or an answer's header: two u32 (the ask or the error, and the name's length).
inline void encodeBrokerHeader(std::uint32_t first, std::uint32_t length,
                               char (&header)[brokerHeaderSize]) {
    std::memcpy(header, &first, 4);
    std::memcpy(header + 4, &length, 4);
}
inline void decodeBrokerHeader(const char* header, std::uint32_t& first, std::uint32_t& length) {
    std::memcpy(&first, header, 4);
    std::memcpy(&length, header + 4, 4);
}
// The host's rule for the progress records: each says more than the one before and at most 1000,
// so a helper sends at most 1000 of them; anything else ends the import as malformed.
class progressOrder {
public:
    // False: perMille is above 1000 or not above the record before.
    bool accept(std::uint32_t perMille) {
        if (perMille > 1000 || (any_ && perMille <= last_))
            return false;
        any_ = true;
        last_ = perMille;
        return true;
    }

private:
    std::uint32_t last_ = 0;
    bool any_ = false;
};

struct request {
    std::uint32_t flags = 0;
    std::uint64_t deadlineMs = 0;
    std::string file;
    std::vector<std::string> readable;
};

inline std::vector<char> encodeRequest(const request& r) {
    std::vector<char> body;
    auto put = [&](const void* p, std::size_t n) {
        body.insert(body.end(), static_cast<const char*>(p), static_cast<const char*>(p) + n);
    };
    auto putString = [&](const std::string& s) {
        const auto n = static_cast<std::uint32_t>(s.size());
        put(&n, 4);
        put(s.data(), s.size());
    };
    put(&r.flags, 4);
    put(&r.deadlineMs, 8);
    const auto count = static_cast<std::uint32_t>(1 + r.readable.size());
    put(&count, 4);
    putString(r.file);
    for (const std::string& s : r.readable)
        putString(s);
    std::vector<char> out(requestMagic, requestMagic + 8);
    const auto length = static_cast<std::uint32_t>(body.size());
    out.insert(out.end(), reinterpret_cast<const char*>(&length),
               reinterpret_cast<const char*>(&length) + 4);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// body: the bytes after the magic and the length.
inline std::optional<request> decodeRequest(const std::vector<char>& body) {
    std::size_t at = 0;
    auto take = [&](void* out, std::size_t n) {
        if (n > body.size() - at)
            return false;
        std::memcpy(out, body.data() + at, n);
        at += n;
        return true;
    };
    request r;
    std::uint32_t count = 0;
    if (!take(&r.flags, 4) || !take(&r.deadlineMs, 8) || !take(&count, 4) || count == 0)
        return std::nullopt;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t n = 0;
        if (!take(&n, 4) || n > body.size() - at)
            return std::nullopt;
        std::string s(body.data() + at, n);
        at += n;
        if (i == 0)
            r.file = std::move(s);
        else
            r.readable.push_back(std::move(s));
    }
    if (at != body.size() || r.file.empty())
        return std::nullopt;
    return r;
}

} // namespace zel::import::protocol
