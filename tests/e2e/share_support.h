// What the shared-scene tests share: a nats-server of their own on a free loopback port, and
// zelhost sites running scripts against it. ZEL_NATS_SERVER names the server's program,
// ZEL_BROKER_SCRIPT tools/broker.sh.
#pragma once

#include "e2e.h"

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
class broker {
public:
    explicit broker(std::string extra = {}, int port = 0) : extra_(std::move(extra)) {
        port_ = port ? port : freePort();
        started_ = start();
    }
    // The deployment that tools/broker.sh makes from a users file ("ROLE USER PASSWORD" lines):
    // the script itself runs, and execs the server.
    struct withUsers {
        std::string usersFile;
        std::vector<std::string> options = {}; // more of the script's options (--tls CERT KEY)
    };
    explicit broker(withUsers users)
        : users_(std::move(users.usersFile)), options_(std::move(users.options)) {
        port_ = freePort();
        started_ = start();
    }
    bool started() const { return started_; }
    bool start() {
        processOptions spec;
        if (users_.empty()) {
            writeText(dir_.path() / "broker.conf",
                      "listen: 127.0.0.1:" + std::to_string(port_) +
                          "\nmax_payload: 8MB\njetstream {\n  store_dir: \"" +
                          (dir_.path() / "store").string() +
                          // Bucket limits as caps, not reservations against the free disk.
                          "\"\n  max_file_store: 1PB\n}\n" + extra_);
            spec.args = {ZEL_NATS_SERVER, "-c", (dir_.path() / "broker.conf").string()};
        } else {
            // The file holds every password: its owner's alone, or the script refuses it.
            writeText(dir_.path() / "users", users_);
            fs::permissions(dir_.path() / "users", fs::perms::owner_read | fs::perms::owner_write);
            spec.args = {ZEL_BROKER_SCRIPT, "--users", (dir_.path() / "users").string()};
            // The script runs the keeper of the build beside the server.
            spec.environment = {{"ZEL_BROKER_KEEPER", (binFolder() / "zelkeeper").string()}};
            spec.args.insert(spec.args.end(), options_.begin(), options_.end());
            spec.args.insert(spec.args.end(),
                             {std::to_string(port_), (dir_.path() / "store").string()});
        }
        process_ = std::make_unique<backgroundProcess>();
        if (!process_->start(spec, (dir_.path() / "out.log").string(),
                             (dir_.path() / "err.log").string()))
            return false;
        for (int i = 0; i < 500; ++i) {
            if (accepting(port_))
                return true;
            sleepFor(0.01);
        }
        return false;
    }
    void kill() {
        process_->terminate(SIGKILL);
        process_->wait(10);
    }
    std::string url() const { return "nats://127.0.0.1:" + std::to_string(port_); }
    int port() const { return port_; }
    // The server's process (the script execs it).
    int pid() const { return process_ ? process_->pid() : -1; }
    const fs::path& folder() const { return dir_.path(); }
    // What the server (and the script before it) wrote on stderr.
    std::string err() const { return readText(dir_.path() / "err.log"); }

private:
    tempFolder dir_;
    std::string extra_;
    std::string users_;
    std::vector<std::string> options_;
    int port_ = 0;
    bool started_ = false;
    std::unique_ptr<backgroundProcess> process_;
};

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
