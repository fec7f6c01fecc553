// The broker's keeper: which consumers of the shared scenes' streams it removes, pass by pass.
#include "consumer_keeper.h"

#include <gtest/gtest.h>

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
