// What the shared-scene tests share: a nats-server of their own on a free loopback port, and
// zelhost sites running scripts against it.
#pragma once

#include "e2e.h"

#include <nats_broker.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace e2e {

using zel::proc::accepting;
using zel::proc::freePort;

inline void sleepFor(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// One nats-server with JetStream on 127.0.0.1, its store in a temporary folder; stopped by pid.
// Bucket limits are caps, as tools/broker.sh writes them, not reservations against the free disk.
class broker : public zeltest::natsBroker {
public:
    explicit broker(std::string extra = {}) : natsBroker(capped(std::move(extra))) {}
    explicit broker(zeltest::brokerOptions options) : natsBroker(std::move(options)) {}

private:
    static zeltest::brokerOptions capped(std::string extra) {
        zeltest::brokerOptions o;
        o.config = std::move(extra);
        o.jetstream = "max_file_store: 1PB\n";
        return o;
    }
};

// The deployment that tools/broker.sh makes from a users file ("ROLE USER PASSWORD" lines), with
// more of the script's options (--tls CERT KEY). The script runs the keeper of the build beside
// the server.
inline zeltest::brokerOptions withUsers(std::string users, std::vector<std::string> options = {}) {
    zeltest::brokerOptions o;
    o.users = std::move(users);
    o.scriptOptions = std::move(options);
    o.environment = {{"ZEL_BROKER_KEEPER", (binFolder() / "zelkeeper").string()}};
    return o;
}

// One zelhost site running a script in the background.
class site {
public:
    site(const fs::path& folder, const std::string& name, const std::string& shareUrl,
         const std::string& script, std::vector<std::pair<std::string, std::string>> env = {},
         std::vector<std::string> extra = {}, std::vector<std::string> prefix = {})
        : folder_(folder), name_(name) {
        writeText(folder / (name + ".zel"), script);
        processOptions spec;
        // The prefix (ip netns exec NS) execs zelhost, so the pid stays the site's.
        spec.args = prefix;
        spec.args.insert(spec.args.end(), {zelhostPath(), "--share", shareUrl, "--user", name,
                                           "--script", (folder / (name + ".zel")).string()});
        spec.args.insert(spec.args.end(), extra.begin(), extra.end());
        spec.workingDirectory = folder.string();
        spec.unsetEnvironment = {"DISPLAY", "WAYLAND_DISPLAY", "ZEL_SHARE_USER",
                                 "ZEL_SHARE_PASSWORD", "ZEL_SHARE_CREDS"};
        // Each site its own import cache, empty when the test starts: a model reaches a site
        // through the broker, not through a cache an earlier test filled.
        spec.environment = {{"XDG_CACHE_HOME", (folder / (name + ".cache")).string()}};
        spec.environment.insert(spec.environment.end(), env.begin(), env.end());
        started_ = process_.start(spec, (folder / (name + ".out")).string(),
                                  (folder / (name + ".err")).string());
    }
    // Waits for the end; true when it exited with status code.
    bool finish(int code = 0, double seconds = 60) {
        return started_ && process_.wait(seconds) && process_.exitCode() == code;
    }
    void kill9() { process_.terminate(SIGKILL); }
    std::string err() const { return readText(folder_ / (name_ + ".err")); }
    json dump(const std::string& file) const { return readJson(folder_ / file); }

private:
    fs::path folder_;
    std::string name_;
    bool started_ = false;
    backgroundProcess process_;
};

// The root's children owned by a site of user (its navigator, in practice).
inline std::vector<json> ownedBy(const json& dump, const std::string& user) {
    std::vector<json> out;
    for (const json& c : dump["scene"]["children"])
        if (c.contains("owner") && c["owner"].get<std::string>().rfind(user + "-", 0) == 0)
            out.push_back(c);
    return out;
}

inline bool waitForFile(const fs::path& file, double seconds = 30) {
    for (int i = 0; i < seconds * 100; ++i) {
        if (fs::exists(file))
            return true;
        sleepFor(0.01);
    }
    return false;
}

// A site that runs no host, only its presence record, refreshed every half second by share_inject:
// scripts waiting with `share wait N` for one site more than there are go on when the test opens
// it. A barrier made of a condition, where a sleep would only guess. Stopped by pid.
class gate {
public:
    // The site USER-ID (ID: 8 hex digits) of the scene (default: "default"). env: the
    // credentials, where the broker asks for them; prefix: what runs the beat (ip netns exec NS).
    gate(const fs::path& folder, std::string url, std::string id,
         std::vector<std::pair<std::string, std::string>> env = {},
         std::vector<std::string> prefix = {}, std::string user = "gate",
         std::string scene = "default")
        : folder_(folder), url_(std::move(url)), id_(std::move(id)), user_(std::move(user)),
          scene_(std::move(scene)), env_(std::move(env)), prefix_(std::move(prefix)) {}
    // Starts the beat; true once its first record is acknowledged (waits at most 30 s).
    bool open() {
        const std::string who = user_ + "-" + id_;
        const fs::path in = folder_ / (who + ".in"), out = folder_ / (who + ".out");
        // Joined now: after every site of the test, so that no site gives up its arrival spot
        // to a gate (an earlier site keeps its spot; a gate has no navigator).
        const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count() +
                         1;
        writeText(in, "beat zel-presence-" + scene_ + " " + user_ + "." + id_ +
                          " 120 {\"user\":\"" + user_ + "\",\"site\":\"" + who +
                          "\",\"joined\":" + std::to_string(now) + "}\n");
        processOptions spec;
        spec.args = prefix_;
        spec.args.insert(spec.args.end(),
                         {(binFolder() / "share_inject").string(), url_, in.string()});
        spec.unsetEnvironment = {"ZEL_SHARE_USER", "ZEL_SHARE_PASSWORD"};
        spec.environment = env_;
        if (!beat_.start(spec, out.string(), (folder_ / (who + ".err")).string()))
            return false;
        for (int i = 0; i < 3000; ++i) {
            if (fs::exists(out) && fs::file_size(out) > 0)
                return true;
            sleepFor(0.01);
        }
        return false;
    }

private:
    fs::path folder_;
    std::string url_, id_, user_, scene_;
    std::vector<std::pair<std::string, std::string>> env_;
    std::vector<std::string> prefix_;
    backgroundProcess beat_;
};

} // namespace e2e
