// Shared scenes through the real zelhost: each test starts its own nats-server on a free loopback
// port with a temporary store, runs sites as processes on scripts, and reads their dumps.
#include "e2e.h"
#include "share_support.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <thread>

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
            const fs::path dir = dir_.path() / ("n" + std::to_string(i));
            fs::create_directories(dir);
            writeText(dir / "node.conf",
                      "server_name: n" + std::to_string(i) + "\nlisten: 127.0.0.1:" +
                          std::to_string(client[i]) + "\nmax_payload: 8MB\njetstream {\n" +
                          "  store_dir: \"" + (dir / "store").string() + "\"\n}\n" +
                          "cluster {\n  name: zel\n  listen: 127.0.0.1:" +
                          std::to_string(route[i]) + "\n  routes: [" + routes + "]\n}\n");
            urls_[i] = "nats://127.0.0.1:" + std::to_string(client[i]);
            processSpec spec;
            spec.args = {ZEL_NATS_SERVER, "-c", (dir / "node.conf").string()};
            nodes_[i].start(spec, (dir / "out.log").string(), (dir / "err.log").string());
        }
        for (int i = 0; i < 3; ++i)
            for (int k = 0; k < 500 && !accepting(client[i]); ++k)
                sleepFor(0.01);
    }
    void kill(int i) {
        nodes_[i].terminate(SIGKILL);
        nodes_[i].wait(10);
    }
    // The three URLs, node first.
    std::string urls(int first) const {
        return urls_[first] + "," + urls_[(first + 1) % 3] + "," + urls_[(first + 2) % 3];
    }
    const std::string& url(int i) const { return urls_[i]; }

private:
    tempFolder dir_;
    std::string urls_[3];
    backgroundProcess nodes_[3];
};

// Runs share_inject on commands against the broker.
processResult inject(const broker& b, const std::string& commands) {
    processSpec spec;
    spec.args = {(binFolder() / "share_inject").string(), b.url()};
    spec.input = commands;
    spec.timeoutSeconds = 120;
    return runProcess(spec);
}

processResult inject(const std::string& url, const std::string& commands) {
    processSpec spec;
    spec.args = {(binFolder() / "share_inject").string(), url};
    spec.input = commands;
    spec.timeoutSeconds = 120;
    return runProcess(spec);
}

bool waitForFile(const fs::path& file, double seconds = 30) {
    for (int i = 0; i < seconds * 100; ++i) {
        if (fs::exists(file))
            return true;
        sleepFor(0.01);
    }
    return false;
}

// The root's children owned by a site of user (its navigator, in practice).
std::vector<json> ownedBy(const json& dump, const std::string& user) {
    std::vector<json> out;
    for (const json& c : dump["scene"]["children"])
        if (c.contains("owner") && c["owner"].get<std::string>().rfind(user + "-", 0) == 0)
            out.push_back(c);
    return out;
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

TEST(Share, ThreeSitesEditingAtFullSpeedConverge) {
    broker b;
    ASSERT_TRUE(b.started());
    tempFolder tmp;
    std::string edits;
    for (int i = 0; i < 150; ++i)
        edits += i % 3 == 0 ? "key x\n" : i % 3 == 1 ? "key v\n" : "key c\n";
    const std::string script =
        "share wait 3 30\n" + edits + "share sync\nsleep 1\nshare sync\ndump NAME.json\nsleep 2\n";
    std::vector<std::unique_ptr<site>> sites;
    for (const char* name : {"ann", "ben", "cat"}) {
        std::string s = script;
        s.replace(s.find("NAME"), 4, name);
        sites.push_back(std::make_unique<site>(tmp.path(), name, b.url(), s));
    }
    for (auto& s : sites)
        ASSERT_TRUE(s->finish()) << s->err();
    std::vector<json> dumps;
    for (const char* name : {"ann", "ben", "cat"})
        dumps.push_back(readJson(tmp.path() / (std::string(name) + ".json")));
    for (const char* user : {"ann", "ben", "cat"}) {
        ASSERT_EQ(ownedBy(dumps[0], user).size(), 1u) << user;
        for (const json& d : dumps)
            EXPECT_EQ(ownedBy(d, user), ownedBy(dumps[0], user)) << user;
        EXPECT_EQ(siteUsers(dumps[0]), siteUsers(dumps[1]));
    }
    EXPECT_EQ(siteUsers(dumps[2]), (std::set<std::string>{"ann", "ben", "cat"}));
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

TEST(Share, BrokerRestartLosesNothing) {
    broker b;
    ASSERT_TRUE(b.started());
    tempFolder tmp;
    site alice(tmp.path(), "alice", b.url(),
               "key x\nshare wait 2 30\nshare sync\nsleep 2\nkey x\nkey z\nkey x\n"
               "share sync 30\nsleep 1.5\nshare sync 30\ndump a.json\nsleep 3\n");
    site bob(tmp.path(), "bob", b.url(),
             "share wait 2 30\nshare sync\nsleep 4\nshare sync 30\nsleep 1.5\nshare sync 30\n"
             "dump b.json\n");
    sleepFor(1.5);
    b.kill();
    sleepFor(1.5);
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(bob.finish()) << bob.err();
    ASSERT_TRUE(alice.finish()) << alice.err();
    const json a = alice.dump("a.json"), bd = bob.dump("b.json");
    ASSERT_EQ(ownedBy(bd, "alice").size(), 1u);
    EXPECT_EQ(ownedBy(bd, "alice"), ownedBy(a, "alice"));
    EXPECT_EQ(ownedBy(a, "bob"), ownedBy(bd, "bob"));
}

TEST(Share, ViewerOnlyUserSeesAndKeepsItsEditsLocal) {
    const std::string users = R"(
authorization {
  users = [
    {user: writer, password: wpw}
    {user: viewer, password: vpw, permissions: {
      publish: { allow: ["$JS.API.INFO", "$JS.API.STREAM.INFO.>", "$JS.API.STREAM.NAMES",
                         "$JS.API.CONSUMER.CREATE.>", "$JS.API.CONSUMER.DELETE.>",
                         "$JS.API.DIRECT.GET.>", "$JS.API.STREAM.MSG.GET.>", "$JS.FC.>"] }
      subscribe: { allow: ["_INBOX.>"] } } }
  ]
}
)";
    broker b(users);
    tempFolder tmp;
    site alice(tmp.path(), "alice", b.url(), "share sync\nshare wait 2 4\n",
               {{"ZEL_SHARE_USER", "writer"}, {"ZEL_SHARE_PASSWORD", "wpw"}});
    sleepFor(0.5);
    site vera(tmp.path(), "vera", b.url(), "share sync\nkey x\nshare sync\ndump v.json\n",
              {{"ZEL_SHARE_USER", "viewer"}, {"ZEL_SHARE_PASSWORD", "vpw"}});
    ASSERT_TRUE(vera.finish()) << vera.err();
    // share wait 2 of alice runs out: the viewer never shows up as a site.
    ASSERT_TRUE(alice.finish(4)) << alice.err();
    const json v = vera.dump("v.json");
    EXPECT_EQ(ownedBy(v, "alice").size(), 1u);
    EXPECT_NE(vera.err().find("may not write"), std::string::npos) << vera.err();
    // Her edit stayed local: her model moved here, nowhere else.
    EXPECT_EQ(ownedBy(v, "vera").size(), 1u);
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
    site alice(tmp.path(), "alice", b.url(), "share wait 2 30\nshare sync\nsleep 60\n");
    // mal-0000000a is present and writes garbage next to a few good records.
    const std::string mal = "mal.0000000a";
    const std::string good =
        R"({"name":"ok","parent":"","order":0,"matrix":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]})";
    std::string in = "put zel-presence-default " + mal +
                     R"( {"user":"mal","site":"mal-0000000a","joined":0})"
                     "\n";
    in += "put zel-scene-default " + mal + ".1 " + good + "\n";
    in += "put zel-scene-default " + mal + ".2 not json\n";
    in += "put zel-scene-default " + mal + ".3 " +
          R"({"name":"nan","parent":"","order":0,"matrix":[1,0,0,0,0,1,0,0,0,0,1,0,1e999,0,0,1]})"
          "\n";
    in += "put zel-scene-default " + mal + ".4 " +
          R"({"name":"{2000*n}","parent":"","order":0,"matrix":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]})"
          "\n";
    // A cycle: 5 under 6, then 6 under 5.
    in +=
        "put zel-scene-default " + mal + ".5 " +
        R"({"name":"c5","parent":"mal.0000000a.1","order":0,"matrix":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]})"
        "\n";
    in +=
        "put zel-scene-default " + mal + ".6 " +
        R"({"name":"c6","parent":"mal.0000000a.5","order":0,"matrix":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]})"
        "\n";
    in +=
        "put zel-scene-default " + mal + ".5 " +
        R"({"name":"c5","parent":"mal.0000000a.6","order":0,"matrix":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]})"
        "\n";
    // Another site's node as parent, a key too long, a value too large, a bad hash.
    in +=
        "put zel-scene-default " + mal + ".7 " +
        R"({"name":"x","parent":"alice.00000000.1","order":0,"matrix":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]})"
        "\n";
    in += "put zel-scene-default " + mal + ".{300*9} " + good + "\n";
    in += "put zel-scene-default " + mal +
          R"(.8 {"name":"{70000*b}"})"
          "\n";
    in +=
        "put zel-scene-default " + mal + ".9 " +
        R"({"name":"m","parent":"","order":1,"matrix":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1],"mesh":{"scene":")" +
        std::string(64, 'a') +
        R"(","meshes":[0]}})"
        "\n";
    in += "put zel-assets mal." + std::string(64, 'a') +
          R"( {"size":3,"chunks":1,"chunk":1040384})"
          "\n";
    in += "put zel-assets mal." + std::string(64, 'a') + ".0 abc\n";
    // More than 100,000 nodes, hanging under a node that never comes.
    in +=
        "flood zel-scene-default mal.0000000b. 100010 " +
        std::string(
            R"({"name":"f","parent":"mal.0000000b.999999","order":0,"matrix":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]})") +
        "\n";
    in += "put zel-presence-default mal.0000000b " +
          std::string(R"({"user":"mal","site":"mal-0000000b","joined":0})") + "\n";
    sleepFor(0.5);
    const processResult injected = inject(b, in);
    ASSERT_EQ(injected.exitCode, 0) << injected.err;
    // mal stays present while bob looks.
    backgroundProcess beat;
    processSpec beatSpec;
    {
        std::ofstream beatCommands(tmp.path() / "beat.in");
        beatCommands << "beat zel-presence-default " << mal
                     << R"( 60 {"user":"mal","site":"mal-0000000a","joined":0})"
                        "\n";
    }
    beatSpec.args = {(binFolder() / "share_inject").string(), b.url(),
                     (tmp.path() / "beat.in").string()};
    ASSERT_TRUE(beat.start(beatSpec, (tmp.path() / "beat.out").string(),
                           (tmp.path() / "beat.err").string()));
    // mal is present before bob looks, however slowly the beat started.
    bool beating = false;
    for (int i = 0; i < 3000 && !beating; ++i) {
        beating = fs::exists(tmp.path() / "beat.out") && fs::file_size(tmp.path() / "beat.out") > 0;
        if (!beating)
            sleepFor(0.01);
    }
    ASSERT_TRUE(beating);
    site bob(tmp.path(), "bob", b.url(), "share wait 2 30\nshare sync 30\ndump b.json\n");
    ASSERT_TRUE(bob.finish(0, 120)) << bob.err();
    alice.kill9(); // she stayed long enough to be seen
    const json d = bob.dump("b.json");
    // alice's site is whole; of mal's records only the good ones show.
    ASSERT_EQ(ownedBy(d, "alice").size(), 1u) << bob.err();
    EXPECT_GT(trianglesBelow(ownedBy(d, "alice")[0]), 0);
    std::set<std::string> malNames;
    for (const json& n : ownedBy(d, "mal"))
        malNames.insert(n["name"].get<std::string>());
    EXPECT_EQ(malNames, (std::set<std::string>{"ok", "m"})) << d["sites"].dump() << bob.err();
    for (const json& n : ownedBy(d, "mal")) {
        if (n["name"] == "m") {
            EXPECT_FALSE(n.contains("mesh")); // its asset did not match its hash
        }
    }
    const std::string err = bob.err();
    EXPECT_NE(err.find("more than 100000 nodes"), std::string::npos) << err;
    EXPECT_NE(err.find("does not match its hash"), std::string::npos) << err;
    // At most one line a second per site: a handful of lines, not one per bad record.
    EXPECT_LT(std::count(err.begin(), err.end(), '\n'), 12) << err;
}

TEST(Share, ClusterFailOverLosesNoEdit) {
    cluster c;
    ASSERT_EQ(inject(c.url(0), "ready\n").exitCode, 0);
    tempFolder tmp;
    // alice prefers node 0, bob node 1; node 0 dies while alice keeps editing.
    site alice(tmp.path(), "alice", c.urls(0),
               "share sync 30\ndump a0.json\nshare wait 2 30\nkey x\nshare sync 30\ndump "
               "a1.json\nsleep 2\nkey x\nkey x\n"
               "share sync 30\nsleep 1\nshare sync 30\ndump a2.json\nsleep 20\n");
    // alice makes the replicated buckets; bob comes once she stands in the scene.
    ASSERT_TRUE(waitForFile(tmp.path() / "a0.json", 60)) << alice.err();
    site bob(tmp.path(), "bob", c.urls(1),
             "share wait 2 30\nsleep 3.5\nshare sync 30\nsleep 1.5\nshare wait 2 30\n"
             "share sync 30\ndump b.json\n");
    ASSERT_TRUE(waitForFile(tmp.path() / "a1.json")) << alice.err() << bob.err();
    c.kill(0);
    ASSERT_TRUE(bob.finish()) << bob.err();
    ASSERT_TRUE(waitForFile(tmp.path() / "a2.json", 60)) << alice.err();
    sleepFor(0.2);
    alice.kill9(); // she has said all she had to say
    const json a1 = alice.dump("a1.json"), a2 = alice.dump("a2.json"), b = bob.dump("b.json");
    ASSERT_EQ(ownedBy(b, "alice").size(), 1u) << b["sites"].dump() << bob.err() << alice.err();
    EXPECT_NE(ownedBy(a2, "alice"), ownedBy(a1, "alice"));
    EXPECT_EQ(ownedBy(b, "alice"), ownedBy(a2, "alice"))
        << json::diff(ownedBy(a2, "alice")[0], ownedBy(b, "alice")[0]).dump() << bob.err()
        << alice.err();
}
