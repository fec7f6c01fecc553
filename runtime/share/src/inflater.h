// A model's bytes as its chunks hold them: deflated (zlib's format) when that makes them smaller.
// The inflater makes a deflated model whole again as its chunks arrive, bounded by the size its
// manifest declares: the bytes come from another user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zel::share::detail {

// The deflated form of bytes, or nothing when it would not be smaller (the bytes then travel as
// they are).
std::optional<std::vector<std::byte>> deflateSmaller(std::span<const std::byte> bytes);

class inflater {
public:
    // declared: the size the manifest gives for the inflated bytes.
    explicit inflater(std::uint64_t declared);
    ~inflater();
    inflater(const inflater&) = delete;
    inflater& operator=(const inflater&) = delete;

    // Appends what in inflates to out. False (with the reason) once the stream is refused: not a
    // deflate stream, growing past the declared size, or bytes after its end.
    bool feed(std::span<const std::byte> in, std::vector<std::byte>& out, std::string& reason);
    // True when the stream ended, having given exactly the declared size.
    bool finish(std::string& reason) const;

private:
    bool refuse(std::string& reason, const char* why);

    struct stream;
    std::unique_ptr<stream> z_;
    std::uint64_t declared_;
    std::uint64_t produced_ = 0;
    bool ended_ = false;
    bool failed_ = false;
};

} // namespace zel::share::detail
