// Shared scenes through the real zelhost: each test starts its own nats-server on a free loopback
// port with a temporary store, runs sites as processes on scripts, and reads their dumps.
#include "e2e.h"
#include "share_support.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

using namespace e2e;

namespace {

// Three nats-servers in one JetStream cluster on loopback ports; node i stopped by pid.
class cluster {
public:
    cluster() {
        int client[3], route[3];
        for (int i = 0; i < 3; ++i) {
            client[i] = freePort();
            route[i] = freePort();
        }
        for (int i = 0; i < 3; ++i) {
            std::string routes;
            for (int j = 0; j < 3; ++j)
                if (j != i)
                    routes += (routes.empty() ? "" : ", ") + std::string("nats://127.0.0.1:") +
                              std::to_string(route[j]);
            zeltest::brokerOptions o;
            o.port = client[i];
            o.jetstream = "max_file_store: 1PB\n";
            o.config =
                "server_name: n" + std::to_string(i) +
                "\ncluster {\n  name: zel\n  listen: " + "127.0.0.1:" + std::to_string(route[i]) +
                "\n  routes: [" + routes + "]\n}\n";
            nodes_[i] = std::make_unique<zeltest::natsBroker>(o);
        }
    }
    void kill(int i) { nodes_[i]->kill(); }
    // The three URLs, node first.
    std::string urls(int first) const {
        return url(first) + "," + url((first + 1) % 3) + "," + url((first + 2) % 3);
    }
    std::string url(int i) const { return nodes_[i]->url(); }

private:
    std::unique_ptr<zeltest::natsBroker> nodes_[3];
};

// Runs share_inject on commands against the broker, with the credentials in env if any.
processResult inject(const broker& b, const std::string& commands,
                     std::vector<std::pair<std::string, std::string>> env = {}) {
    processOptions spec;
    spec.args = {(binFolder() / "share_inject").string(), b.url()};
    spec.input = commands;
    spec.unsetEnvironment = {"ZEL_SHARE_USER", "ZEL_SHARE_PASSWORD"};
    spec.environment = std::move(env);
    spec.timeoutSeconds = 120;
    return runProcess(spec);
}

processResult inject(const std::string& url, const std::string& commands) {
    processOptions spec;
    spec.args = {(binFolder() / "share_inject").string(), url};
    spec.input = commands;
    spec.timeoutSeconds = 120;
    return runProcess(spec);
}

std::set<std::string> siteUsers(const json& dump) {
    std::set<std::string> out;
    for (const json& s : dump["sites"])
        out.insert(s["user"].get<std::string>());
    return out;
}

const std::string x = "scene navigator tabletop";

} // namespace

TEST(Share, LateJoinerLiveEditAndLeave) {
    broker b;
    ASSERT_TRUE(b.started());
    tempFolder tmp;
    // alice places and moves her model, waits for bob, moves it again while bob watches.
    site alice(tmp.path(), "alice", b.url(),
               "key x\nshare sync\ndump a1.json\nshare wait 2 30\nsleep 1\nkey x\nshare sync\n"
               "dump a2.json\nsleep 3\n");
    ASSERT_TRUE(waitForFile(tmp.path() / "a1.json"));
    site bob(tmp.path(), "bob", b.url(),
             "share wait 2 30\nshare sync\ndump b1.json\nsleep 2.5\nshare sync\ndump b2.json\n"
             "sleep 4\ndump b3.json\n");
    ASSERT_TRUE(alice.finish()) << alice.err();
    ASSERT_TRUE(bob.finish()) << bob.err();

    const json a1 = alice.dump("a1.json"), a2 = alice.dump("a2.json");
    const json b1 = bob.dump("b1.json"), b2 = bob.dump("b2.json"), b3 = bob.dump("b3.json");
    // The late joiner sees alice's navigator, tabletop and model exactly as she has them: names,
    // matrices, meshes (triangle counts), owners.
    ASSERT_EQ(ownedBy(a1, "alice").size(), 1u);
    ASSERT_EQ(ownedBy(b1, "alice").size(), 1u);
    EXPECT_EQ(ownedBy(b1, "alice")[0], ownedBy(a1, "alice")[0]);
    EXPECT_GT(trianglesBelow(ownedBy(b1, "alice")[0]), 0);
    EXPECT_EQ(siteUsers(b1), (std::set<std::string>{"alice", "bob"}));
    // The live edit arrived.
    EXPECT_NE(ownedBy(a2, "alice")[0], ownedBy(a1, "alice")[0]);
    EXPECT_EQ(ownedBy(b2, "alice")[0], ownedBy(a2, "alice")[0]);
    // Each site's own nodes carry its own site id; root and ground none.
    EXPECT_FALSE(b1["scene"].contains("owner"));
    // alice left: her avatar and model left with her.
    EXPECT_TRUE(ownedBy(b3, "alice").empty());
    EXPECT_EQ(siteUsers(b3), (std::set<std::string>{"bob"}));
    EXPECT_EQ(alice.err().find("dropped"), std::string::npos);
}

TEST(Share, AModelTheFullAssetBucketRefusesIsNamedInOneLine) {
    broker b;
    ASSERT_TRUE(b.started());
    tempFolder tmp;
    // The first site makes the buckets, the asset bucket with room for 4 KiB: less than any model.
    // The site keeps trying to store it (its scene never settles), so it is given two seconds.
    site alice(tmp.path(), "alice", b.url(), "key x\nsleep 2\n",
               {{"ZEL_SHARE_ASSET_LIMIT", "4096"}});
    ASSERT_TRUE(alice.finish()) << alice.err();
    const std::string err = alice.err();
    const std::string full = "the broker's store for this scene's models is full: model ";
    const std::size_t at = err.find(full);
    EXPECT_NE(at, std::string::npos) << err;
    EXPECT_EQ(err.find(full, at + 1), std::string::npos) << err;
    EXPECT_EQ(err.find("could not store a model"), std::string::npos) << err;
}

TEST(Share, ThreeSitesEditingAtFullSpeedConverge) {
    broker b;
    ASSERT_TRUE(b.started());
    tempFolder tmp;
    std::string edits;
    for (int i = 0; i < 150; ++i)
        edits += i % 3 == 0 ? "key x\n" : i % 3 == 1 ? "key v\n" : "key c\n";
    // Once every site has its own edits acknowledged (the first gate opens), each reads the
    // others'; the second gate lets them leave once all have written what they saw.
    const std::vector<std::string> names = {"ann", "ben", "cat"};
    std::vector<std::unique_ptr<site>> sites;
    for (const std::string& name : names)
        sites.push_back(std::make_unique<site>(tmp.path(), name, b.url(),
                                               "share wait 3 30\nshare sync 30\n" + edits +
                                                   "share sync 30\ndump " + name +
                                                   "1.json\nshare wait 4 30\nshare sync 30\ndump " +
                                                   name + ".json\nshare wait 5 30\n"));
    gate first(tmp.path(), b.url(), "00000001"), second(tmp.path(), b.url(), "00000002");
    for (const std::string& name : names)
        ASSERT_TRUE(waitForFile(tmp.path() / (name + "1.json"), 60)) << name;
    ASSERT_TRUE(first.open());
    for (const std::string& name : names)
        ASSERT_TRUE(waitForFile(tmp.path() / (name + ".json"), 60)) << name;
    ASSERT_TRUE(second.open());
    for (auto& s : sites)
        ASSERT_TRUE(s->finish()) << s->err();
    // What each site edited, without its navigator's own matrix: a site that joined with others
    // may still be taking its arrival spot among them after its first dump.
    auto edited = [](const json& dump, const std::string& owner) {
        std::vector<json> trees = ownedBy(dump, owner);
        for (json& t : trees)
            t.erase("matrix");
        return trees;
    };
    for (const std::string& owner : names) {
        const json own = readJson(tmp.path() / (owner + "1.json"));
        ASSERT_EQ(ownedBy(own, owner).size(), 1u) << owner;
        for (const std::string& seer : names) {
            const json seen = readJson(tmp.path() / (seer + ".json"));
            EXPECT_EQ(edited(seen, owner), edited(own, owner)) << owner << " at " << seer;
            EXPECT_EQ(siteUsers(seen), (std::set<std::string>{"ann", "ben", "cat", "gate"}));
        }
    }
}

TEST(Share, KilledSiteIsHiddenWithinFiveSecondsAndCleanedByItsUser) {
    broker b;
    ASSERT_TRUE(b.started());
    tempFolder tmp;
    site alice(tmp.path(), "alice", b.url(), "share wait 2 30\nshare sync\nsleep 60\n");
    site bob(tmp.path(), "bob", b.url(),
             "share wait 2 30\nsleep 1\nshare sync\ndump b1.json\nsleep 5\ndump b2.json\n");
    ASSERT_TRUE(waitForFile(tmp.path() / "b1.json"));
    alice.kill9();
    ASSERT_TRUE(bob.finish()) << bob.err();
    EXPECT_EQ(ownedBy(bob.dump("b1.json"), "alice").size(), 1u);
    EXPECT_TRUE(ownedBy(bob.dump("b2.json"), "alice").empty());
    EXPECT_EQ(siteUsers(bob.dump("b2.json")), (std::set<std::string>{"bob"}));
    // The dead site's records stay until alice comes back and has seen it away for twice the
    // presence expiry; then they are gone from the bucket.
    auto keys = [&] { return inject(b, "keys zel-scene-default\n").out; };
    EXPECT_NE(keys().find("alice."), std::string::npos);
    site alice2(tmp.path(), "alice", b.url(), "share sync\nsleep 10.5\nshare sync\ndump a.json\n");
    ASSERT_TRUE(alice2.finish()) << alice2.err();
    EXPECT_EQ(ownedBy(alice2.dump("a.json"), "alice").size(), 1u);
    EXPECT_EQ(keys().find("alice."), std::string::npos) << keys();
}

TEST(Share, BrokerKilledWhileEditsAreInFlightLosesNothing) {
    broker b;
    ASSERT_TRUE(b.started());
    tempFolder tmp;
    // Both sites edit for at least 3 s; the broker dies as they start and is back a second later.
    // Then each has its own state acknowledged; once both have (first gate), each reads the other.
    auto script = [](const std::string& name, const std::string& key) {
        std::string edits;
        for (int i = 0; i < 60; ++i)
            edits += "key " + key + "\nsleep 0.05\n";
        return "share wait 2 30\nshare sync\ndump " + name + "0.json\n" + edits +
               "share sync 30\ndump " + name + "1.json\nshare wait 3 30\nshare sync 30\ndump " +
               name + ".json\nshare wait 4 30\n";
    };
    site alice(tmp.path(), "alice", b.url(), script("alice", "x"));
    site bob(tmp.path(), "bob", b.url(), script("bob", "v"));
    ASSERT_TRUE(waitForFile(tmp.path() / "alice0.json")) << alice.err();
    ASSERT_TRUE(waitForFile(tmp.path() / "bob0.json")) << bob.err();
    b.kill();
    sleepFor(1); // the outage
    ASSERT_TRUE(b.start());
    gate first(tmp.path(), b.url(), "00000001"), second(tmp.path(), b.url(), "00000002");
    ASSERT_TRUE(waitForFile(tmp.path() / "alice1.json", 60)) << alice.err();
    ASSERT_TRUE(waitForFile(tmp.path() / "bob1.json", 60)) << bob.err();
    ASSERT_TRUE(first.open());
    ASSERT_TRUE(waitForFile(tmp.path() / "alice.json", 60)) << alice.err();
    ASSERT_TRUE(waitForFile(tmp.path() / "bob.json", 60)) << bob.err();
    ASSERT_TRUE(second.open());
    ASSERT_TRUE(alice.finish()) << alice.err();
    ASSERT_TRUE(bob.finish()) << bob.err();
    const json a1 = alice.dump("alice1.json"), b1 = bob.dump("bob1.json");
    const json a = alice.dump("alice.json"), bd = bob.dump("bob.json");
    ASSERT_EQ(ownedBy(a1, "alice").size(), 1u);
    ASSERT_EQ(ownedBy(b1, "bob").size(), 1u);
    EXPECT_EQ(ownedBy(bd, "alice"), ownedBy(a1, "alice"));
    EXPECT_EQ(ownedBy(a, "bob"), ownedBy(b1, "bob"));
    EXPECT_NE(ownedBy(alice.dump("alice0.json"), "alice"), ownedBy(a1, "alice"));
}

TEST(Share, PerUserDeploymentTwoWritersSeeEachOtherAndTheViewerWritesNothing) {
    // The deployment tools/broker.sh makes from a users file: an administrator, two writers that
    // may write only their own records, a viewer.
    const std::vector<std::pair<std::string, std::string>>
        admin = {{"ZEL_SHARE_USER", "admin"}, {"ZEL_SHARE_PASSWORD", "ad-9f#x"}},
        alicePw = {{"ZEL_SHARE_USER", "alice"}, {"ZEL_SHARE_PASSWORD", "al$3q"}},
        bobPw = {{"ZEL_SHARE_USER", "bob"}, {"ZEL_SHARE_PASSWORD", "bo!7k"}},
        veraPw = {{"ZEL_SHARE_USER", "vera"}, {"ZEL_SHARE_PASSWORD", "ve%2w"}};
    broker b(withUsers("# role user password\nadmin admin ad-9f#x\nwriter alice al$3q\n"
                       "writer bob bo!7k\n\nviewer vera ve%2w\n"));
    ASSERT_TRUE(b.started()) << b.err();
    tempFolder tmp;
    // The administrator's join makes the buckets; the others need them to exist.
    site root(tmp.path(), "admin", b.url(), "share sync 30\n", admin);
    ASSERT_TRUE(root.finish()) << root.err();
    // Each writer stands in the scene with its model; once both have their own acknowledged (the
    // first gate opens), each reads the other's.
    const std::string writer = "share wait 2 30\nshare sync 30\ndump NAME0.json\nshare wait 3 60\n"
                               "share sync 30\ndump NAME.json\nshare wait 4 60\n";
    auto script = [&](const std::string& name) {
        std::string s = writer;
        for (std::size_t at; (at = s.find("NAME")) != std::string::npos;)
            s.replace(at, 4, name);
        return s;
    };
    site alice(tmp.path(), "alice", b.url(), script("alice"), alicePw);
    site bob(tmp.path(), "bob", b.url(), script("bob"), bobPw);
    ASSERT_TRUE(waitForFile(tmp.path() / "alice0.json", 60)) << alice.err();
    ASSERT_TRUE(waitForFile(tmp.path() / "bob0.json", 60)) << bob.err();
    // The viewer sees both, moves its model, and has that edit only here.
    site vera(tmp.path(), "vera", b.url(), "share sync 30\nkey x\nshare sync 30\ndump v.json\n",
              veraPw);
    ASSERT_TRUE(vera.finish()) << vera.err();
    // The gates write presence records of a user of their own, which only the administrator may.
    gate first(tmp.path(), b.url(), "00000001", admin),
        second(tmp.path(), b.url(), "00000002", admin);
    ASSERT_TRUE(first.open());
    ASSERT_TRUE(waitForFile(tmp.path() / "alice.json", 60)) << alice.err();
    ASSERT_TRUE(waitForFile(tmp.path() / "bob.json", 60)) << bob.err();
    // What the broker holds while both writers are still there.
    std::map<std::string, std::string> keys;
    for (const char* bucket : {"zel-scene-default", "zel-presence-default", "zel-assets-default"}) {
        const processResult r = inject(b, std::string("keys ") + bucket + "\n", admin);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        keys[bucket] = r.out;
    }
    for (const auto& [bucket, list] : keys)
        EXPECT_EQ(("\n" + list).find("\nvera."), std::string::npos) << bucket << ": " << list;
    // Each writer's models are stored under its own user.
    for (const char* user : {"alice", "bob"}) {
        EXPECT_NE(("\n" + keys["zel-scene-default"]).find("\n" + std::string(user) + "."),
                  std::string::npos);
        EXPECT_NE(("\n" + keys["zel-assets-default"]).find("\n" + std::string(user) + "."),
                  std::string::npos)
            << keys["zel-assets-default"];
    }
    ASSERT_TRUE(second.open());
    ASSERT_TRUE(alice.finish()) << alice.err();
    ASSERT_TRUE(bob.finish()) << bob.err();

    const json a = alice.dump("alice.json"), bd = bob.dump("bob.json"), v = vera.dump("v.json");
    // The writers wrote: each sees the other's navigator, tabletop and model, meshes included,
    // exactly as its owner has it.
    for (const auto& [seer, owner, own] :
         {std::tuple{&a, "bob", &bd}, std::tuple{&bd, "alice", &a}}) {
        ASSERT_EQ(ownedBy(*seer, owner).size(), 1u) << owner;
        EXPECT_EQ(ownedBy(*seer, owner), ownedBy(*own, owner)) << owner;
        EXPECT_GT(trianglesBelow(ownedBy(*seer, owner)[0]), 0) << owner;
    }
    EXPECT_EQ(alice.err().find("may not write"), std::string::npos) << alice.err();
    EXPECT_EQ(bob.err().find("may not write"), std::string::npos) << bob.err();
    // The viewer read both models and was told it may not write.
    EXPECT_EQ(ownedBy(v, "alice"), ownedBy(a, "alice"));
    ASSERT_EQ(ownedBy(v, "bob").size(), 1u);
    EXPECT_GT(trianglesBelow(ownedBy(v, "bob")[0]), 0);
    EXPECT_EQ(ownedBy(v, "vera").size(), 1u); // its own, here only
    EXPECT_NE(vera.err().find("may not write"), std::string::npos) << vera.err();
    // Its nodes and presence reached neither a writer nor the broker.
    for (const json* d : {&a, &bd}) {
        EXPECT_TRUE(ownedBy(*d, "vera").empty());
        EXPECT_EQ(siteUsers(*d), (std::set<std::string>{"alice", "bob", "gate"}));
    }
    // No password reached a log line.
    for (const std::string& log : {b.err(), root.err(), alice.err(), bob.err(), vera.err()})
        for (const char* secret : {"ad-9f#x", "al$3q", "bo!7k", "ve%2w"})
            EXPECT_EQ(log.find(secret), std::string::npos) << log;
}

TEST(Share, BrokerScriptRefusesABadUsersFileAndNeverPrintsAPassword) {
    tempFolder tmp;
    auto run = [&](const std::string& users) {
        writeText(tmp.path() / "users", users);
        fs::permissions(tmp.path() / "users", fs::perms::owner_read | fs::perms::owner_write);
        processOptions spec;
        spec.args = {ZEL_BROKER_SCRIPT,
                     "--config-only",
                     "--users",
                     (tmp.path() / "users").string(),
                     "4222",
                     (tmp.path() / "store").string()};
        spec.timeoutSeconds = 30;
        return runProcess(spec);
    };
    // Each file breaks one rule on its second line; the first line is fine.
    const std::string good = "admin root sEcr3t-a\n";
    for (const auto& [line, why] : std::vector<std::pair<std::string, std::string>>{
             {"owner alice sEcr3t-b", "role"},
             {"writer al.ice sEcr3t-b", "user name"}, // a dot would split its token
             {"writer {33*a} sEcr3t-b", "user name"},
             {"writer alice sEc\"r3t-b", "quote"},
             {"writer alice", "expected ROLE USER PASSWORD"},
             {"writer alice sEcr3t-b extra", "expected ROLE USER PASSWORD"},
             {"writer alice sEcr3t-b scenes=a extra", "expected ROLE USER PASSWORD"},
             {"writer alice sEcr3t-b scenes=", "scenes="},
             {"writer alice sEcr3t-b scenes=lobby,", "scenes="},
             {"viewer alice sEcr3t-b scenes=lob.by", "scenes="}, // a dot would split the stream
             {"viewer alice sEcr3t-b scenes=*", "scenes="},
             {"admin alice sEcr3t-b scenes=lobby", "every scene"},
             {"viewer root sEcr3t-b", "twice"}}) {
        std::string expanded = line;
        if (const std::size_t at = expanded.find("{33*a}"); at != std::string::npos)
            expanded.replace(at, 6, std::string(33, 'a'));
        const processResult r = run(good + expanded + "\n");
        EXPECT_EQ(r.exitCode, 2) << line;
        EXPECT_NE(r.err.find("line 2"), std::string::npos) << line << ": " << r.err;
        EXPECT_NE(r.err.find(why), std::string::npos) << line << ": " << r.err;
        EXPECT_EQ((r.out + r.err).find("sEc"), std::string::npos) << line << ": " << r.err;
    }
    // A good file: the configuration only its owner can read, its path on stdout, no password.
    const processResult r =
        run("# role user password\n\n" + good + "writer alice sEcr3t-b scenes=lobby,design-2\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const fs::path config = tmp.path() / "store" / "broker.conf";
    EXPECT_EQ(r.out, config.string() + "\n");
    EXPECT_EQ((r.out + r.err).find("sEc"), std::string::npos) << r.err;
    EXPECT_EQ(fs::status(config).permissions() & (fs::perms::group_all | fs::perms::others_all),
              fs::perms::none);
}

TEST(Share, WrongPasswordAndUnreachableBrokerExit4WithOneLine) {
    broker b("authorization { users = [ {user: writer, password: right} ] }\n");
    tempFolder tmp;
    site wrong(tmp.path(), "alice", b.url(), "share sync\n",
               {{"ZEL_SHARE_USER", "writer"}, {"ZEL_SHARE_PASSWORD", "wrong"}});
    ASSERT_TRUE(wrong.finish(4)) << wrong.err();
    const std::string wrongErr = wrong.err();
    EXPECT_NE(wrongErr.find("refused the credentials"), std::string::npos) << wrongErr;
    EXPECT_EQ(std::count(wrongErr.begin(), wrongErr.end(), '\n'), 1) << wrongErr;

    const int closed = freePort();
    site away(tmp.path(), "bob", "nats://127.0.0.1:" + std::to_string(closed), "share sync\n");
    ASSERT_TRUE(away.finish(4)) << away.err();
    const std::string awayErr = away.err();
    EXPECT_NE(awayErr.find("cannot reach"), std::string::npos) << awayErr;
    EXPECT_EQ(std::count(awayErr.begin(), awayErr.end(), '\n'), 1) << awayErr;
}

TEST(Share, HostileRecordsAreDroppedWithoutTouchingOtherSites) {
    broker b;
    ASSERT_TRUE(b.started());
    tempFolder tmp;
    site alice(tmp.path(), "alice", b.url(), "share sync\ndump a.json\nsleep 60\n");
    // mal-0000000a is present and writes, next to good records, records that each break one rule
    // and nothing else; where a rule is a limit, a record just within it goes beside one just
    // past it.
    const std::string mal = "mal.0000000a";
    const std::string identity = "[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]";
    auto record = [&](const std::string& name, const std::string& parent,
                      const std::string& rest = {}, const std::string& matrix = {}) {
        return R"({"name":")" + name + R"(","parent":")" + parent + R"(","order":0,"matrix":)" +
               (matrix.empty() ? identity : matrix) + rest + "}";
    };
    std::string in = "put zel-presence-default " + mal +
                     R"( {"user":"mal","site":"mal-0000000a","joined":0})"
                     "\n";
    auto put = [&](const std::string& n, const std::string& value) {
        in += "put zel-scene-default " + mal + "." + n + " " + value + "\n";
    };
    put("1", record("ok", ""));
    put("2", record("{1024*n}", ""));                     // the longest name
    put("3", record("{1025*n}", ""));                     // one character more
    put("4", record("big", "", R"(,"pad":"{64000*b}")")); // within 64 KiB
    put("6", "not json");                                 // no JSON at all
    // A number past what a matrix element holds (JSON itself has no infinity).
    put("7", record("inf", "", "", "[1,0,0,0,0,1,0,0,0,0,1,0,1e39,0,0,1]"));
    // A cycle: c5 under ok, c6 under c5, then c5 under c6. Joining later, bob reads only the
    // latest record of each: the cycle, of which he shows neither.
    put("8", record("c5", mal + ".1"));
    put("9", record("c6", mal + ".8"));
    put("8", record("c5", mal + ".9"));
    put("10", record("x", "alice.00000000.1")); // another site's node as parent
    put("{300*9}", record("long", ""));         // a key past 200 characters
    // A chain 257 deep: the 256 nearest the root stay.
    for (int i = 0; i < 257; ++i)
        put(std::to_string(100 + i), record("d", i == 0 ? "" : mal + "." + std::to_string(99 + i)));
    // A mesh whose stored asset does not match its hash: the node stays, without geometry.
    const std::string hash(64, 'a');
    put("11", record("m", "", R"(,"mesh":{"scene":")" + hash + R"(","meshes":[0]})"));
    for (const std::string& key : {hash, "mal." + hash}) {
        in += "put zel-assets-default " + key +
              R"( {"size":3,"chunks":1,"chunk":1040384})"
              "\n";
        in += "put zel-assets-default " + key + ".0 abc\n";
    }
    // More than 100,000 nodes of the user mal, hanging under a node that never comes.
    in +=
        "flood zel-scene-default mal.0000000b. 100010 " + record("f", "mal.0000000b.999999") + "\n";
    in += "put zel-presence-default mal.0000000b " +
          std::string(R"({"user":"mal","site":"mal-0000000b","joined":0})") + "\n";
    ASSERT_TRUE(waitForFile(tmp.path() / "a.json")) << alice.err();
    const processResult injected = inject(b, in);
    ASSERT_EQ(injected.exitCode, 0) << injected.err;
    // A record past 64 KiB never reaches the bucket: the broker refuses it.
    const processResult huge = inject(b, "put zel-scene-default " + mal + ".5 " +
                                             record("huge", "", R"(,"pad":"{66000*b}")") + "\n");
    EXPECT_NE(huge.exitCode, 0);
    // mal stays present while bob looks.
    gate beat(tmp.path(), b.url(), "0000000a", {}, {}, "mal");
    ASSERT_TRUE(beat.open());
    site bob(tmp.path(), "bob", b.url(), "share wait 2 30\nshare sync 30\ndump b.json\n");
    ASSERT_TRUE(bob.finish(0, 120)) << bob.err();
    alice.kill9(); // she stayed long enough to be seen
    const json d = bob.dump("b.json");
    // alice's site is whole and exactly as she has it.
    ASSERT_EQ(ownedBy(d, "alice").size(), 1u) << bob.err();
    EXPECT_EQ(ownedBy(d, "alice"), ownedBy(alice.dump("a.json"), "alice"));
    // Of mal's records, exactly the good ones, each where its record put it.
    std::multiset<std::string> paths;
    std::string chain;
    for (int i = 0; i < 256; ++i)
        paths.insert(chain += (i ? "/d" : "d"));
    paths.insert({"ok", std::string(1024, 'n'), "big", "m"});
    std::multiset<std::string> seen;
    const json* meshNode = nullptr;
    std::vector<std::pair<const json*, std::string>> work;
    for (const json& n : d["scene"]["children"])
        work.emplace_back(&n, "");
    while (!work.empty()) {
        const auto [n, above] = work.back();
        work.pop_back();
        if (!n->contains("owner") || (*n)["owner"].get<std::string>().rfind("mal-", 0) != 0)
            continue;
        const std::string path =
            above + (above.empty() ? "" : "/") + (*n)["name"].get<std::string>();
        seen.insert(path);
        if (path == "m")
            meshNode = n;
        if (n->contains("children"))
            for (const json& c : (*n)["children"])
                work.emplace_back(&c, path);
    }
    std::string missing, unexpected;
    for (const std::string& path : paths)
        if (!seen.count(path))
            missing += " " + path.substr(0, 40) + "(" + std::to_string(path.size()) + ")";
    for (const std::string& path : seen)
        if (!paths.count(path))
            unexpected += " " + path.substr(0, 40) + "(" + std::to_string(path.size()) + ")";
    EXPECT_TRUE(seen == paths) << "missing:" << missing << "\nunexpected:" << unexpected << "\n"
                               << bob.err();
    ASSERT_NE(meshNode, nullptr);
    EXPECT_FALSE(meshNode->contains("mesh")); // its asset did not match its hash
    const std::string err = bob.err();
    EXPECT_NE(err.find("more than 100000 nodes"), std::string::npos) << err;
    EXPECT_NE(err.find("does not match its hash"), std::string::npos) << err;
    // At most one line a second per site: a handful of lines, not one per bad record.
    EXPECT_LT(std::count(err.begin(), err.end(), '\n'), 12) << err;
}

TEST(Share, ClusterFailOverLosesNoEditAndRemakesALostWatcher) {
    cluster c;
    ASSERT_EQ(inject(c.url(0), "ready\n").exitCode, 0);
    tempFolder tmp;
    // bob makes the replicated buckets, preferring node 1. The node that holds his watcher of the
    // scene is the one to die; alice prefers it and keeps editing across its death.
    site bob(tmp.path(), "bob", c.urls(1),
             "share sync 30\ndump b0.json\nshare wait 2 30\nshare sync 30\ndump b1.json\n"
             "share wait 3 60\nshare sync 30\ndump b.json\nshare wait 5 60\n");
    ASSERT_TRUE(waitForFile(tmp.path() / "b0.json", 60)) << bob.err();
    // The scene's consumers, name and the node that holds it.
    auto consumers = [&](int node) {
        std::map<std::string, std::string> out;
        std::istringstream lines(inject(c.url(node), "consumers zel-scene-default\n").out);
        for (std::string name, leader; lines >> name >> leader;)
            out[name] = leader;
        return out;
    };
    const std::map<std::string, std::string> bobs = consumers(1);
    ASSERT_EQ(bobs.size(), 1u);
    const std::string held = bobs.begin()->second;
    ASSERT_EQ(held.size(), 2u);
    const int doomed = held[1] - '0';
    ASSERT_TRUE(doomed >= 0 && doomed < 3) << held;
    const int survivor = (doomed + 1) % 3;
    std::string edits;
    for (int i = 0; i < 40; ++i)
        edits += "key x\nsleep 0.1\n";
    site alice(tmp.path(), "alice", c.urls(doomed),
               "share wait 2 30\nshare sync 30\ndump a0.json\n" + edits +
                   "share sync 30\ndump a1.json\nshare wait 3 60\nshare sync 30\n"
                   "share wait 4 60\n");
    ASSERT_TRUE(waitForFile(tmp.path() / "a0.json", 60)) << alice.err();
    ASSERT_TRUE(waitForFile(tmp.path() / "b1.json", 60)) << bob.err();
    const std::map<std::string, std::string> before = consumers(survivor);
    c.kill(doomed);
    ASSERT_TRUE(waitForFile(tmp.path() / "a1.json", 60)) << alice.err();
    // Both edited across the death and have their own state acknowledged: the first gate lets bob
    // read alice's, the second lets alice leave, and two more let bob leave after her (bob still
    // there when alice looks for four sites, however late she looks).
    gate first(tmp.path(), c.url(survivor), "00000001"),
        second(tmp.path(), c.url(survivor), "00000002"),
        third(tmp.path(), c.url(survivor), "00000003"),
        fourth(tmp.path(), c.url(survivor), "00000004");
    ASSERT_TRUE(first.open());
    ASSERT_TRUE(waitForFile(tmp.path() / "b.json", 60)) << bob.err();
    // bob's watcher went with its node and was made again: his old consumer is gone, and the
    // scene still has one consumer a site. A watcher made again more than once while the cluster
    // settles leaves the consumers of the ones in between until the broker has taken them down.
    std::map<std::string, std::string> after;
    for (int i = 0; i < 60; ++i) {
        after = consumers(survivor);
        if (after.count(bobs.begin()->first) == 0 && after.size() == before.size())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    EXPECT_EQ(after.count(bobs.begin()->first), 0u) << json(after).dump();
    EXPECT_EQ(after.size(), before.size())
        << "before: " << json(before).dump() << " after: " << json(after).dump();
    ASSERT_TRUE(second.open());
    ASSERT_TRUE(alice.finish()) << alice.err();
    ASSERT_TRUE(third.open());
    ASSERT_TRUE(fourth.open());
    ASSERT_TRUE(bob.finish()) << bob.err();
    const json a0 = alice.dump("a0.json"), a1 = alice.dump("a1.json"), b = bob.dump("b.json");
    ASSERT_EQ(ownedBy(b, "alice").size(), 1u) << b["sites"].dump() << bob.err() << alice.err();
    EXPECT_NE(ownedBy(a1, "alice"), ownedBy(a0, "alice"));
    EXPECT_EQ(ownedBy(b, "alice"), ownedBy(a1, "alice"))
        << json::diff(ownedBy(a1, "alice")[0], ownedBy(b, "alice")[0]).dump() << bob.err()
        << alice.err();
}
