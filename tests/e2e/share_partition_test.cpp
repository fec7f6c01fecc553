// A real network partition: the broker and two sites in one network namespace, a third site in
// another, the two joined by a veth pair whose addresses exist only inside them. Setting the third
// site's end down cuts it off while everyone keeps editing. Needs root (namespaces); skipped with
// one line where they cannot be made.
#include "e2e.h"
#include "share_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace e2e;

namespace {

processResult ip(std::vector<std::string> args) {
    processOptions spec;
    spec.args = {ZEL_IP};
    spec.args.insert(spec.args.end(), args.begin(), args.end());
    spec.timeoutSeconds = 20;
    return runProcess(spec);
}

bool ok(const processResult& r) {
    return r.exitCode == 0;
}

// Kills what still runs in the namespace (only this test's own processes live there), then
// removes it.
void removeNamespace(const std::string& name) {
    std::istringstream pids(ip({"netns", "pids", name}).out);
    for (int pid = 0; pids >> pid;)
        if (pid > 1)
            ::kill(pid, SIGKILL);
    for (int i = 0; i < 100 && !ip({"netns", "pids", name}).out.empty(); ++i)
        sleepFor(0.02);
    ip({"netns", "del", name});
}

// The two namespaces and the veth pair between them: the broker's side holds 10.77.0.1/30, the
// cut-off side 10.77.0.2/30. Removed at the end of the scope, with whatever still runs in them;
// those a killed earlier run left behind are removed first.
class partition {
public:
    partition() {
        const std::string prefix = "zelpart-";
        std::istringstream list(ip({"netns", "list"}).out);
        for (std::string line; std::getline(list, line);) {
            const std::string name = line.substr(0, line.find(' '));
            if (name.rfind(prefix, 0) != 0)
                continue;
            const int pid = std::atoi(name.c_str() + prefix.size());
            if (pid > 0 && pid != getpid() && ::kill(pid, 0) != 0)
                removeNamespace(name);
        }
        const std::string tag = prefix + std::to_string(getpid());
        broker_ = tag + "-b";
        cut_ = tag + "-s";
        if (!ok(ip({"netns", "add", broker_})))
            return;
        made_.push_back(broker_);
        if (!ok(ip({"netns", "add", cut_})))
            return;
        made_.push_back(cut_);
        ready_ = ok(ip({"link", "add", "name", "zb", "netns", broker_, "type", "veth", "peer",
                        "name", "zs", "netns", cut_})) &&
                 ok(ip({"-n", broker_, "addr", "add", "10.77.0.1/30", "dev", "zb"})) &&
                 ok(ip({"-n", cut_, "addr", "add", "10.77.0.2/30", "dev", "zs"})) &&
                 ok(ip({"-n", broker_, "link", "set", "lo", "up"})) &&
                 ok(ip({"-n", cut_, "link", "set", "lo", "up"})) &&
                 ok(ip({"-n", broker_, "link", "set", "zb", "up"})) && link(true) &&
                 ok(ip({"netns", "exec", cut_, "true"})); // some containers cannot enter one
    }
    ~partition() {
        for (const std::string& name : made_)
            removeNamespace(name);
    }
    partition(const partition&) = delete;
    partition& operator=(const partition&) = delete;

    bool ready() const { return ready_; }
    // The cut-off side's end of the pair up or down.
    bool link(bool up) { return ok(ip({"-n", cut_, "link", "set", "zs", up ? "up" : "down"})); }
    // What runs a program in either namespace.
    std::vector<std::string> inBroker() const { return {ZEL_IP, "netns", "exec", broker_}; }
    std::vector<std::string> inCut() const { return {ZEL_IP, "netns", "exec", cut_}; }

private:
    std::string broker_, cut_;
    std::vector<std::string> made_;
    bool ready_ = false;
};

// nats-server with JetStream on the broker side's veth address only; stopped by pid.
zeltest::brokerOptions inBrokerSide(const partition& p) {
    zeltest::brokerOptions o;
    o.host = "10.77.0.1";
    o.port = 4222;
    o.prefix = p.inBroker();
    return o;
}

} // namespace

TEST(SharePartition, ASiteCutOffForTenSecondsCatchesUpAndNoAcknowledgedEditIsLost) {
    if (geteuid() != 0 || std::string(ZEL_IP).empty())
        GTEST_SKIP() << "network namespaces need root and ip (iproute2): partition test skipped";
    partition net;
    if (!net.ready())
        GTEST_SKIP() << "network namespaces or veth pairs cannot be made here: partition test "
                        "skipped";
    zeltest::natsBroker b(inBrokerSide(net));
    ASSERT_TRUE(b.started()) << b.err();
    tempFolder tmp;
    // Everyone edits for at least 14 s (sleeps are real time however loaded the machine is), from
    // before the cut to after the link is back. Then every wait is bounded by 10 s: the sites see
    // each other again (the first gate opens when the link is back), each has its own state
    // acknowledged, and once all have (second gate) each reads everyone's final state. The third
    // gate lets them leave once everyone has written what it saw.
    std::string edits;
    for (int i = 0; i < 70; ++i)
        edits += std::string("key ") + "xvc"[i % 3] + "\nsleep 0.2\n";
    const std::string script = "share wait 3 60\nshare sync 30\ndump NAME0.json\n" + edits +
                               "share wait 4 10\nshare sync 10\ndump NAME1.json\n"
                               "share wait 5 10\nshare sync 10\ndump NAME.json\nshare wait 6 60\n";
    const std::vector<std::string> names = {"ann", "ben", "cut"};
    std::vector<std::unique_ptr<site>> sites;
    for (const std::string& name : names) {
        std::string s = script;
        for (std::size_t at; (at = s.find("NAME")) != std::string::npos;)
            s.replace(at, 4, name);
        sites.push_back(std::make_unique<site>(
            tmp.path(), name, b.url(), s, std::vector<std::pair<std::string, std::string>>{},
            std::vector<std::string>{}, name == "cut" ? net.inCut() : net.inBroker()));
    }
    auto all = [&](const std::string& suffix, double seconds) {
        for (const std::string& name : names)
            if (!waitForFile(tmp.path() / (name + suffix), seconds))
                return false;
        return true;
    };
    auto errors = [&] {
        std::string out;
        for (std::size_t i = 0; i < names.size(); ++i)
            out += names[i] + ":\n" + sites[i]->err();
        return out;
    };
    ASSERT_TRUE(all("0.json", 90)) << errors();
    ASSERT_TRUE(net.link(false));
    const auto down = std::chrono::steady_clock::now();
    // 8 s into the cut, the broker has let the cut-off site's presence expire: it really is gone.
    std::this_thread::sleep_until(down + std::chrono::seconds(8));
    processOptions keys;
    keys.args = net.inBroker();
    keys.args.insert(keys.args.end(), {(binFolder() / "share_inject").string(), b.url()});
    keys.input = "keys zel-presence-default\n";
    keys.timeoutSeconds = 20;
    const processResult present = runProcess(keys);
    EXPECT_EQ(present.exitCode, 0) << present.err;
    EXPECT_EQ(present.out.find("cut."), std::string::npos) << present.out;
    EXPECT_NE(present.out.find("ann."), std::string::npos) << present.out;
    std::this_thread::sleep_until(down + std::chrono::seconds(10));
    ASSERT_TRUE(net.link(true));
    const auto back = std::chrono::steady_clock::now();
    gate first(tmp.path(), b.url(), "00000001", {}, net.inBroker()),
        second(tmp.path(), b.url(), "00000002", {}, net.inBroker()),
        third(tmp.path(), b.url(), "00000003", {}, net.inBroker());
    ASSERT_TRUE(first.open());
    ASSERT_TRUE(all("1.json", 60)) << errors();
    const double caughtUp =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - back).count();
    ASSERT_TRUE(second.open());
    ASSERT_TRUE(all(".json", 30)) << errors();
    ASSERT_TRUE(third.open());
    for (auto& s : sites)
        ASSERT_TRUE(s->finish(0, 60)) << errors();
    std::cout << "every site acknowledged its own state " << caughtUp
              << " s after the link came back (its edits went on meanwhile)\n";

    // Each site's acknowledged state, its navigator with everything under it, is what every site
    // shows of it at the end: no edit made on either side of the cut is lost.
    for (const std::string& owner : names) {
        const json own = readJson(tmp.path() / (owner + "1.json"));
        ASSERT_EQ(ownedBy(own, owner).size(), 1u) << owner;
        for (const std::string& seer : names) {
            const json seen = readJson(tmp.path() / (seer + ".json"));
            EXPECT_EQ(ownedBy(seen, owner), ownedBy(own, owner)) << owner << " at " << seer;
        }
        // It really edited: the end differs from the start.
        EXPECT_NE(ownedBy(readJson(tmp.path() / (owner + "0.json")), owner), ownedBy(own, owner))
            << owner;
    }
}
