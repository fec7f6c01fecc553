// The mirror set fed by hand, without a broker: hostile structure (depth, cycles, floods, churn,
// limits) and what honest records must give (order, presence, clean-up).
#include "mirror_set.h"

#include <zel/world/geometry.h>
#include <zel/world/scene_node.h>
#include <zel/world/world.h>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <map>
#include <sstream>

using namespace zel::share;
using namespace zel::share::detail;
using zel::world::sceneNode;

namespace {

struct noHooks final : zel::world::nodeHooks {
    void changed(sceneNode&) override {}
    void moved(sceneNode&) override {}
    void refused(sceneNode&) override {}
};

std::string record(const std::string& parent, std::uint64_t order = 0,
                   const std::string& extra = "") {
    return R"({"name":"n","parent":")" + parent + R"(","order":)" + std::to_string(order) +
           R"(,"matrix":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1])" + extra + "}";
}

struct fixture {
    zel::world::world w;
    noHooks hooks;
    std::ostringstream log;
    std::map<std::string, sceneRef> held; // models this site holds, by hash
    mirrorSet set{w, &hooks, log, siteName{"me", "00000001"}, [this](const std::string& hash) {
                      auto it = held.find(hash);
                      return it == held.end() ? sceneRef() : it->second;
                  }};
    clock::time_point now = clock::now();

    void present(const std::string& user, const std::string& hex) {
        set.applyPresence(user + "." + hex,
                          R"({"user":")" + user + R"(","site":")" + user + "-" + hex +
                              R"(","joined":1})",
                          false, now);
    }
    sceneNode* root() { return w.getRootNode(); }
    // Mirrors hanging at the root, by owner.
    std::vector<sceneNode*> mirrorsAtRoot() {
        std::vector<sceneNode*> out;
        for (auto* c : root()->getChildren())
            if (auto* n = dynamic_cast<sceneNode*>(c); n && n->share().mirror)
                out.push_back(n);
        return out;
    }
    // Levels of mirrors below the root along first children.
    int depth() {
        int d = 0;
        for (sceneNode* at = mirrorsAtRoot().empty() ? nullptr : mirrorsAtRoot().front(); at;
             at = at->getChildren().empty() ? nullptr
                                            : dynamic_cast<sceneNode*>(at->getChildren().front()))
            ++d;
        return d;
    }
};

std::string key(std::uint64_t n, const std::string& site = "bob.0000000b") {
    return site + "." + std::to_string(n);
}

// A model of `meshes` one-triangle meshes.
sceneRef model(std::size_t meshes) {
    auto s = std::make_shared<zel::import::scene>();
    for (std::size_t i = 0; i < meshes; ++i) {
        zel::import::mesh m;
        m.positions = {0, 0, 0, 1, 0, 0, 0, 1, 0};
        m.indices = {0, 1, 2};
        s->meshes.push_back(m);
    }
    s->materials.emplace_back();
    s->nodes.emplace_back();
    return s;
}

std::string withMesh(const std::string& parent, const std::string& hash,
                     const std::string& meshes) {
    return record(parent, 0, R"(,"mesh":{"scene":")" + hash + R"(","meshes":)" + meshes + "}");
}

std::size_t geometries(const sceneNode* n) {
    std::size_t count = 0;
    for (auto it = n->getAttributes(); it.isValid(); it.advance())
        count += dynamic_cast<zel::world::geometryAttr*>(it.getCurrent()) != nullptr;
    return count;
}

std::string names(const std::vector<sceneNode*>& nodes) {
    std::string out;
    for (const sceneNode* n : nodes)
        out += zel::xstd::toUtf8(n->getName()) + " ";
    return out;
}

} // namespace

TEST(MirrorSetHostile, DeepChainsHangAtMost256LevelsWhateverTheOrder) {
    for (bool reversed : {false, true}) {
        fixture f;
        f.present("bob", "0000000b");
        // As many levels as a user may have nodes: a recursion anywhere would overflow the stack.
        const std::uint64_t n = maxNodesPerUser;
        for (std::uint64_t k = 0; k < n; ++k) {
            const std::uint64_t i = reversed ? n - k : k + 1;
            f.set.applyNode(key(i), record(i == 1 ? "" : key(i - 1)), false);
        }
        EXPECT_EQ(f.depth(), maxDepth) << reversed;
        EXPECT_EQ(f.set.mirrorCount(), n);
        EXPECT_NE(f.log.str().find("deeper than 256 levels"), std::string::npos);
        // The dump walks it.
        EXPECT_TRUE(f.w.dump().contains("scene"));
        // A cut in the middle takes the rest out of the scene; mending it brings it back.
        f.set.applyNode(key(100), "", true);
        EXPECT_EQ(f.depth(), 99);
        f.set.applyNode(key(100), record(key(99)), false);
        EXPECT_EQ(f.depth(), maxDepth);
    }
}

TEST(MirrorSetHostile, CyclesNeverHangAndTheRestIsUntouched) {
    fixture f;
    f.present("bob", "0000000b");
    f.set.applyNode(key(1), record(""), false);
    f.set.applyNode(key(2), record(key(1)), false);
    f.set.applyNode(key(3), record(key(2)), false);
    // 1 under 3 closes a cycle: refused, 1 stays where it was.
    f.set.applyNode(key(1), record(key(3)), false);
    EXPECT_EQ(f.depth(), 3);
    EXPECT_NE(f.log.str().find("its parent hangs below it"), std::string::npos);
    // Two records waiting for each other never reach the world.
    f.set.applyNode(key(10), record(key(11)), false);
    f.set.applyNode(key(11), record(key(10)), false);
    EXPECT_EQ(f.mirrorsAtRoot().size(), 1u);
    EXPECT_EQ(f.set.waitingCount(), 2u);
}

TEST(MirrorSetHostile, RootFloodFollowsPresenceAndSortKeys) {
    fixture f;
    const std::uint64_t n = 30000;
    for (std::uint64_t i = 1; i <= n; ++i) {
        const std::uint64_t order = (i * 7919) % n;
        std::string r = record("", order);
        r.replace(r.find(R"("n")"), 3, '"' + std::to_string(order) + '"');
        f.set.applyNode(key(i), r, false);
    }
    EXPECT_TRUE(f.mirrorsAtRoot().empty()); // not present yet
    f.present("bob", "0000000b");
    std::vector<sceneNode*> at = f.mirrorsAtRoot();
    ASSERT_EQ(at.size(), n);
    // In the writer's order, by its sort keys.
    int outOfOrder = 0;
    for (std::size_t i = 1; i < at.size(); ++i)
        outOfOrder += std::stoul(zel::xstd::toUtf8(at[i - 1]->getName())) >=
                      std::stoul(zel::xstd::toUtf8(at[i]->getName()));
    EXPECT_EQ(outOfOrder, 0);
    f.now += presenceTimeout + std::chrono::seconds(1);
    f.set.expire(f.now);
    EXPECT_TRUE(f.mirrorsAtRoot().empty());
    EXPECT_TRUE(f.set.sites().size() == 1u); // only this site
}

TEST(MirrorSetHostile, ChurnWithFreshKeysDoesNotGrow) {
    fixture f;
    f.present("bob", "0000000b");
    for (std::uint64_t i = 1; i <= 20000; ++i) {
        f.set.applyNode(key(i), record(i % 2 ? "" : key(i + 1000000)), false);
        f.set.applyNode(key(i), "", true);
    }
    EXPECT_EQ(f.set.mirrorCount(), 0u);
    EXPECT_EQ(f.set.waitingCount(), 0u);
    EXPECT_LE(f.set.pooledNodes(), 1u);
}

TEST(MirrorSetHostile, NodeLimitCountsUsersNotSites) {
    fixture f;
    // Many made-up sites of one user share its limit.
    for (std::uint64_t i = 0; i < maxNodesPerUser; ++i) {
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(i / 1000));
        f.set.applyNode(key(i % 1000 + 1, std::string("eve.") + hex), record(""), false);
    }
    EXPECT_EQ(f.set.mirrorCount(), maxNodesPerUser);
    f.set.applyNode(key(1, "eve.ffffffff"), record(""), false);
    EXPECT_EQ(f.set.mirrorCount(), maxNodesPerUser);
    EXPECT_NE(f.log.str().find("more than 100000 nodes"), std::string::npos);
    // Another user is not held back.
    f.set.applyNode(key(1), record(""), false);
    EXPECT_EQ(f.set.mirrorCount(), maxNodesPerUser + 1);
}

TEST(MirrorSetHostile, MeshesCountAgainstTheLimitAndIndicesAgainstTheModel) {
    fixture f;
    f.present("bob", "0000000b");
    const std::string hash(64, 'a');
    // Each mesh a record names is charged like a node: eight records of 12,499 meshes (as many
    // as 64 KiB hold) fill the limit exactly.
    auto list = [](std::uint32_t meshes) {
        std::string out = "[";
        for (std::uint32_t i = 0; i < meshes; ++i)
            out += (i ? "," : "") + std::to_string(i);
        return out + "]";
    };
    const std::string full = withMesh("", hash, list(12499));
    ASSERT_LE(full.size(), maxRecordBytes);
    for (std::uint64_t i = 1; i <= 8; ++i)
        f.set.applyNode(key(i), full, false);
    EXPECT_EQ(f.set.mirrorCount(), 8u);
    f.set.applyNode(key(9), record(""), false);
    f.set.applyNode(key(8), withMesh("", hash, list(12500)), false);
    EXPECT_EQ(f.set.mirrorCount(), 8u);
    EXPECT_NE(f.log.str().find("more than 100000 nodes and meshes"), std::string::npos);
    // Fewer meshes give room back, and deleting everything gives the whole limit back.
    f.set.applyNode(key(8), withMesh("", hash, "[0]"), false);
    f.set.applyNode(key(9), record(""), false);
    EXPECT_EQ(f.set.mirrorCount(), 9u);
    for (std::uint64_t i = 1; i <= 9; ++i)
        f.set.applyNode(key(i), "", true);
    for (std::uint64_t i = 1; i <= 8; ++i)
        f.set.applyNode(key(i), full, false);
    EXPECT_EQ(f.set.mirrorCount(), 8u);

    // Indices past the model's meshes: refused when the model is here, shown without geometry
    // when it arrives later.
    fixture g;
    g.present("carl", "0000000c");
    g.held[hash] = model(2);
    g.set.applyNode(key(1, "carl.0000000c"), withMesh("", hash, "[1,0]"), false);
    g.set.applyNode(key(2, "carl.0000000c"), withMesh("", hash, "[2]"), false);
    ASSERT_EQ(g.mirrorsAtRoot().size(), 1u);
    EXPECT_EQ(geometries(g.mirrorsAtRoot()[0]), 2u);
    EXPECT_NE(g.log.str().find("mesh 2 past the model's 2 meshes"), std::string::npos);
    const std::string later(64, 'b');
    g.present("dora", "0000000d");
    g.set.applyNode(key(1, "dora.0000000d"), withMesh("", later, "[0,5]"), false);
    g.set.assetArrived("dora", later, model(3));
    ASSERT_EQ(g.mirrorsAtRoot().size(), 2u);
    EXPECT_EQ(geometries(g.mirrorsAtRoot()[1]), 0u);
    EXPECT_NE(g.log.str().find("mesh 5 past the model's 3 meshes"), std::string::npos);
}

TEST(MirrorSetHostile, AModelArrivingAfterItsMirrorChangedOrWentTouchesNothing) {
    fixture f;
    f.present("bob", "0000000b");
    const std::string x(64, 'a'), y(64, 'b');
    f.set.applyNode(key(1), withMesh("", x, "[0]"), false);
    f.set.applyNode(key(2), withMesh("", x, "[0]"), false);
    EXPECT_EQ(f.set.awaitedModels(), 1u);
    // 1 changes from X (not here yet) to Y, then goes; 2 moves on to Y too.
    f.set.applyNode(key(1), withMesh("", y, "[0]"), false);
    f.set.applyNode(key(1), "", true);
    f.set.applyNode(key(2), withMesh("", y, "[0]"), false);
    EXPECT_EQ(f.set.awaitedModels(), 1u) << "only Y is awaited";
    f.set.assetArrived("bob", x, model(1));
    ASSERT_EQ(f.mirrorsAtRoot().size(), 1u);
    EXPECT_EQ(geometries(f.mirrorsAtRoot()[0]), 0u) << "X arrived for a mirror that names Y";
    f.set.assetArrived("bob", y, model(1));
    EXPECT_EQ(geometries(f.mirrorsAtRoot()[0]), 1u);
    f.set.applyNode(key(2), "", true);
    EXPECT_EQ(f.set.awaitedModels(), 0u);
}

TEST(MirrorSetHostile, AUserHasAtMost64SitesPresent) {
    fixture f;
    auto hex = [](std::size_t i) {
        char out[9];
        std::snprintf(out, sizeof out, "%08zx", i);
        return std::string(out);
    };
    for (std::size_t i = 0; i <= maxSitesPerUser; ++i)
        f.present("eve", hex(i));
    EXPECT_EQ(f.set.sites().size(), maxSitesPerUser + 1) << "64 of eve's and this one";
    EXPECT_NE(f.log.str().find("has 64 sites present already"), std::string::npos);
    // Another user is not held back; one of eve's going makes room.
    f.present("bob", "0000000b");
    f.set.applyPresence("eve." + hex(0), "", true, f.now);
    f.present("eve", hex(maxSitesPerUser));
    EXPECT_EQ(f.set.sites().size(), maxSitesPerUser + 2);
}

TEST(MirrorSetHostile, AMoveThatPutsADescendantOutOfRangeTakesItOutUntilMovedBack) {
    fixture f;
    f.present("bob", "0000000b");
    const std::string big = "[1e30,0,0,0,0,1e30,0,0,0,0,1e30,0,0,0,0,1]";
    auto scaled = [&](const std::string& parent) {
        return R"({"name":"n","parent":")" + parent + R"(","order":0,"matrix":)" + big + "}";
    };
    auto check = [&] {
        while (f.set.checkMoved(clock::now(), 1)) {
        }
    };
    f.set.applyNode(key(1), record(""), false);
    f.set.applyNode(key(2), record(key(1)), false);
    f.set.applyNode(key(3), scaled(key(2)), false);
    ASSERT_EQ(f.depth(), 3);
    // 1 alone stays finite at 1e30; 3 below it would not: it leaves the scene at the check.
    f.set.applyNode(key(1), scaled(""), false);
    check();
    EXPECT_EQ(f.depth(), 2);
    EXPECT_EQ(f.set.waitingCount(), 1u);
    EXPECT_NE(f.log.str().find("out of range"), std::string::npos);
    // A move whose own place would be out of range is refused at once.
    f.set.applyNode(key(2), scaled(key(1)), false);
    sceneNode* top = f.mirrorsAtRoot().front();
    EXPECT_EQ(dynamic_cast<sceneNode*>(top->getChildren().front())->getMatrix(), zel::matrix4());
    // Back in range: 3 returns.
    f.set.applyNode(key(1), record(""), false);
    check();
    EXPECT_EQ(f.depth(), 3);
    EXPECT_EQ(f.set.waitingCount(), 0u);
    EXPECT_FALSE(f.set.checking());
}

TEST(MirrorSetHostile, MovesOfAChainAboveManyLeavesAreCheckedInOneWalkSpreadOverCalls) {
    // A chain of 200 with 20,000 leaves below its bottom, every chain node moved: one walk of the
    // whole subtree (not one per move), in steps of about the given size that resume where the
    // last stopped, with deletes and moves in between.
    fixture f;
    f.present("bob", "0000000b");
    constexpr std::uint64_t chain = 200, leaves = 20000;
    for (std::uint64_t i = 1; i <= chain; ++i)
        f.set.applyNode(key(i), record(i == 1 ? "" : key(i - 1)), false);
    for (std::uint64_t i = 1; i <= leaves; ++i)
        f.set.applyNode(key(chain + i), record(key(chain)), false);
    // One leaf that a hundredfold scale above takes out of range.
    const std::string huge = R"({"name":"h","parent":")" + key(chain) +
                             R"(","order":0,"matrix":[1e37,0,0,0,0,1e37,0,0,0,0,1e37,0,0,0,0,1]})";
    f.set.applyNode(key(chain + leaves + 1), huge, false);
    ASSERT_EQ(f.set.mirrorCount(), chain + leaves + 1);
    const auto moved = [](const std::string& parent, int x, int scale = 1) {
        const std::string s = std::to_string(scale);
        return R"({"name":"n","parent":")" + parent + R"(","order":0,"matrix":[)" + s +
               ",0,0,0,0," + s + ",0,0,0,0," + s + ",0," + std::to_string(x) + ",0,0,1]}";
    };
    for (std::uint64_t i = chain; i >= 1; --i)
        f.set.applyNode(key(i), moved(i == 1 ? "" : key(i - 1), 1, i == 1 ? 100 : 1), false);
    // The time is up from the start: each call walks about 1,000 nodes.
    const auto past = clock::now() - std::chrono::seconds(1);
    int calls = 1;
    EXPECT_TRUE(f.set.checkMoved(past, 1000));
    // Mid-walk: a leaf goes, a chain node moves again (walked again afterwards).
    f.set.applyNode(key(chain + 5000), "", true);
    f.set.applyNode(key(3), moved(key(2), 2), false);
    while (f.set.checkMoved(past, 1000) && calls < 1000)
        ++calls;
    EXPECT_LE(calls, 2 * 22) << "the subtree walked once, and once more below the second move";
    EXPECT_GE(calls, 20);
    EXPECT_EQ(f.set.waitingCount(), 1u) << "the huge leaf";
    EXPECT_EQ(f.set.mirrorCount(), chain + leaves);
    // A walk under way loses a node on its path: it starts again from its top.
    f.set.applyNode(key(1), moved("", 3), false);
    f.set.checkMoved(past, 1000);
    f.set.applyNode(key(chain), "", true);
    calls = 0;
    while (f.set.checkMoved(past, 1000) && calls < 1000)
        ++calls;
    EXPECT_LE(calls, 2) << "the chain alone is left in the scene";
    EXPECT_FALSE(f.set.checking());
    EXPECT_EQ(f.depth(), static_cast<int>(chain - 1));
}

TEST(MirrorSet, HidingAndShowingASiteKeepsEveryoneInPlace) {
    fixture f;
    f.present("bob", "0000000b");
    f.present("carl", "0000000c");
    sceneNode* own = f.w.createNode(u"own");
    f.root()->insertChild(own, 0);
    // bob: 3,000 roots in a shuffled order and one wide node; carl: a few roots between them.
    auto named = [](const std::string& parent, std::uint64_t order, const std::string& name) {
        std::string r = record(parent, order);
        r.replace(r.find(R"("n")"), 3, '"' + name + '"');
        return r;
    };
    for (std::uint64_t i = 1; i <= 3000; ++i)
        f.set.applyNode(key(i), named("", (i * 7919) % 3001, "b" + std::to_string(i)), false);
    for (std::uint64_t i = 1; i <= 5; ++i)
        f.set.applyNode(key(i, "carl.0000000c"), named("", i, "c" + std::to_string(i)), false);
    for (std::uint64_t i = 5001; i <= 8000; ++i)
        f.set.applyNode(key(i), named(key(1), (i * 31) % 3001, "w" + std::to_string(i)), false);
    f.set.applyNode(key(9000), named(key(5001), 0, "deep"), false);
    const std::vector<sceneNode*> before = f.mirrorsAtRoot();
    sceneNode* wide = nullptr;
    for (sceneNode* n : before)
        if (n->getName() == u"b1")
            wide = n;
    ASSERT_NE(wide, nullptr);
    const std::vector<zel::sceneGraph::iSceneNode*> wideBefore = wide->getChildren();
    ASSERT_EQ(wideBefore.size(), 3000u);
    const std::string dumped = f.w.dump().dump();

    // bob's presence lapses: only carl's stay, after this site's own node.
    f.now += std::chrono::seconds(3);
    f.present("carl", "0000000c");
    f.now += presenceTimeout - std::chrono::seconds(1);
    f.set.expire(f.now);
    EXPECT_EQ(f.root()->getChildren().front(), own);
    EXPECT_EQ(names(f.mirrorsAtRoot()), "c1 c2 c3 c4 c5 ");
    EXPECT_TRUE(wide->getParents().empty());
    // Back: everything where it was, the dump unchanged.
    f.present("bob", "0000000b");
    EXPECT_EQ(names(f.mirrorsAtRoot()), names(before));
    EXPECT_EQ(wide->getChildren(), wideBefore);
    EXPECT_EQ(f.w.dump().dump(), dumped);
}

TEST(MirrorSet, NodesLeftInTheWorldNoLongerCallTheSetThatMadeThem) {
    zel::world::world w;
    struct counting final : zel::world::nodeHooks {
        int refusals = 0;
        void changed(sceneNode&) override {}
        void moved(sceneNode&) override {}
        void refused(sceneNode&) override { ++refusals; }
    } hooks;
    std::ostringstream log;
    auto set = std::make_unique<mirrorSet>(w, &hooks, log, siteName{"me", "00000001"},
                                           [](const std::string&) { return sceneRef(); });
    set->applyPresence("bob.0000000b", R"({"user":"bob","site":"bob-0000000b","joined":1})", false,
                       clock::now());
    set->applyNode(key(1), record(""), false);
    set->applyNode(key(2), record(""), false);
    set->applyNode(key(2), "", true); // pooled
    sceneNode* kept = dynamic_cast<sceneNode*>(w.getRootNode()->getChildren().back());
    ASSERT_TRUE(kept && kept->share().mirror);
    EXPECT_FALSE(kept->setName(u"x"));
    EXPECT_EQ(hooks.refusals, 1);
    set.reset();
    EXPECT_TRUE(kept->getParents().empty());
    EXPECT_FALSE(kept->setName(u"x"));
    EXPECT_EQ(hooks.refusals, 1);
}

TEST(MirrorSetHostile, BadInputIsDroppedAndTheLogStaysPrintable) {
    fixture f;
    f.present("bob", "0000000b");
    f.set.applyNode("bob.0000000b.\x1b[2J", record(""), false);
    f.set.applyNode(key(1), record("", 0, R"(,"navigator":true)"), false);
    // A second navigator, and one below the top, are ordinary nodes.
    f.set.applyNode(key(2), record("", 0, R"(,"navigator":true)"), false);
    f.set.applyNode(key(3), record(key(1), 0, R"(,"navigator":true)"), false);
    EXPECT_EQ(f.set.avatars().size(), 1u);
    // Finite matrices whose product is not.
    const std::string big = R"({"name":"b","parent":"PARENT","order":0,)"
                            R"("matrix":[1e30,0,0,0,0,1e30,0,0,0,0,1e30,0,0,0,0,1]})";
    auto withParent = [&](const std::string& parent) {
        std::string r = big;
        r.replace(r.find("PARENT"), 6, parent);
        return r;
    };
    // (another site: complaints are once a second per site)
    f.present("carl", "0000000c");
    f.set.applyNode(key(20, "carl.0000000c"), withParent(""), false);
    f.set.applyNode(key(21, "carl.0000000c"), withParent(key(20, "carl.0000000c")), false);
    EXPECT_EQ(f.set.waitingCount(), 1u);
    EXPECT_NE(f.log.str().find("out of range"), std::string::npos);
    EXPECT_EQ(f.log.str().find('\x1b'), std::string::npos);
    EXPECT_NE(f.log.str().find("\\x1b"), std::string::npos);
}

TEST(MirrorSet, DeletedOrGoneMirrorsLeaveOwnNodesTooAndSameUserIsCleanedLate) {
    fixture f;
    f.present("bob", "0000000b");
    f.present("me", "00000002");
    f.set.applyNode(key(1), record(""), false);
    f.set.applyNode(key(1, "me.00000002"), record(""), false);
    sceneNode* own = f.w.createNode(u"own");
    f.root()->addChild(own);
    sceneNode* mirrored = f.mirrorsAtRoot().front();
    ASSERT_TRUE(own->addChild(mirrored));
    f.set.applyNode(key(1), "", true);
    EXPECT_EQ(own->getNumChildren(), 0);

    // This user's other site: its records go only after it has been away long enough.
    f.now += presenceTimeout + std::chrono::seconds(1);
    f.set.expire(f.now);
    EXPECT_TRUE(f.set.staleKeysOfOwnUser(clock::now(), std::chrono::seconds(10)).empty());
    const auto later = clock::now() + std::chrono::seconds(11);
    EXPECT_EQ(f.set.staleKeysOfOwnUser(later, std::chrono::seconds(10)),
              std::vector<std::string>{key(1, "me.00000002")});
    EXPECT_TRUE(f.set.staleKeysOfOwnUser(later, std::chrono::seconds(10)).empty());
}
