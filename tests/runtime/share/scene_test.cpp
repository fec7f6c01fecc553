// Two shared scenes in one process against a nats-server that each test starts on a free loopback
// port with a temporary store (stopped by pid); a plain client plays the operator or a hostile
// peer. Waits are for conditions, bounded in time.
#include "inflater.h"

#include <nats_broker.h>
#include <triangle_model.h>
#include <zel/share/records.h>
#include <zel/share/shared_scene.h>
#include <zel/world/geometry.h>
#include <zel/world/scene_node.h>
#include <zel/world/world.h>

#include <zel/import/imported_scene.h>
#include <zel/import/scene_codec.h>

#include <nats/nats.h>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <thread>

using namespace zel::share;
using zel::world::sceneNode;
namespace fs = std::filesystem;

namespace {

// nats-server with JetStream on 127.0.0.1, its store in a temporary folder; extra configuration
// (users and their permissions, TLS) as the constructor's argument.
using broker = zeltest::natsBroker;
using zeltest::triangleModel;

// The plain client: what an operator or a hostile peer does to the buckets.
class rawClient {
public:
    explicit rawClient(const std::string& url, const std::string& user = "",
                       const std::string& password = "") {
        natsOptions* o = nullptr;
        natsOptions_Create(&o);
        natsOptions_SetURL(o, url.c_str());
        if (!user.empty()) {
            natsOptions_SetUserInfo(o, user.c_str(), password.c_str());
            natsOptions_SetCustomInboxPrefix(o, ("_INBOX_" + user).c_str());
        }
        natsConnection_Connect(&nc_, o);
        natsOptions_Destroy(o);
        natsConnection_JetStream(&js_, nc_, nullptr);
    }
    ~rawClient() {
        for (auto& [name, kv] : stores_)
            kvStore_Destroy(kv);
        jsCtx_Destroy(js_);
        natsConnection_Destroy(nc_);
    }
    kvStore* bucket(const std::string& name) {
        kvStore*& kv = stores_[name];
        if (!kv)
            js_KeyValue(&kv, js_, name.c_str());
        return kv;
    }
    bool put(const std::string& b, const std::string& key, const std::string& value) {
        return kvStore_PutString(nullptr, bucket(b), key.c_str(), value.c_str()) == NATS_OK;
    }
    bool putBytes(const std::string& b, const std::string& key, std::span<const std::byte> v) {
        return kvStore_Put(nullptr, bucket(b), key.c_str(), v.data(), static_cast<int>(v.size())) ==
               NATS_OK;
    }
    bool erase(const std::string& b, const std::string& key) {
        return kvStore_Delete(bucket(b), key.c_str()) == NATS_OK;
    }
    // The value under key, or "" when none (deleted or never there).
    std::string get(const std::string& b, const std::string& key) {
        kvEntry* e = nullptr;
        if (kvStore_Get(&e, bucket(b), key.c_str()) != NATS_OK)
            return "";
        std::string out = kvEntry_ValueString(e) ? kvEntry_ValueString(e) : "";
        kvEntry_Destroy(e);
        return out;
    }
    // The key of the record named name among the first numbers of a site, or "".
    std::string keyNamed(const std::string& siteId, const std::string& name) {
        const std::size_t dash = siteId.rfind('-');
        const std::string prefix = siteId.substr(0, dash) + "." + siteId.substr(dash + 1) + ".";
        for (int n = 1; n < 50; ++n)
            if (get("zel-scene-default", prefix + std::to_string(n))
                    .find("\"name\":\"" + name + "\"") != std::string::npos)
                return prefix + std::to_string(n);
        return "";
    }
    // Many records at once, acknowledged before it returns.
    void flood(const std::string& b, const std::vector<std::pair<std::string, std::string>>& kv) {
        for (const auto& [key, value] : kv) {
            const std::string subject = "$KV." + b + "." + key;
            js_PublishAsync(js_, subject.c_str(), value.data(), static_cast<int>(value.size()),
                            nullptr);
        }
        jsPubOptions o;
        jsPubOptions_Init(&o);
        o.MaxWait = 30000;
        js_PublishAsyncComplete(js_, &o);
    }

    // A publish with headers ("Name: value" each); true when the stream took it.
    bool publish(const std::string& subject, const std::string& value,
                 const std::vector<std::pair<std::string, std::string>>& headers = {}) {
        natsMsg* m = nullptr;
        natsMsg_Create(&m, subject.c_str(), nullptr, value.data(), static_cast<int>(value.size()));
        for (const auto& [name, v] : headers)
            natsMsgHeader_Set(m, name.c_str(), v.c_str());
        jsPubAck* ack = nullptr;
        jsErrCode code{};
        const natsStatus st = js_PublishMsg(&ack, js_, m, nullptr, &code);
        jsPubAck_Destroy(ack);
        natsMsg_Destroy(m);
        return st == NATS_OK;
    }
    // The stream's configuration, or null when it is not there.
    std::unique_ptr<jsStreamInfo, void (*)(jsStreamInfo*)> stream(const std::string& name) {
        jsStreamInfo* si = nullptr;
        js_GetStreamInfo(&si, js_, name.c_str(), nullptr, nullptr);
        return {si, &jsStreamInfo_Destroy};
    }
    jsCtx* js() { return js_; }

private:
    natsConnection* nc_ = nullptr;
    jsCtx* js_ = nullptr;
    std::map<std::string, kvStore*> stores_;
};

// A site: its own world joined to the scene.
struct site {
    zel::world::world world;
    std::ostringstream log;
    std::unique_ptr<sharedScene> scene;
    site(const broker& b, const std::string& user, const std::string& sceneName = "default",
         const std::string& password = "") {
        shareOptions o;
        o.servers = {b.url()};
        o.user = user;
        o.scene = sceneName;
        if (!password.empty()) {
            o.brokerUser = user;
            o.brokerPassword = password;
        }
        std::string error;
        scene = sharedScene::join(world, o, log, error);
        if (!scene)
            throw std::runtime_error(error);
    }
    ~site() { scene.reset(); }
    sceneNode* add(const std::string& name, sceneNode* parent = nullptr) {
        sceneNode* n = world.createNode(zel::xstd::fromUtf8(name));
        (parent ? parent : world.getRootNode())->addChild(n);
        return n;
    }
    // The first node of that name (any owner), or null.
    sceneNode* find(const std::string& name) {
        return dynamic_cast<sceneNode*>(world.findNode(zel::xstd::fromUtf8(name)));
    }
    std::string key(const std::string& siteId, std::uint64_t n) const {
        const std::size_t dash = siteId.rfind('-');
        return siteId.substr(0, dash) + "." + siteId.substr(dash + 1) + "." + std::to_string(n);
    }
};

// Pumps the sites until done() or seconds run out.
bool until(std::vector<site*> sites, double seconds, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    while (std::chrono::steady_clock::now() < deadline) {
        for (site* s : sites)
            s->scene->pump();
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool hasGeometry(sceneNode* n) {
    return n && n->findAttribute<zel::world::geometryAttr>() != nullptr;
}

const std::string nodes = "zel-scene-default";

// The hash of the model that a site's node NAME names in its record; empty when it names none.
std::string modelHashOf(rawClient& op, const site& s, const std::string& name) {
    const std::string record = op.get(nodes, op.keyNamed(s.scene->siteId(), name));
    const std::size_t at = record.find("\"scene\":\"");
    return at == std::string::npos ? std::string() : record.substr(at + 9, 64);
}

} // namespace

TEST(SharedScenesSelfRepair, OwnRecordsComeBackAndStaleOnesGo) {
    broker b;
    site alice(b, "alice"), bob(b, "bob");
    sceneNode* box = alice.add("box");
    ASSERT_TRUE(alice.scene->sync(10));
    ASSERT_TRUE(until({&alice, &bob}, 10, [&] { return bob.find("box") != nullptr; }));
    rawClient op(b.url());
    const std::string boxKey = op.keyNamed(alice.scene->siteId(), "box");
    ASSERT_FALSE(boxKey.empty());

    // An operator's delete, then someone's stale write: the owner puts its state back.
    ASSERT_TRUE(op.erase(nodes, boxKey));
    EXPECT_TRUE(until({&alice, &bob}, 10, [&] { return !op.get(nodes, boxKey).empty(); }));
    ASSERT_TRUE(op.put(nodes, boxKey,
                       R"({"name":"fake","parent":"","order":0,)"
                       R"("matrix":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]})"));
    EXPECT_TRUE(until({&alice, &bob}, 10, [&] {
        return op.get(nodes, boxKey).find("\"box\"") != std::string::npos && bob.find("box") &&
               !bob.find("fake");
    }));
    // A record under alice's site that she never made is taken off.
    const std::string stale = alice.key(alice.scene->siteId(), 999);
    ASSERT_TRUE(op.put(nodes, stale,
                       R"({"name":"stale","parent":"","order":0,)"
                       R"("matrix":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]})"));
    EXPECT_TRUE(until({&alice, &bob}, 10,
                      [&] { return op.get(nodes, stale).empty() && !bob.find("stale"); }));
    EXPECT_TRUE(box->getParents().size() == 1);
}

TEST(SharedScenesSelfRepair, PurgeMarkersInABucketThatRefusesRollUpsAreDeletesOfTheirKeys) {
    broker b;
    site alice(b, "alice");
    for (int i = 0; i < 10; ++i)
        alice.add("n" + std::to_string(i));
    ASSERT_TRUE(alice.scene->sync(10));
    rawClient mal(b.url());
    const auto present = [&] {
        mal.put("zel-presence-default", "mal.0000000a",
                R"({"user":"mal","site":"mal-0000000a","joined":1})");
    };
    present();
    mal.put(nodes, "mal.0000000a.1",
            R"({"name":"m","parent":"","order":0,"matrix":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]})");
    ASSERT_TRUE(until({&alice}, 10, [&] { return alice.find("m") != nullptr; }));
    const std::uint64_t before = mal.stream("KV_" + nodes)->State.LastSeq;
    // 500 markers on the hostile user's own keys, one of them its record's.
    constexpr int markers = 500;
    for (int i = 1; i <= markers; ++i)
        ASSERT_TRUE(mal.publish("$KV." + nodes + ".mal.0000000a." + std::to_string(i), "",
                                {{"KV-Operation", "PURGE"}}));
    present();
    EXPECT_TRUE(until({&alice}, 10, [&] { return alice.find("m") == nullptr; }));
    // A late joiner replays them too.
    site carl(b, "carl");
    ASSERT_TRUE(carl.scene->sync(10));
    until({&alice, &carl}, 2, [] { return false; });
    EXPECT_LT(mal.stream("KV_" + nodes)->State.LastSeq - before, std::uint64_t(markers) + 5)
        << "alice's records went again";
    EXPECT_NE(carl.find("n9"), nullptr);
}

TEST(SharedScenesSelfRepair, ChangesAndDeletesMadeWhileTheBrokerIsAwayArrive) {
    broker b;
    site alice(b, "alice"), bob(b, "bob");
    sceneNode* keep = alice.add("keep");
    alice.add("drop");
    ASSERT_TRUE(alice.scene->sync(10));
    ASSERT_TRUE(until({&alice, &bob}, 10, [&] { return bob.find("drop") && bob.find("keep"); }));
    b.kill();
    ASSERT_TRUE(until({&alice, &bob}, 10, [&] { return alice.scene->reconnecting(); }));
    alice.world.getRootNode()->removeChild(
        static_cast<std::int32_t>(alice.world.getRootNode()->getNumChildren() - 1));
    EXPECT_TRUE(keep->setName(u"kept"));
    alice.scene->pump();
    ASSERT_TRUE(b.start());
    EXPECT_TRUE(until({&alice, &bob}, 20, [&] { return !bob.find("drop") && bob.find("kept"); }))
        << alice.log.str() << bob.log.str();
    EXPECT_TRUE(alice.scene->sync(10)) << alice.scene->syncProblem();
}

TEST(SharedScenesSelfRepair, ThisUsersGoneSiteIsCleanedOnlyAfterTwiceTheExpiry) {
    broker b;
    rawClient op(b.url());
    site bob(b, "bob"); // makes the buckets
    const std::string left = "alice.0badcafe.1";
    ASSERT_TRUE(op.put(nodes, left,
                       R"({"name":"left","parent":"","order":0,)"
                       R"("matrix":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]})"));
    site alice(b, "alice");
    ASSERT_TRUE(alice.scene->sync(10));
    const auto joined = std::chrono::steady_clock::now();
    ASSERT_TRUE(until({&alice}, 20, [&] { return op.get(nodes, left).empty(); }));
    EXPECT_GT(std::chrono::steady_clock::now() - joined, std::chrono::seconds(9));
}

TEST(SharedScenesHostile, APeersFloodChainAndMissingModelsLeaveTheRestWhole) {
    broker b;
    site alice(b, "alice");
    sceneNode* model = alice.add("model");
    model->addAttribute(zel::world::makeSceneGeometry(triangleModel(1), 0).release());
    ASSERT_TRUE(alice.scene->sync(10)) << alice.scene->syncProblem();

    rawClient mal(b.url());
    const std::string identity = R"("matrix":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1])";
    std::vector<std::pair<std::string, std::string>> records;
    for (int i = 1; i <= 1000; ++i) // a chain
        records.emplace_back(
            "mal.0000000a." + std::to_string(i),
            R"({"name":"c","parent":")" +
                (i == 1 ? std::string() : "mal.0000000a." + std::to_string(i - 1)) +
                R"(","order":0,)" + identity + "}");
    for (int i = 1; i <= 3000; ++i) // a root flood, each naming a model that does not exist
        records.emplace_back("mal.0000000b." + std::to_string(i),
                             R"({"name":"f","parent":"","order":0,)" + identity +
                                 R"(,"mesh":{"scene":")" + std::string(63, 'a') +
                                 std::to_string(i % 10) + R"(","meshes":[0]}})");
    mal.flood(nodes, records);
    for (const char* hex : {"0000000a", "0000000b"})
        ASSERT_TRUE(
            mal.put("zel-presence-default", std::string("mal.") + hex,
                    std::string(R"({"user":"mal","site":"mal-)") + hex + R"(","joined":0})"));

    site bob(b, "bob");
    ASSERT_TRUE(bob.scene->sync(20)) << bob.scene->syncProblem();
    // alice's model arrived with its geometry; the missing ones are named, not waited for.
    EXPECT_TRUE(hasGeometry(bob.find("model"))) << bob.log.str();
    EXPECT_NE(bob.log.str().find("not on the broker"), std::string::npos) << bob.log.str();
    int depth = 0;
    zel::world::walkGraph(bob.world.getRootNode(), [&](zel::sceneGraph::iSceneNode*, int d) {
        depth = std::max(depth, d);
        return true;
    });
    EXPECT_LE(depth, 256);
    EXPECT_GE(depth, 255);
    EXPECT_FALSE(bob.world.dump().empty());
}

TEST(SharedScenesAssets, AModelStoredByItsOwnerIsNotStoredAgainAndReachesLateJoiners) {
    broker b;
    rawClient op(b.url());
    auto model = triangleModel(2);
    std::string hash;
    {
        site alice(b, "alice");
        sceneNode* n = alice.add("m");
        n->addAttribute(zel::world::makeSceneGeometry(model, 0).release());
        ASSERT_TRUE(alice.scene->sync(10));
        hash = modelHashOf(op, alice, "m");
        ASSERT_FALSE(hash.empty());
    }
    // The manifest sits under alice's user token, with the fixed chunk size.
    std::string reason;
    const auto manifest = decodeManifest(op.get("zel-assets-default", "alice." + hash), reason);
    ASSERT_TRUE(manifest) << reason;
    EXPECT_EQ(manifest->chunkBytes, assetChunkBytes);
    EXPECT_TRUE(op.get("zel-assets-default", hash).empty());
    // A chunk that was lost is stored again by the next site of that user that shares the model.
    ASSERT_TRUE(op.erase("zel-assets-default", "alice." + hash + ".0"));
    site alice2(b, "alice"), bob(b, "bob");
    sceneNode* n = alice2.add("m2");
    n->addAttribute(zel::world::makeSceneGeometry(model, 0).release());
    ASSERT_TRUE(alice2.scene->sync(10));
    ASSERT_TRUE(bob.scene->sync(10)) << bob.scene->syncProblem();
    EXPECT_TRUE(hasGeometry(bob.find("m2"))) << bob.log.str();
}

TEST(SharedScenesAssets, AModelsKeysChangedByOthersAreMendedAndReadersTryAgain) {
    broker b;
    rawClient op(b.url());
    auto model = triangleModel(3);
    site alice(b, "alice");
    sceneNode* n = alice.add("m");
    n->addAttribute(zel::world::makeSceneGeometry(model, 0).release());
    ASSERT_TRUE(alice.scene->sync(10));
    const std::string hash = modelHashOf(op, alice, "m");
    ASSERT_FALSE(hash.empty());
    const std::string manifestKey = "alice." + hash;
    const std::string manifest = op.get("zel-assets-default", manifestKey);
    // Someone's answer lands on the manifest, and a chunk is deleted: bob, joining then, finds no
    // model yet and does not take it for a bad one.
    ASSERT_TRUE(op.put("zel-assets-default", manifestKey,
                       R"({"type":"io.nats.jetstream.api.v1.account_info_response"})"));
    ASSERT_TRUE(op.erase("zel-assets-default", manifestKey + ".0"));
    site bob(b, "bob");
    // alice puts both back.
    EXPECT_TRUE(until({&alice, &bob}, 20, [&] {
        return op.get("zel-assets-default", manifestKey) == manifest &&
               !op.get("zel-assets-default", manifestKey + ".0").empty();
    })) << alice.log.str();
    EXPECT_TRUE(until({&alice, &bob}, 30, [&] { return hasGeometry(bob.find("m")); }))
        << bob.log.str();
    EXPECT_EQ(bob.log.str().find("dropped a model"), std::string::npos) << bob.log.str();
}

// A model is stored deflated and read back whole; another user's deflated chunks that lie are
// dropped with one line each and shown without geometry.
TEST(SharedScenesHostile, ModelsTravelDeflatedAndDeflatedStreamsThatLieAreDropped) {
    broker b;
    rawClient mal(b.url());
    // A model of some size, so that it deflates; each case its own (its own hash).
    auto modelOf = [](int seed) {
        auto s = std::make_shared<zel::import::scene>(*triangleModel(1));
        zel::import::mesh& m = s->meshes[0];
        m.positions.clear();
        m.normals.clear();
        m.indices.clear();
        for (int i = 0; i < 3000; ++i) {
            m.positions.insert(m.positions.end(), {float(i % 50), float(seed), float(i / 50)});
            m.normals.insert(m.normals.end(), {0, 0, 1});
            m.indices.push_back(static_cast<std::uint32_t>(i));
        }
        return s;
    };
    auto modelBytes = [&](int seed) { return zel::import::encode(*modelOf(seed)); };
    // alice's model of the same kind is stored deflated and arrives whole (her join makes the
    // buckets).
    site alice(b, "alice");
    alice.add("sound")->addAttribute(zel::world::makeSceneGeometry(modelOf(99), 0).release());
    ASSERT_TRUE(alice.scene->sync(10)) << alice.scene->syncProblem();
    std::string reason;
    const auto stored = decodeManifest(
        mal.get("zel-assets-default", "alice." + modelHashOf(mal, alice, "sound")), reason);
    ASSERT_TRUE(stored) << reason;
    EXPECT_EQ(stored->encoding, assetEncoding::deflate);
    EXPECT_LT(stored->size * 2, stored->inflated);
    using bytes = std::vector<std::byte>;
    struct forged {
        const char* name;
        std::function<bytes(const bytes& deflated)> stream;
        std::function<std::uint64_t(std::uint64_t size)> declared;
        const char* reason;
    };
    const auto same = [](const bytes& d) { return d; };
    const auto exact = [](std::uint64_t n) { return n; };
    const std::vector<forged> cases = {
        {"bomb",
         [](const bytes&) {
             return *zel::share::detail::deflateSmaller(bytes(std::size_t(64) << 20));
         },
         exact, "more bytes than its manifest says"},
        {"declared too small", same, [](std::uint64_t n) { return n - 1; },
         "more bytes than its manifest says"},
        {"declared too large", same, [](std::uint64_t n) { return n + 1; },
         "fewer bytes than its manifest says"},
        {"truncated", [](const bytes& d) { return bytes(d.begin(), d.end() - 8); }, exact,
         "ends early"},
        {"trailing garbage",
         [](const bytes& d) {
             bytes more = d;
             more.insert(more.end(), 5, std::byte(7));
             return more;
         },
         exact, "bytes after the end"},
    };
    std::vector<std::pair<std::string, std::string>> records;
    const std::string identity = R"("matrix":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1])";
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const bytes model = modelBytes(static_cast<int>(i));
        const std::string hash = sha256Hex(model);
        const auto deflated = zel::share::detail::deflateSmaller(model);
        ASSERT_TRUE(deflated);
        const bytes stream = cases[i].stream(*deflated);
        ASSERT_LE(stream.size(), assetChunkBytes);
        ASSERT_TRUE(mal.putBytes("zel-assets-default", "mal." + hash + ".0", stream));
        assetManifest m{stream.size(), 1, assetChunkBytes, assetEncoding::deflate,
                        cases[i].declared(model.size())};
        ASSERT_TRUE(mal.put("zel-assets-default", "mal." + hash, encodeManifest(m)));
        records.emplace_back("mal.0000000c." + std::to_string(i + 1),
                             std::string(R"({"name":")") + cases[i].name +
                                 R"(","parent":"","order":0,)" + identity +
                                 R"(,"mesh":{"scene":")" + hash + R"(","meshes":[0]}})");
    }
    mal.flood(nodes, records);
    ASSERT_TRUE(mal.put("zel-presence-default", "mal.0000000c",
                        R"({"user":"mal","site":"mal-0000000c","joined":0})"));
    site bob(b, "bob");
    ASSERT_TRUE(bob.scene->sync(20)) << bob.scene->syncProblem();
    EXPECT_TRUE(hasGeometry(bob.find("sound"))) << bob.log.str();
    // One line each.
    const std::string log = bob.log.str();
    std::size_t lines = 0;
    for (std::size_t at = 0;
         (at = log.find("dropped a model of user mal", at)) != std::string::npos; ++at)
        ++lines;
    EXPECT_EQ(lines, cases.size()) << log;
    for (const forged& c : cases) {
        ASSERT_TRUE(bob.find(c.name)) << c.name;
        EXPECT_FALSE(hasGeometry(bob.find(c.name))) << c.name;
        EXPECT_NE(bob.log.str().find(c.reason), std::string::npos) << c.name << "\n"
                                                                   << bob.log.str();
    }
}

// The broker's keeper removes the newest models of a user past its share; the site puts a removed
// model back only a few times, so that the two do not take turns for ever.
TEST(SharedScenesAssets, AModelRemovedAgainAndAgainIsPutBackAtMostThreeTimes) {
    broker b;
    rawClient op(b.url());
    auto model = triangleModel(3);
    site alice(b, "alice");
    sceneNode* n = alice.add("m");
    n->addAttribute(zel::world::makeSceneGeometry(model, 0).release());
    ASSERT_TRUE(alice.scene->sync(10));
    const std::string hash = modelHashOf(op, alice, "m");
    ASSERT_FALSE(hash.empty());
    const std::string manifestKey = "alice." + hash;
    const std::string manifest = op.get("zel-assets-default", manifestKey);
    ASSERT_FALSE(manifest.empty());
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(op.erase("zel-assets-default", manifestKey));
        EXPECT_TRUE(until({&alice}, 20,
                          [&] { return op.get("zel-assets-default", manifestKey) == manifest; }))
            << "removal " << i << ": " << alice.log.str();
    }
    EXPECT_EQ(alice.log.str().find("times in ten minutes"), std::string::npos) << alice.log.str();
    ASSERT_TRUE(op.erase("zel-assets-default", manifestKey));
    EXPECT_TRUE(until({&alice}, 20, [&] {
        return alice.log.str().find("times in ten minutes") != std::string::npos;
    })) << alice.log.str();
    EXPECT_TRUE(op.get("zel-assets-default", manifestKey).empty());
}

namespace {

// A broker with an administrator and users who may each read and write only the scene lobby, as
// the deployment's permissions have it.
std::string usersConfig() {
    std::string writer;
    for (const char* user : {"alice", "bob"}) {
        std::string allow = R"("$JS.API.INFO", "$JS.API.STREAM.NAMES")";
        for (const char* b : {"zel-scene-lobby", "zel-presence-lobby", "zel-assets-lobby"})
            allow += std::string(", \"$JS.API.STREAM.INFO.KV_") + b +
                     "\", \"$JS.API.CONSUMER.CREATE.KV_" + b + "\", \"$JS.API.DIRECT.GET.KV_" + b +
                     ".>\", \"$JS.FC.KV_" + b + ".>\", \"$KV." + b + "." + user + ".>\"";
        writer += std::string("    {user: ") + user + ", password: pw-" + user +
                  ", permissions: {publish: {allow: [" + allow +
                  "]}, subscribe: {allow: [\"_INBOX_" + user + ".>\"]}}}\n";
    }
    return "authorization {\n  users: [\n    {user: admin, password: pw-admin}\n" + writer +
           "  ]\n}\n";
}

double secondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

} // namespace

TEST(SharedScenesBuckets, NoWriterCanRollUpPurgeOrFloodAndABucketOfOldIsMadeSafeByTheAdmin) {
    broker b(usersConfig());
    // Buckets made the old way, with roll-ups on and no size limit.
    rawClient admin(b.url(), "admin", "pw-admin");
    for (const char* name : {"zel-scene-lobby", "zel-presence-lobby", "zel-assets-lobby"}) {
        kvConfig cfg;
        kvConfig_Init(&cfg);
        cfg.Bucket = name;
        cfg.History = 1;
        kvStore* kv = nullptr;
        ASSERT_EQ(js_CreateKeyValue(&kv, admin.js(), &cfg), NATS_OK);
        kvStore_Destroy(kv);
    }
    {
        // Until the administrator joins, a writer is told and still joins.
        site alice(b, "alice", "lobby", "pw-alice");
        EXPECT_NE(alice.log.str().find("bucket zel-scene-lobby is unsafe (roll-ups allowed"),
                  std::string::npos)
            << alice.log.str();
        alice.add("box");
        ASSERT_TRUE(alice.scene->sync(10)) << alice.scene->syncProblem();
        // A roll-up that still gets through is a purge marker on every watcher: alice puts her
        // records back.
        rawClient bob(b.url(), "admin", "pw-admin");
        ASSERT_TRUE(bob.publish("$KV.zel-scene-lobby.bob.00000001.1", "",
                                {{"KV-Operation", "PURGE"}, {"Nats-Rollup", "all"}}));
        EXPECT_TRUE(until({&alice}, 10, [&] {
            return admin.stream("KV_zel-scene-lobby")->State.Msgs >= 2;
        })) << alice.log.str();
    }
    site root(b, "admin", "lobby", "pw-admin");
    EXPECT_NE(root.log.str().find("they are safe now"), std::string::npos) << root.log.str();
    for (const char* name :
         {"KV_zel-scene-lobby", "KV_zel-presence-lobby", "KV_zel-assets-lobby"}) {
        SCOPED_TRACE(name);
        auto info = admin.stream(name);
        ASSERT_TRUE(info);
        EXPECT_FALSE(info->Config->AllowRollup);
        EXPECT_TRUE(info->Config->DenyPurge);
        EXPECT_TRUE(info->Config->DenyDelete);
        EXPECT_TRUE(info->Config->AllowDirect);
        EXPECT_GT(info->Config->MaxMsgSize, 0);
    }
    EXPECT_EQ(admin.stream("KV_zel-assets-lobby")->Config->MaxBytes, std::int64_t(16) << 30);

    // A writer's attacks on the safe buckets: each fails at the broker and takes nothing away.
    site alice(b, "alice", "lobby", "pw-alice");
    alice.add("kept");
    ASSERT_TRUE(alice.scene->sync(10)) << alice.scene->syncProblem();
    const std::uint64_t before = admin.stream("KV_zel-scene-lobby")->State.Msgs;
    rawClient mal(b.url(), "bob", "pw-bob");
    const std::string own = "$KV.zel-scene-lobby.bob.00000001.1";
    EXPECT_FALSE(mal.publish(own, "", {{"KV-Operation", "PURGE"}, {"Nats-Rollup", "sub"}}));
    EXPECT_FALSE(mal.publish(own, "x", {{"Nats-Rollup", "all"}}));
    EXPECT_FALSE(mal.publish(own, std::string(100 * 1000, 'x')));
    EXPECT_FALSE(admin.publish("$KV.zel-scene-lobby.admin.00000001.1", "",
                               {{"KV-Operation", "PURGE"}, {"Nats-Rollup", "all"}}));
    jsErrCode code{};
    EXPECT_NE(js_PurgeStream(admin.js(), "KV_zel-scene-lobby", nullptr, &code), NATS_OK);
    EXPECT_GE(admin.stream("KV_zel-scene-lobby")->State.Msgs, before);
    EXPECT_TRUE(until({&alice}, 5, [&] { return alice.find("kept") != nullptr; }));
}

TEST(SharedScenesAccess, CredentialsGoToAnotherMachineOnlyOverTls) {
    // Refused before anything is sent: no broker at these addresses is needed.
    for (const std::string url : {"nats://192.0.2.1:4222", "nats://127.example.org:4222"}) {
        zel::world::world w;
        std::ostringstream log;
        shareOptions o;
        o.servers = {"nats://127.0.0.1:1", url};
        o.user = "alice";
        o.brokerUser = "alice";
        o.brokerPassword = "pw-alice";
        std::string error;
        EXPECT_FALSE(sharedScene::join(w, o, log, error)) << url;
        EXPECT_NE(error.find("credentials go to it only over TLS"), std::string::npos) << error;
        EXPECT_EQ(error.find("pw-alice"), std::string::npos) << error;
    }
}

TEST(SharedScenesAccess, AUserIsToldAtOnceOfASceneNotAllowedOrNotMade) {
    broker b(usersConfig());
    struct row {
        const char* scene;
        const char* says;
    };
    // design: not allowed to alice; lobby: allowed, but only the administrator makes a scene.
    for (const row& r : {row{"design", "user alice may not join scene design"},
                         row{"lobby", "scene lobby is not on the broker, and user alice may not "
                                      "make it"}}) {
        SCOPED_TRACE(r.scene);
        const auto start = std::chrono::steady_clock::now();
        std::string error;
        try {
            site alice(b, "alice", r.scene, "pw-alice");
        } catch (const std::runtime_error& e) {
            error = e.what();
        }
        EXPECT_EQ(error, r.says);
        EXPECT_LT(secondsSince(start), 3.0);
    }
}

namespace {

// A certificate authority and a broker certificate for the name localhost, made with openssl in
// folder; a second authority that signed nothing of the broker's.
bool makeCertificates(const fs::path& folder) {
    const std::string d = folder.string();
    const std::string script =
        "cd '" + d +
        "' && "
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=test-ca -keyout ca.key "
        "-out ca.pem && "
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=other-ca -keyout other.key "
        "-out other.pem && "
        "openssl req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout broker.key -out "
        "broker.csr && "
        "printf 'subjectAltName=DNS:localhost\\n' > ext && "
        "openssl x509 -req -in broker.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
        "-extfile ext -out broker.pem";
    return std::system(("(" + script + ") >/dev/null 2>&1").c_str()) == 0;
}

} // namespace

TEST(SharedScenesTls, AHostReachesABrokerOnlyThroughTlsFromTheRightAuthorityUnderItsName) {
    const fs::path dir = fs::temp_directory_path() / ("zel-share-tls-" + std::to_string(getpid()));
    fs::create_directories(dir);
    ASSERT_TRUE(makeCertificates(dir));
    broker b("tls { cert_file: \"" + (dir / "broker.pem").string() + "\", key_file: \"" +
             (dir / "broker.key").string() + "\" }\n");
    const std::string port = b.url().substr(b.url().rfind(':') + 1);
    broker plain;
    const std::string plainPort = plain.url().substr(plain.url().rfind(':') + 1);
    struct row {
        const char* what;
        std::string url;
        std::string ca;
        const char* says; // "" when the join must succeed
    };
    const row rows[] = {
        {"through TLS", "tls://localhost:" + port, (dir / "ca.pem").string(), ""},
        {"wrong authority", "tls://localhost:" + port, (dir / "other.pem").string(),
         "has a certificate that is not from the authority in"},
        {"plain", "nats://localhost:" + port, (dir / "ca.pem").string(),
         "takes only TLS connections"},
        {"another name", "tls://127.0.0.1:" + port, (dir / "ca.pem").string(),
         "has a certificate for another name than 127.0.0.1"},
        {"TLS asked of a broker without it", "tls://localhost:" + plainPort,
         (dir / "ca.pem").string(), "offers no TLS"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        zel::world::world w;
        std::ostringstream log;
        shareOptions o;
        o.servers = {r.url};
        o.user = "alice";
        o.brokerUser = "alice";
        o.brokerPassword = "secret-pw";
        o.caFile = r.ca;
        std::string error;
        auto scene = sharedScene::join(w, o, log, error);
        if (!*r.says) {
            EXPECT_TRUE(scene) << error;
        } else {
            EXPECT_FALSE(scene);
            EXPECT_NE(error.find(r.says), std::string::npos) << error;
            EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        }
        EXPECT_EQ((error + log.str()).find("secret-pw"), std::string::npos);
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}

TEST(SharedScenesSelfRepair, SyncWaitsForABucketMadeAnew) {
    broker b;
    site alice(b, "alice"), bob(b, "bob");
    sceneNode* box = alice.add("box");
    // Many revisions in the bucket before it goes.
    for (int i = 0; i < 150; ++i) {
        box->setName(zel::xstd::fromUtf8("box" + std::to_string(i)));
        alice.scene->pump();
    }
    ASSERT_TRUE(alice.scene->sync(10));
    ASSERT_TRUE(bob.scene->sync(10));
    rawClient op(b.url());
    jsErrCode code{};
    ASSERT_EQ(js_DeleteStream(op.js(), "KV_zel-scene-default", nullptr, &code), NATS_OK);
    // alice's site makes it again and sends her state again, while bob's world waits.
    alice.add("late");
    ASSERT_TRUE(alice.scene->sync(20)) << alice.scene->syncProblem();
    // A sync counts the revisions of the bucket as it is now, not of the one that went.
    ASSERT_TRUE(bob.scene->sync(10)) << bob.scene->syncProblem();
    EXPECT_NE(bob.find("late"), nullptr);
}
