// The inflater of deflated models, fed as chunks arrive: what another user's stream can do to it.
#include "inflater.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <random>

using namespace zel::share::detail;

namespace {

std::vector<std::byte> bytesOf(std::size_t n, unsigned seed) {
    // Compressible but not trivially: runs of a few values.
    std::mt19937 random(seed);
    std::vector<std::byte> out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = std::byte(i % 7 == 0 ? random() % 256 : (i / 64) % 5);
    return out;
}

std::vector<std::byte> deflated(const std::vector<std::byte>& bytes) {
    auto d = deflateSmaller(bytes);
    EXPECT_TRUE(d);
    return d ? *d : std::vector<std::byte>{};
}

struct result {
    bool ok = false;
    std::string reason;
    std::vector<std::byte> out;
};

// Fed in pieces of `piece` bytes, as chunks of a model.
result inflateIn(const std::vector<std::byte>& stream, std::uint64_t declared, std::size_t piece) {
    result r;
    inflater in(declared);
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        const std::size_t n = std::min(piece, stream.size() - at);
        if (!in.feed({stream.data() + at, n}, r.out, r.reason))
            return r;
        EXPECT_LE(r.out.size(), declared);
    }
    r.ok = in.finish(r.reason);
    return r;
}

} // namespace

TEST(ShareInflater, ASoundStreamComesBackWholeHoweverItIsCut) {
    const auto model = bytesOf(3 << 20, 1);
    const auto d = deflated(model);
    EXPECT_LT(d.size(), model.size() / 2);
    for (std::size_t piece : {std::size_t(1) << 20, std::size_t(4096), std::size_t(7), d.size()}) {
        const result r = inflateIn(d, model.size(), piece);
        EXPECT_TRUE(r.ok) << piece << ": " << r.reason;
        EXPECT_TRUE(r.out == model) << piece;
    }
    // Bytes that do not shrink travel as they are.
    std::vector<std::byte> noise(4096);
    std::mt19937 random(2);
    std::generate(noise.begin(), noise.end(), [&] { return std::byte(random()); });
    EXPECT_FALSE(deflateSmaller(noise));
    EXPECT_FALSE(deflateSmaller({}));
}

TEST(ShareInflater, AHostileStreamIsRefusedWithinItsDeclaredSize) {
    const auto model = bytesOf(1 << 20, 3);
    const auto d = deflated(model);
    // A bomb: 64 MiB of zeros in some 60 kilobytes, declared as one megabyte.
    const auto bomb = deflated(std::vector<std::byte>(std::size_t(64) << 20));
    auto garbage = d;
    garbage.insert(garbage.end(), {std::byte(1), std::byte(2), std::byte(3)});
    auto twice = d;
    twice.insert(twice.end(), d.begin(), d.end());
    auto flipped = d;
    flipped[flipped.size() / 2] ^= std::byte(0xff);
    std::vector<std::byte> notDeflate(d.size(), std::byte('x'));
    struct {
        const char* name;
        std::vector<std::byte> stream;
        std::uint64_t declared;
        const char* reason;
    } cases[] = {
        {"bomb", bomb, 1 << 20, "more bytes than its manifest says"},
        {"declared too small", d, model.size() - 1, "more bytes than its manifest says"},
        {"declared too large", d, model.size() + 1, "fewer bytes than its manifest says"},
        {"truncated", {d.begin(), d.end() - 100}, model.size(), "ends early"},
        {"trailing garbage", garbage, model.size(), "bytes after the end"},
        {"a second stream after the first", twice, model.size(), "bytes after the end"},
        {"a flipped byte", flipped, model.size(), "inflate"},
        {"not deflate", notDeflate, model.size(), "do not inflate"},
    };
    for (const auto& c : cases)
        for (std::size_t piece : {std::size_t(1) << 20, std::size_t(1000)}) {
            const result r = inflateIn(c.stream, c.declared, piece);
            EXPECT_FALSE(r.ok) << c.name;
            EXPECT_NE(r.reason.find(c.reason), std::string::npos) << c.name << ": " << r.reason;
            EXPECT_LE(r.out.size(), c.declared) << c.name;
        }
}
