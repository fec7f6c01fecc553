#include "test_support.h"
#include <zel/import/scene_codec.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

namespace zel::world::import {
namespace {

using test::sampleScene;

std::vector<std::byte> bytesOf(std::string_view s) {
    std::vector<std::byte> out(s.size());
    std::memcpy(out.data(), s.data(), s.size());
    return out;
}

// What the reader relies on, checked independently of the decoder.
std::string invariantViolation(const scene& s) {
    if (s.nodes.empty())
        return "no root";
    for (const mesh& m : s.meshes) {
        const std::size_t vertices = m.positions.size() / 3;
        if (m.positions.size() % 3 ||
            (!m.normals.empty() && m.normals.size() != m.positions.size()) ||
            (!m.uvs.empty() && m.uvs.size() != vertices * 2) || m.indices.size() % 3)
            return "mesh array sizes";
        for (std::uint32_t i : m.indices)
            if (i >= vertices)
                return "vertex index";
        if (m.material >= s.materials.size())
            return "material index";
    }
    std::vector<int> parents(s.nodes.size(), 0);
    for (const node& n : s.nodes) {
        for (std::uint32_t m : n.meshes)
            if (m >= s.meshes.size())
                return "mesh index";
        for (std::uint32_t c : n.children) {
            if (c >= s.nodes.size())
                return "child index";
            ++parents[c];
        }
    }
    if (parents[0] != 0)
        return "root has a parent";
    for (std::size_t i = 1; i < parents.size(); ++i)
        if (parents[i] != 1)
            return "not a tree";
    // With one parent each, the tree is rooted at 0 exactly when every node is reached from it.
    std::vector<bool> seen(s.nodes.size(), false);
    std::vector<std::uint32_t> stack{0};
    std::size_t reached = 0;
    while (!stack.empty()) {
        const std::uint32_t i = stack.back();
        stack.pop_back();
        if (seen[i])
            return "cycle";
        seen[i] = true;
        ++reached;
        for (std::uint32_t c : s.nodes[i].children)
            stack.push_back(c);
    }
    return reached == s.nodes.size() ? "" : "unreachable node";
}

TEST(SceneCodec, RoundTripKeepsEveryField) {
    const scene minimal{{node{}}, {}, {}, {}};
    for (const scene& original : {sampleScene(), minimal}) {
        const std::vector<std::byte> bytes = encode(original);
        EXPECT_EQ(bytes.size(), encodedSize(original));
        const decodeResult res = decode(bytes);
        ASSERT_EQ(res.status, decodeStatus::scene) << res.reason;
        EXPECT_EQ(*res.value, original);
    }
}

TEST(SceneCodec, FailureRecordCarriesOneSanitizedLine) {
    const decodeResult res = decode(encodeFailure("PLY: unexpected\nend\x01 of file\n"));
    EXPECT_EQ(res.status, decodeStatus::failure);
    EXPECT_EQ(res.reason, "PLY: unexpected end? of file");
    EXPECT_EQ(sanitizeReason(std::string(1000, 'x')).size(), 300u);
}

TEST(SceneCodec, EveryTruncationFails) {
    const std::vector<std::byte> full = encode(sampleScene());
    for (std::size_t n = 0; n < full.size(); ++n) {
        SCOPED_TRACE(n);
        std::vector<std::byte> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_EQ(decode(cut).status, decodeStatus::malformed);
        // With the size in the header made to match, the decoder has to find the cut itself.
        if (n >= 24) {
            const std::uint64_t size = n;
            std::memcpy(cut.data() + 16, &size, sizeof size);
            EXPECT_EQ(decode(cut).status, decodeStatus::malformed);
        }
    }
}

// Whatever a flipped bit does, the decoder either rejects the bytes or returns a scene the reader
// can trust, and that scene encodes back to exactly the bytes it came from.
TEST(SceneCodec, BitFlipsAreRejectedOrHarmless) {
    const std::vector<std::byte> full = encode(sampleScene());
    int accepted = 0;
    for (std::size_t i = 0; i < full.size(); ++i)
        for (int bit = 0; bit < 8; ++bit) {
            std::vector<std::byte> flipped = full;
            flipped[i] ^= std::byte(1u << bit);
            const decodeResult res = decode(flipped);
            if (res.status != decodeStatus::scene)
                continue;
            ++accepted;
            SCOPED_TRACE(testing::Message() << "byte " << i << " bit " << bit);
            EXPECT_EQ(invariantViolation(*res.value), "");
            EXPECT_EQ(encode(*res.value), flipped);
        }
    EXPECT_GT(accepted, 0); // flips in float data are valid scenes
}

TEST(SceneCodec, RejectsInconsistentScenes) {
    struct testCase {
        const char* name;
        std::function<void(scene&)> damage;
        const char* reason;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<testCase> cases = {
        {"node mesh index", [](scene& s) { s.nodes[1].meshes.push_back(2); }, "node mesh index"},
        {"child index", [](scene& s) { s.nodes[3].children.push_back(4); }, "child index"},
        {"cycle to the root", [](scene& s) { s.nodes[3].children.push_back(0); }, "not a tree"},
        {"self loop", [](scene& s) { s.nodes[2].children.push_back(2); }, "not a tree"},
        {"two parents", [](scene& s) { s.nodes[2].children.push_back(3); }, "two parents"},
        {"unreachable", [](scene& s) { s.nodes[1].children.clear(); }, "not reachable"},
        {"no nodes", [](scene& s) { s.nodes.clear(); }, "no root"},
        {"material index", [](scene& s) { s.meshes[1].material = 2; }, "material index"},
        {"vertex index", [](scene& s) { s.meshes[0].indices[4] = 4; }, "vertex index"},
        {"index count", [](scene& s) { s.meshes[0].indices.pop_back(); }, "multiple of 3"},
        {"position count", [](scene& s) { s.meshes[1].positions.pop_back(); }, "vertex count"},
        {"normal count", [](scene& s) { s.meshes[0].normals.resize(3); }, "normal count"},
        {"uv count", [](scene& s) { s.meshes[0].uvs.resize(6); }, "texture coordinate count"},
        {"matrix", [nan](scene& s) { s.nodes[2].matrix[0] = nan; }, "not finite"},
        {"key time", [](scene& s) { s.animations[0].channels[0].rotation[1].time = NAN; },
         "not finite"},
        {"duration", [](scene& s) { s.animations[0].duration = -1; }, "timing"},
        {"long name", [](scene& s) { s.nodes[3].name.assign(70'000, 'n'); }, "too long"},
    };
    for (const testCase& c : cases) {
        SCOPED_TRACE(c.name);
        scene s = sampleScene();
        c.damage(s);
        const decodeResult res = decode(encode(s));
        EXPECT_EQ(res.status, decodeStatus::malformed);
        EXPECT_NE(res.reason.find(c.reason), std::string::npos) << res.reason;
    }
}

TEST(SceneCodec, RejectsBadFraming) {
    const std::vector<std::byte> good = encode(sampleScene());
    struct testCase {
        const char* name;
        std::function<void(std::vector<std::byte>&)> damage;
        const char* reason;
    };
    auto put32 = [](std::vector<std::byte>& b, std::size_t at, std::uint32_t v) {
        std::memcpy(b.data() + at, &v, sizeof v);
    };
    const std::vector<testCase> cases = {
        {"magic", [](auto& b) { b[0] = std::byte{'X'}; }, "not a scene encoding"},
        {"version", [&](auto& b) { put32(b, 8, 2); }, "version 2"},
        {"kind", [&](auto& b) { put32(b, 12, 7); }, "unknown encoding kind"},
        {"trailer", [](auto& b) { b.back() = std::byte{1}; }, "trailer"},
        {"extra byte", [](auto& b) { b.push_back(std::byte{0}); }, "does not match"},
        // The first count after the header is the material count.
        {"huge count", [&](auto& b) { put32(b, 24, 0xFFFFFFFFu); }, "exceeds the data"},
        {"plain text", [](auto& b) { b = bytesOf("ply\nformat ascii 1\n"); }, "ends in header"},
    };
    for (const testCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::byte> bytes = good;
        c.damage(bytes);
        const decodeResult res = decode(bytes);
        EXPECT_EQ(res.status, decodeStatus::malformed);
        EXPECT_NE(res.reason.find(c.reason), std::string::npos) << res.reason;
    }
}

// A stream that says it holds a lot and then ends: the decoder stops at the end of the data, and
// an announced size above the limit is refused before anything is read.
class shortSource final : public byteSource {
public:
    explicit shortSource(std::vector<std::byte> bytes) : bytes_(std::move(bytes)) {}
    bool read(void* out, std::size_t n) override {
        if (n > bytes_.size() - at_)
            return false;
        std::memcpy(out, bytes_.data() + at_, n);
        at_ += n;
        return true;
    }
    std::size_t consumed() const { return at_; }

private:
    std::vector<std::byte> bytes_;
    std::size_t at_ = 0;
};

TEST(SceneCodec, StreamDecodingStopsAtTheAnnouncedSize) {
    std::vector<std::byte> bytes = encode(sampleScene());
    const std::size_t size = bytes.size();
    bytes.resize(size + 100, std::byte{0x55}); // whatever follows is not read
    shortSource whole(bytes);
    const decodeResult ok = decode(whole, size);
    ASSERT_EQ(ok.status, decodeStatus::scene) << ok.reason;
    EXPECT_EQ(*ok.value, sampleScene());
    EXPECT_EQ(whole.consumed(), size);

    shortSource tooLarge(bytes);
    EXPECT_NE(decode(tooLarge, size - 1).reason.find("larger than allowed"), std::string::npos);

    // A mesh that announces 800 million floats in a huge encoding, then the data ends.
    scene s;
    s.nodes.resize(1);
    s.materials.resize(1);
    s.meshes.resize(1);
    s.meshes[0].positions.resize(3);
    std::vector<std::byte> head = encode(s);
    const std::uint64_t total = std::uint64_t{8} << 30, floats = std::uint64_t{3} << 28;
    std::memcpy(head.data() + 16, &total, sizeof total);
    const std::size_t meshAt = head.size() - 8 - 4 - (4 + 64 + 4 + 4) - 4 - 12 - 32 - 4;
    std::memcpy(head.data() + meshAt + 4, &floats, sizeof floats);
    head.resize(meshAt + 36 + 1000);
    shortSource cut(head);
    const decodeResult res = decode(cut, total);
    EXPECT_EQ(res.status, decodeStatus::malformed);
    EXPECT_NE(res.reason.find("data ends in positions"), std::string::npos) << res.reason;
}

} // namespace
} // namespace zel::world::import
