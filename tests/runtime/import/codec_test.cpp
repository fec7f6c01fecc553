#include "test_support.h"
#include <zel/import/scene_codec.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <functional>
#include <limits>
#include <thread>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zel::import {
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
    for (const texture& t : s.textures)
        if (t.width == 0 || t.height == 0 || t.rgba.size() != std::size_t{t.width} * t.height * 4)
            return "texture size";
    for (const material& m : s.materials)
        if (m.texture != noTexture && m.texture >= s.textures.size())
            return "texture index";
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
    const scene minimal{{node{}}, {}, {}, {}, {}};
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
    const test::timeBound bound(std::chrono::seconds(60));
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
    const test::timeBound bound(std::chrono::seconds(60));
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
    for (const test::sceneDamage& c : test::sceneDamages()) {
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
        {"version", [&](auto& b) { put32(b, 8, 99); }, "version 99"},
        {"kind", [&](auto& b) { put32(b, 12, 7); }, "unknown encoding kind"},
        {"trailer", [](auto& b) { b.back() = std::byte{1}; }, "trailer"},
        {"extra byte", [](auto& b) { b.push_back(std::byte{0}); }, "does not match"},
        // The first count after the header is the texture count.
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

// The start of an encoding that announces the largest size a host accepts and then, in the list
// under test, the largest count that size allows; the bytes end a few elements in.
class hostileStream {
public:
    static constexpr std::uint64_t announced = std::uint64_t{2} << 30;

    hostileStream() {
        raw("ZELSCENE", 8);
        u32(sceneCodecVersion);
        u32(1);
        u64(announced);
    }
    hostileStream& u32(std::uint32_t v) { return raw(&v, 4); }
    hostileStream& u64(std::uint64_t v) { return raw(&v, 8); }
    hostileStream& f64(double v) { return raw(&v, 8); }
    // The count that just passes the check against the announced size, for elements of at least
    // minBytes each.
    hostileStream& largestCount(std::uint64_t minBytes) {
        const std::uint64_t left = announced - bytes_.size() - 4;
        return u32(
            static_cast<std::uint32_t>(std::min<std::uint64_t>(left / minBytes, UINT32_MAX)));
    }
    // Filler up to about 60 bytes, as if the elements had begun to arrive.
    std::vector<std::byte> padded() const {
        std::vector<std::byte> out = bytes_;
        out.resize(std::max<std::size_t>(out.size() + 8, 60), std::byte{0});
        return out;
    }

private:
    hostileStream& raw(const void* p, std::size_t n) {
        const auto* b = static_cast<const std::byte*>(p);
        bytes_.insert(bytes_.end(), b, b + n);
        return *this;
    }
    std::vector<std::byte> bytes_;
};

// Decodes bytes as a stream of at most hostileStream::announced bytes in a child process limited
// to 256 MiB of address space; the child's verdict and reason come back through a pipe. Empty when
// the child did not exit cleanly within the time allowed.
std::optional<std::string> decodeInSmallChild(const std::vector<std::byte>& bytes,
                                              std::chrono::seconds deadline) {
    int fds[2];
    if (::pipe(fds) != 0)
        return std::nullopt;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
#ifndef ZEL_SANITIZE // the sanitizers' shadow memory does not fit such a limit
        const rlimit limit{std::uint64_t{256} << 20, std::uint64_t{256} << 20};
        ::setrlimit(RLIMIT_AS, &limit);
#endif
        shortSource source(bytes);
        decodeLimits limits;
        limits.deadline = std::chrono::steady_clock::now() + deadline;
        const decodeResult res = decode(source, hostileStream::announced, limits);
        const std::string verdict =
            (res.status == decodeStatus::malformed ? "malformed: " : "accepted: ") + res.reason;
        const bool written =
            ::write(fds[1], verdict.data(), verdict.size()) == static_cast<ssize_t>(verdict.size());
        ::_exit(written ? 0 : 1);
    }
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return std::nullopt;
    }
    // The child gets its own deadline and some slack to start and end.
    const auto giveUp = std::chrono::steady_clock::now() + deadline + std::chrono::seconds(10);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > giveUp) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ::close(fds[0]);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::string verdict(4096, '\0');
    const ssize_t n = ::read(fds[0], verdict.data(), verdict.size());
    ::close(fds[0]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || n <= 0)
        return std::nullopt;
    verdict.resize(static_cast<std::size_t>(n));
    return verdict;
}

// Each list of the encoding announced at its largest: the decoder must not build what the bytes do
// not back, so a small process gets "malformed" for the missing data, not an out-of-memory failure.
TEST(SceneCodec, AnnouncedCountsCostNothingUntilBacked) {
    struct testCase {
        const char* list;
        hostileStream stream;
    };
    auto noTextures = [] { return hostileStream().u32(0); };
    auto noMaterials = [&] { return noTextures().u32(0); };
    auto oneMaterial = [&] {
        hostileStream h = noTextures();
        h.u32(1).u32(0);
        for (int i = 0; i < 12; ++i)
            h.u32(0);
        return h.u32(0).u32(noTexture);
    };
    auto upToAnimations = [&] { return noMaterials().u32(0).u32(0); };
    auto oneAnimation = [&] { return upToAnimations().u32(1).u32(0).f64(1).f64(0); };
    auto oneChannel = [&] { return oneAnimation().u32(1).u32(0); };
    const std::vector<testCase> cases = {
        {"textures", hostileStream().largestCount(28)},
        // 2048 x 2048, the most one picture may have.
        {"texture pixels",
         hostileStream().u32(1).u32(0).u32(2048).u32(2048).u32(2048).u32(2048).u32(0)},
        {"materials", noTextures().largestCount(60)},
        {"meshes", noMaterials().largestCount(36)},
        {"mesh positions", oneMaterial()
                               .u32(1)
                               .u32(0)
                               .u64((hostileStream::announced - 1024) / 4 / 3 * 3)
                               .u64(0)
                               .u64(0)
                               .u64(0)},
        {"nodes", noMaterials().u32(0).largestCount(76)},
        {"node children", noMaterials()
                              .u32(0)
                              .u32(1)
                              .u32(0)
                              .u64(0)
                              .u64(0)
                              .u64(0)
                              .u64(0)
                              .u64(0)
                              .u64(0)
                              .u64(0)
                              .u64(0)
                              .u32(0)
                              .largestCount(4)},
        {"animations", upToAnimations().largestCount(24)},
        {"channels", oneAnimation().largestCount(16)},
        {"position keys", oneChannel().largestCount(20)},
        {"rotation keys", oneChannel().u32(0).largestCount(24)},
    };
    for (const testCase& c : cases) {
        SCOPED_TRACE(c.list);
        const std::optional<std::string> verdict =
            decodeInSmallChild(c.stream.padded(), std::chrono::seconds(5));
        ASSERT_TRUE(verdict) << "the child did not end cleanly in time";
        EXPECT_EQ(verdict->rfind("malformed: ", 0), 0u) << *verdict;
        EXPECT_EQ(verdict->find("out of memory"), std::string::npos) << *verdict;
        EXPECT_EQ(verdict->find("deadline"), std::string::npos) << *verdict;
    }
}

// A sender that backs what it announces with real bytes still stops at the memory budget, and a
// slow decoding stops at its deadline.
TEST(SceneCodec, BudgetAndDeadlineStopADecoding) {
    scene s = sampleScene();
    s.animations[0].channels.resize(5000, s.animations[0].channels[0]);
    const std::vector<std::byte> bytes = encode(s);

    decodeLimits tight;
    tight.memoryBudget = 100'000;
    const decodeResult over = decode(bytes, tight);
    EXPECT_EQ(over.status, decodeStatus::malformed);
    EXPECT_NE(over.reason.find("memory budget"), std::string::npos) << over.reason;

    decodeLimits late;
    late.deadline = std::chrono::steady_clock::now();
    const decodeResult past = decode(bytes, late);
    EXPECT_EQ(past.status, decodeStatus::malformed);
    EXPECT_NE(past.reason.find("deadline"), std::string::npos) << past.reason;

    EXPECT_EQ(decode(bytes).status, decodeStatus::scene);
}

// The memory a decoded scene holds beyond its own object: every list's and array's capacity, and
// every string too long to live inside its element (libstdc++ keeps up to 15 characters there).
std::uint64_t heldBytes(const scene& s) {
    std::uint64_t n = 0;
    auto list = [&](const auto& v) { n += v.capacity() * sizeof(*v.data()); };
    auto text = [&](const std::string& t) { n += t.size() > 15 ? t.size() + 1 : 0; };
    list(s.textures);
    for (const texture& t : s.textures) {
        text(t.name);
        list(t.rgba);
    }
    list(s.materials);
    for (const material& m : s.materials) {
        text(m.name);
        text(m.diffuseTexture);
    }
    list(s.meshes);
    for (const mesh& m : s.meshes) {
        list(m.positions);
        list(m.normals);
        list(m.uvs);
        list(m.indices);
    }
    list(s.nodes);
    for (const node& nd : s.nodes) {
        text(nd.name);
        list(nd.meshes);
        list(nd.children);
    }
    list(s.animations);
    for (const animation& a : s.animations) {
        text(a.name);
        list(a.channels);
        for (const channel& c : a.channels) {
            text(c.node);
            list(c.position);
            list(c.rotation);
            list(c.scaling);
        }
    }
    return n;
}

// What the decoder charges is what its lists and arrays hold in memory: their capacity, which must
// not outgrow their size (a list doubled past its elements would hold up to twice what it was
// charged). With the reservation lowered, the arrays grow as their data comes, as large ones do.
TEST(SceneCodec, DecodedListsHoldNoMoreThanTheyWereCharged) {
    scene s = sampleScene();
    s.animations[0].channels.resize(5000, s.animations[0].channels[0]);
    s.materials.resize(3, s.materials[0]);
    s.meshes[0].positions.resize(3 * 1000, 0.5f);
    s.meshes[0].normals.clear();
    s.meshes[0].uvs.clear();
    const std::vector<std::byte> bytes = encode(s);
    for (const std::uint64_t reserve : {std::uint64_t{64}, std::uint64_t{64} << 20}) {
        SCOPED_TRACE(reserve);
        decodeLimits limits;
        limits.reserveUpFront = reserve;
        const decodeResult res = decode(bytes, limits);
        ASSERT_EQ(res.status, decodeStatus::scene) << res.reason;
        const scene& d = *res.value;
        EXPECT_EQ(encode(d), bytes);
        auto tight = [](const auto& v) { return v.capacity() == v.size(); };
        EXPECT_TRUE(tight(d.textures) && tight(d.materials) && tight(d.meshes) && tight(d.nodes) &&
                    tight(d.animations) && tight(d.animations[0].channels));
        for (const mesh& m : d.meshes)
            EXPECT_TRUE(tight(m.positions) && tight(m.indices));
        // The smallest budget that decodes it is what it holds: each growth is charged what it
        // adds, not the whole new capacity again.
        const std::uint64_t held = heldBytes(d);
        struct edge {
            const char* what;
            std::uint64_t budget;
            bool decodes;
        };
        for (const edge& e : {edge{"a byte less", held - 1, false}, edge{"exactly", held, true},
                              edge{"a byte more", held + 1, true}}) {
            SCOPED_TRACE(e.what);
            limits.memoryBudget = e.budget;
            const decodeResult r = decode(bytes, limits);
            EXPECT_EQ(r.status, e.decodes ? decodeStatus::scene : decodeStatus::malformed)
                << r.reason;
            if (!e.decodes) {
                EXPECT_NE(r.reason.find("memory budget"), std::string::npos) << r.reason;
            }
        }
    }
}

} // namespace
} // namespace zel::import
