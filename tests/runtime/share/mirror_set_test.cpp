// The mirror set fed by hand, without a broker: hostile structure (depth, cycles, floods, churn,
// limits) and what honest records must give (order, presence, clean-up).
#include "mirror_set.h"
#include "own_nodes.h"

#include <zel/world/scene_node.h>
#include <zel/world/world.h>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

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
    mirrorSet set{w, &hooks, log, siteName{"me", "00000001"},
                  [](const std::string&) { return sceneRef(); }};
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

} // namespace

TEST(MirrorSetHostile, DeepChainsHangAtMost256LevelsWhateverTheOrder) {
    for (bool reversed : {false, true}) {
        fixture f;
        f.present("bob", "0000000b");
        const std::uint64_t n = 20000;
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

TEST(OwnNodes, InsertingFirstKeepsTheOtherSiblingsRecords) {
    zel::world::world w;
    ownNodes own(w, siteName{"me", "00000001"});
    struct forward final : zel::world::nodeHooks {
        ownNodes& o;
        explicit forward(ownNodes& x) : o(x) {}
        void changed(sceneNode& n) override { o.changed(n); }
        void moved(sceneNode& n) override { o.moved(n); }
        void refused(sceneNode&) override {}
    } hooks(own);
    w.setNodeHooks(&hooks);
    sceneNode* parent = w.createNode(u"p");
    w.getRootNode()->addChild(parent);
    std::vector<sceneNode*> kids;
    for (int i = 0; i < 5; ++i) {
        kids.push_back(w.createNode(u"k"));
        parent->addChild(kids.back());
    }
    std::map<std::string, std::string> before;
    for (const outgoing& o : own.collect())
        before[o.key] = encodeRecord(o.record);
    sceneNode* first = w.createNode(u"first");
    parent->insertChild(first, 0);
    std::uint64_t lowest = ~std::uint64_t(0), newKey = 0;
    int differ = 0;
    for (const outgoing& o : own.collect()) {
        if (!before.count(o.key))
            newKey = o.record.order;
        else if (before[o.key] != encodeRecord(o.record))
            ++differ;
        else if (o.record.parent.empty() == false)
            lowest = std::min(lowest, o.record.order);
    }
    EXPECT_EQ(differ, 0);
    EXPECT_LT(newKey, lowest);
    // Moving the last to the front gives only it a new key.
    parent->removeChild(5);
    parent->insertChild(kids.back(), 0);
    differ = 0;
    for (const outgoing& o : own.collect())
        if (before.count(o.key) && before[o.key] != encodeRecord(o.record))
            ++differ;
    EXPECT_EQ(differ, 1);
    w.setNodeHooks(nullptr);
}
