#include <zel/base/sha256.h>

#include <zel/base/hex.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <new>

namespace zel::base {

void startCrypto() {
    static const bool started = [] {
        OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
        return true;
    }();
    (void)started;
}

sha256::sha256() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(ctx_);
        throw std::bad_alloc();
    }
}

sha256::~sha256() {
    EVP_MD_CTX_free(ctx_);
}

void sha256::add(const void* data, std::size_t n) {
    EVP_DigestUpdate(ctx_, data, n);
}

sha256Digest sha256::done() {
    sha256Digest d{};
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx_, d.data(), &n);
    return d;
}

sha256Digest sha256Of(std::span<const std::byte> data) {
    sha256 h;
    h.add(data.data(), data.size());
    return h.done();
}

std::string sha256Hex(std::span<const std::byte> data) {
    return hexOf(sha256Of(data));
}

} // namespace zel::base
