// What a site accepts from the broker: keys, node records, manifests; and what the world's nodes
// report to a shared scene (mirrors refuse changes).
#include <zel/share/records.h>
#include <zel/world/scene_node.h>
#include <zel/world/world.h>

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>
#include <vector>

using namespace zel::share;

namespace {

const nodeKey owner{{"alice", "3f09c2d1"}, 7};
const std::string identity = "[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]";

std::optional<nodeRecord> decode(const std::string& value) {
    std::string reason;
    return decodeRecord(owner, value, reason);
}

} // namespace

TEST(ShareKeys, OnlyTheExpectedFormsAreAccepted) {
    ASSERT_TRUE(parseNodeKey("alice.3f09c2d1.7"));
    EXPECT_EQ(parseNodeKey("a_b-c.00000000.12345")->n, 12345u);
    EXPECT_EQ(parsePresenceKey("alice.3f09c2d1")->id(), "alice-3f09c2d1");
    // The node number takes every 64-bit value, in at most 20 digits.
    EXPECT_EQ(parseNodeKey("u.0123abcd.18446744073709551615")->n,
              std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(parseNodeKey("u.0123abcd.00000000000000000001")->n, 1u);
    for (const char* bad :
         {"", "alice", "alice.3f09c2d1", "alice.3F09C2D1.1", "alice.3f09c2d.1", "al ice.3f09c2d1.1",
          "alice.3f09c2d1.x", "alice.3f09c2d1.1.2", "alice.3f09c2d1.", ".3f09c2d1.1",
          "alice.3f09c2d1.123456789012345678901234", "u.0123abcd.000000000000000000001",
          "u.0123abcd.18446744073709551616"})
        EXPECT_FALSE(parseNodeKey(bad)) << bad;
    EXPECT_FALSE(parseNodeKey(std::string(190, 'a') + ".3f09c2d1.1"));
    EXPECT_FALSE(parsePresenceKey("alice.3f09c2d1.1"));
    EXPECT_TRUE(validUserName(std::string(32, 'u')));
    EXPECT_FALSE(validUserName(std::string(33, 'u')));
    EXPECT_FALSE(validUserName("a.b"));
    const siteName s = makeSite("bob");
    EXPECT_TRUE(parsePresenceKey(s.key()));
}

TEST(ShareRecords, RoundTripAndRefusals) {
    nodeRecord r;
    r.name = "geomSink -> archi.3ds";
    r.parent = "alice.3f09c2d1.2";
    r.order = 3;
    r.matrix[12] = 0.25f;
    r.meshScene = std::string(64, 'a');
    r.meshes = {0, 4};
    r.anim = 1;
    EXPECT_EQ(decode(encodeRecord(r)), r);

    const std::string head = R"({"name":"n","parent":"","order":0,"matrix":)";
    EXPECT_TRUE(decode(head + identity + "}"));
    EXPECT_FALSE(decode("not json"));
    EXPECT_FALSE(decode("[1,2]"));
    EXPECT_FALSE(decode(head + "[1,2,3]}"));
    EXPECT_FALSE(decode(head + R"([1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,"x"]})"));
    EXPECT_FALSE(decode(head + "[1,0,0,0,0,1,0,0,0,0,1,0,1e39,0,0,1]}")); // not a finite float
    EXPECT_FALSE(decode(R"({"name":")" + std::string(1025, 'n') +
                        R"(","parent":"","order":0,"matrix":)" + identity + "}"));
    // 1,024 characters of two bytes each are still 1,024 characters.
    std::string wide;
    for (int i = 0; i < 1024; ++i)
        wide += "\xc3\xa9";
    EXPECT_TRUE(
        decode(R"({"name":")" + wide + R"(","parent":"","order":0,"matrix":)" + identity + "}"));
    const std::string tail = R"(,"order":0,"matrix":)" + identity + "}";
    EXPECT_FALSE(decode(R"({"name":"n","parent":"bob.3f09c2d1.1")" + tail));   // another site
    EXPECT_FALSE(decode(R"({"name":"n","parent":"alice.3f09c2d1.7")" + tail)); // itself
    EXPECT_FALSE(decode(head + identity + R"(,"mesh":{"scene":"abc","meshes":[0]}})"));
    EXPECT_FALSE(decode(head + identity + R"(,"mesh":{"scene":")" + std::string(64, 'a') +
                        R"(","meshes":[-1]}})"));
    EXPECT_FALSE(decode(head + identity + R"(,"anim":"yes"})"));
    // A mesh named twice (a record could name one 30,000 times) is refused; the order is free.
    const std::string mesh = R"(,"mesh":{"scene":")" + std::string(64, 'a') + R"(","meshes":)";
    EXPECT_TRUE(decode(head + identity + mesh + "[4,0,7]}}"));
    EXPECT_FALSE(decode(head + identity + mesh + "[4,0,7,0]}}"));
    EXPECT_FALSE(decode(head + identity + mesh + "[3,3]}}"));
    EXPECT_FALSE(decode(R"({"name":")" + std::string(maxRecordBytes, 'n') + "\"}"));
}

TEST(ShareRecords, ManifestsAndHashes) {
    std::string reason;
    const auto m = decodeManifest(encodeManifest({3000000, 3, assetChunkBytes}), reason);
    ASSERT_TRUE(m) << reason;
    EXPECT_EQ(m->chunks, 3u);
    EXPECT_FALSE(decodeManifest(R"({"size":3000000,"chunks":2,"chunk":1040384})", reason));
    // A size that is an exact multiple of the chunk: no empty chunk after the last.
    const std::uint64_t two = 2 * std::uint64_t(assetChunkBytes);
    const auto exact = decodeManifest(encodeManifest({two, 2, assetChunkBytes}), reason);
    ASSERT_TRUE(exact) << reason;
    EXPECT_EQ(exact->chunks, 2u);
    EXPECT_FALSE(decodeManifest(encodeManifest({two, 3, assetChunkBytes}), reason));
    EXPECT_TRUE(decodeManifest(encodeManifest({two + 1, 3, assetChunkBytes}), reason));
    EXPECT_TRUE(decodeManifest(encodeManifest({0, 0, assetChunkBytes}), reason));
    EXPECT_FALSE(decodeManifest(R"({"size":10,"chunks":1,"chunk":2000000})", reason));
    EXPECT_FALSE(decodeManifest(R"({"size":600000000,"chunks":600,"chunk":1000000})", reason));
    EXPECT_FALSE(decodeManifest("{}", reason));
    // Deflated chunks: the inflated size is bounded like a raw one; an old manifest reads as raw.
    EXPECT_EQ(decodeManifest(encodeManifest({10, 1, assetChunkBytes}), reason)->assetBytes(), 10u);
    const auto deflated = decodeManifest(
        encodeManifest({10, 1, assetChunkBytes, assetEncoding::deflate, 4000}), reason);
    ASSERT_TRUE(deflated) << reason;
    EXPECT_EQ(deflated->encoding, assetEncoding::deflate);
    EXPECT_EQ(deflated->assetBytes(), 4000u);
    const std::string head = R"({"size":10,"chunks":1,"chunk":1040384,)";
    for (const char* tail :
         {R"("encoding":"deflate"})", R"("encoding":"gzip","inflated":9})",
          R"("encoding":1,"inflated":9})", R"("encoding":"deflate","inflated":-1})",
          R"("encoding":"deflate","inflated":536870913})"})
        EXPECT_FALSE(decodeManifest(head + tail, reason)) << tail;
    // The SHA-256 of "abc".
    const std::string abc = "abc";
    EXPECT_EQ(sha256Hex(std::as_bytes(std::span(abc.data(), abc.size()))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_TRUE(validHash(std::string(64, '0')));
    EXPECT_FALSE(validHash(std::string(64, 'A')));
}

namespace {

zel::polyMath::point3Xform moveX() {
    zel::polyMath::point3Xform p;
    p.setData(zel::vec3(1, 0, 0));
    return p;
}

struct recordingHooks final : zel::world::nodeHooks {
    int changes = 0, moves = 0, refusals = 0;
    void changed(zel::world::sceneNode&) override { ++changes; }
    void moved(zel::world::sceneNode&) override { ++moves; }
    void refused(zel::world::sceneNode&) override { ++refusals; }
};

} // namespace

TEST(ShareHooks, OwnNodesReportChangesAndMirrorsRefuseThem) {
    zel::world::world w;
    recordingHooks hooks;
    w.setNodeHooks(&hooks);
    zel::world::sceneNode* a = w.createNode(u"a");
    zel::world::sceneNode* b = w.createNode(u"b");
    EXPECT_TRUE(a->setName(u"A"));
    EXPECT_TRUE(a->applyXform(moveX()));
    EXPECT_TRUE(a->addChild(b));
    EXPECT_EQ(hooks.changes, 2);
    EXPECT_EQ(hooks.moves, 1);
    ASSERT_EQ(b->getParents().size(), 1u);
    EXPECT_EQ(b->getParents()[0], a);
    EXPECT_TRUE(a->removeChild(0));
    EXPECT_TRUE(b->getParents().empty());

    b->share().mirror = true;
    EXPECT_FALSE(b->setName(u"x"));
    EXPECT_FALSE(b->applyXform(moveX()));
    EXPECT_FALSE(b->addChild(w.createNode()));
    EXPECT_EQ(b->getName(), u"b");
    EXPECT_EQ(b->getNumChildren(), 0);
    EXPECT_EQ(hooks.refusals, 3);
    // A mirror may hang under an own node: the mirror itself does not change.
    EXPECT_TRUE(a->addChild(b));
    w.setNodeHooks(nullptr);
}

TEST(ShareKeys, OnlyLoopbackAddressesWrittenAsSuchCountAsThisMachine) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"nats://127.0.0.1:4222", true},
        {"nats://127.1.2.3", true},
        {"ws://u:p@127.0.0.1:4223/path", true},
        {"nats://localhost:4222", true},
        {"nats://LocalHost:4222", true},
        {"nats://[::1]:4222", true},
        {"nats://127.example.org:4222", false},
        {"nats://127.0.0.1.example.org:4222", false},
        {"nats://128.0.0.1:4222", false},
        {"nats://127.0.0.256:4222", false},
        {"nats://127.0.0:4222", false},
        {"nats://127.0.0.1.1:4222", false},
        {"nats://0127.0.0.1:4222", false},
        {"nats://10.0.0.1:4222", false},
        {"nats://localhost.example.org", false},
        {"nats://[::2]:4222", false},
        {"nats://u:p@evil.example@127.0.0.1:4222", false},
        {"nats://", false},
        {"127.0.0.1:4222", false},
    };
    for (const auto& [url, loopback] : cases)
        EXPECT_EQ(loopbackHost(urlHost(url)), loopback) << url;
}
