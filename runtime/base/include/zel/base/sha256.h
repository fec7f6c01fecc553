#pragma once

// SHA-256 (OpenSSL's libcrypto): of a piece of memory at once, or taken piece by piece.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace zel::base {

using sha256Digest = std::array<std::uint8_t, 32>;

// Starts libcrypto without its clean-up at exit, so that a thread still hashing while the process
// ends never meets a library torn down. First thing in main; idempotent.
void startCrypto();

class sha256 {
public:
    sha256();
    ~sha256();
    sha256(const sha256&) = delete;
    sha256& operator=(const sha256&) = delete;

    void add(const void* data, std::size_t n);
    void add(std::string_view text) { add(text.data(), text.size()); }
    // The digest of everything added; the object is spent.
    sha256Digest done();

private:
    evp_md_ctx_st* ctx_;
};

sha256Digest sha256Of(std::span<const std::byte> data);
// The same as 64 lower-case hexadecimal digits.
std::string sha256Hex(std::span<const std::byte> data);

} // namespace zel::base
