// The broker's keeper: which consumers of the shared scenes' streams it removes, pass by pass, and
// which models of a writer past its share of an asset bucket.
#include "asset_share.h"
#include "consumer_keeper.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

using zel::keeper::consumerKeeper;
using zel::keeper::consumerSeen;
using zel::keeper::inboxOwner;

namespace {

std::set<std::string> names(const std::vector<std::pair<consumerSeen, std::string>>& removed) {
    std::set<std::string> out;
    for (const auto& [c, why] : removed)
        out.insert(c.name);
    return out;
}

} // namespace

TEST(Keeper, TheOwnerOfADeliverSubjectIsTheUserOfItsInbox) {
    for (const auto& [subject, owner] :
         std::vector<std::pair<std::string, std::string>>{{"_INBOX_alice.x1", "alice"},
                                                          {"_INBOX_alice.a.b", "alice"},
                                                          {"_INBOX.x1", ""},
                                                          {"_INBOX_.x1", ""},
                                                          {"_INBOX_alice", ""},
                                                          {"_INBOX_alice.", ""},
                                                          {"$KV.zel-scene-lobby.alice.1.1", ""},
                                                          {"", ""}})
        EXPECT_EQ(inboxOwner(subject), owner) << subject;
}

TEST(Keeper, ConsumersNobodyListensToGoAfterTheirTimeAndThoseDeliveringNowhereAtOnce) {
    consumerKeeper keeper({20, 128});
    const consumerSeen listened{"KV_zel-scene-a", "l", "_INBOX_alice.w1", true},
        idle{"KV_zel-scene-a", "i", "_INBOX_vera.w2", false},
        pull{"KV_zel-scene-a", "p", "", false},
        intoRecords{"KV_zel-presence-a", "r", "$KV.zel-scene-a.alice.1.1", true};
    EXPECT_EQ(names(keeper.pass({listened, idle, pull, intoRecords}, 100)),
              (std::set<std::string>{"p", "r"}));
    EXPECT_TRUE(names(keeper.pass({listened, idle}, 119)).empty());
    EXPECT_EQ(names(keeper.pass({listened, idle}, 120)), (std::set<std::string>{"i"}));
    // Listened to again meanwhile: its time starts over.
    consumerSeen back = idle;
    back.name = "b";
    keeper.pass({listened, back}, 130);
    back.bound = true;
    keeper.pass({listened, back}, 145);
    back.bound = false;
    EXPECT_TRUE(names(keeper.pass({listened, back}, 160)).empty());
    EXPECT_TRUE(names(keeper.pass({listened, back}, 179)).empty());
    EXPECT_EQ(names(keeper.pass({listened, back}, 180)), (std::set<std::string>{"b"}));
}

TEST(Keeper, AUserPastItsShareLosesItsNewestAndIdleConsumersOnly) {
    consumerKeeper keeper({20, 3});
    std::vector<consumerSeen> all = {{"KV_zel-scene-a", "a1", "_INBOX_alice.1", true},
                                     {"KV_zel-scene-a", "a2", "_INBOX_alice.2", true},
                                     {"KV_zel-scene-b", "a3", "_INBOX_alice.3", true}};
    for (int i = 0; i < 3; ++i)
        all.push_back({"KV_zel-scene-a", "m" + std::to_string(i), "_INBOX_mal.x", true});
    EXPECT_TRUE(names(keeper.pass(all, 0)).empty());
    // Four more of mallory's on the same stream, one of them idle: the idle one and the newest go;
    // alice keeps every one of hers.
    all.push_back({"KV_zel-scene-a", "n0", "_INBOX_mal.y", false});
    for (int i = 1; i < 4; ++i)
        all.push_back({"KV_zel-scene-a", "n" + std::to_string(i), "_INBOX_mal.y", true});
    EXPECT_EQ(names(keeper.pass(all, 1)), (std::set<std::string>{"n0", "n1", "n2", "n3"}));
}

TEST(KeeperShare, AWritersShareIsItsPercentOfTheLimitAtLeastTheFloorAtMostTheLimit) {
    const std::uint64_t mib = 1 << 20, gib = mib << 10;
    struct row {
        std::int64_t limit;
        zel::keeper::shareLimits limits;
        std::uint64_t share;
    };
    for (const row& r : std::vector<row>{
             {std::int64_t(16 * gib), {50, 64 * mib}, 8 * gib},
             {std::int64_t(16 * gib), {25, 64 * mib}, 4 * gib},
             {std::int64_t(16 * gib), {100, 64 * mib}, 16 * gib},
             // Below the floor the floor holds, up to the whole limit.
             {std::int64_t(100 * mib), {50, 64 * mib}, 64 * mib},
             {std::int64_t(32 * mib), {50, 64 * mib}, 32 * mib},
             // No limit: no share to keep.
             {-1, {50, 64 * mib}, 0},
             {0, {50, 64 * mib}, 0},
             // The largest limit does not overflow.
             {INT64_MAX, {50, 0}, std::uint64_t(INT64_MAX) / 2},
         })
        EXPECT_EQ(zel::keeper::writerShare(r.limit, r.limits), r.share)
            << r.limit << " " << r.limits.percent;
}

TEST(KeeperShare, AUserPastItsShareLosesItsNewestModelsUntilWithinAndNobodyElseLosesAny) {
    using zel::keeper::modelHeld;
    const auto named = [](const std::vector<modelHeld>& removed) {
        std::vector<std::string> out;
        for (const modelHeld& m : removed)
            out.push_back(m.user + "." + m.hash);
        return out;
    };
    struct row {
        const char* what;
        std::vector<modelHeld> held;
        std::uint64_t share;
        std::vector<std::string> removed;
    };
    const std::vector<modelHeld> mal = {
        {"mal", "a", 40, 1}, {"mal", "b", 30, 5}, {"mal", "c", 30, 3}};
    const std::vector<modelHeld> malAndAlice = {{"mal", "a", 40, 1},
                                                {"alice", "x", 89, 2},
                                                {"mal", "b", 30, 5},
                                                {"mal", "c", 30, 3},
                                                {"alice", "y", 10, 6}};
    for (const row& r : std::vector<row>{
             {"one below the share", mal, 101, {}},
             {"at the share", mal, 100, {}},
             {"one above: the newest goes", mal, 99, {"mal.b"}},
             {"two models' worth above", mal, 40, {"mal.b", "mal.c"}},
             {"everything", mal, 0, {"mal.b", "mal.c", "mal.a"}},
             // At 99 mallory (100) is one above and alice (99) at the share: only mallory's model
             // goes, though alice's are newer.
             {"two users", malAndAlice, 100, {}},
             {"two users, mallory over", malAndAlice, 99, {"mal.b"}},
             {"two users, both over", malAndAlice, 60, {"alice.y", "alice.x", "mal.b", "mal.c"}},
             // The same sequence: the larger hash counts as newer, whatever the order listed.
             {"a tie", {{"u", "m1", 10, 7}, {"u", "m2", 10, 7}}, 15, {"u.m2"}},
             {"a tie listed the other way", {{"u", "m2", 10, 7}, {"u", "m1", 10, 7}}, 15, {"u.m2"}},
         })
        EXPECT_EQ(named(zel::keeper::pastShare(r.held, r.share)), r.removed) << r.what;
}

TEST(KeeperShare, TheTallyChargesEachModelItsKeysAndForgetsDeletedOnes) {
    using held = std::pair<std::uint64_t, std::uint64_t>; // bytes, newest
    zel::keeper::assetTally tally("zel-assets-lobby", 10);
    const std::string p = "$KV.zel-assets-lobby.";
    tally.record(p + "alice.h1.0", 3, 1000, false);
    tally.record(p + "alice.h1.1", 4, 200, false);
    tally.record(p + "alice.h1", 5, 50, false);
    tally.record(p + "alice.h10.0", 6, 5, false); // under the minimum: counts 10
    tally.record(p + "bob.h1.0", 7, 300, false);
    tally.record(p + "bob", 8, 20, false);
    tally.record("$KV.zel-assets-other.alice.h1.0", 9, 5000, false);
    tally.record("$KV.zel-scene-lobby.alice.h1.0", 10, 5000, false);
    const auto find = [&](const std::string& user, const std::string& hash) {
        for (const auto& m : tally.models())
            if (m.user == user && m.hash == hash)
                return std::pair(m.bytes, m.newest);
        return held(0, 0);
    };
    EXPECT_EQ(tally.models().size(), 4u);
    EXPECT_EQ(find("alice", "h1"), held(1250, 5));
    EXPECT_EQ(find("alice", "h10"), held(10, 6));
    EXPECT_EQ(find("bob", "h1"), held(300, 7));
    EXPECT_EQ(find("bob", ""), held(20, 8));
    // A model's keys: its manifest first, never a model whose hash merely starts the same.
    EXPECT_EQ(tally.subjects("alice", "h1"),
              (std::vector<std::string>{p + "alice.h1", p + "alice.h1.0", p + "alice.h1.1"}));
    EXPECT_EQ(tally.subjects("bob", ""), (std::vector<std::string>{p + "bob"}));
    // A record put again replaces the one before; a small marker forgets the key, a large one
    // is counted as any record.
    tally.record(p + "alice.h1.0", 11, 400, false);
    tally.record(p + "alice.h1.1", 12, 0, true);
    EXPECT_EQ(find("alice", "h1"), held(450, 11));
    tally.record(p + "alice.h1.0", 13, zel::keeper::assetTally::markerBytes, true);
    EXPECT_EQ(find("alice", "h1"), held(50, 5));
    tally.record(p + "alice.h1", 14, zel::keeper::assetTally::markerBytes + 1, true);
    EXPECT_EQ(find("alice", "h1"), held(1025, 14));
}
