// What the shared-scene tests share: a nats-server of their own on a free loopback port, and
// zelhost sites running scripts against it. ZEL_NATS_SERVER names the server's program.
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

inline int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t n = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) != 0)
        return 0;
    close(fd);
    return ntohs(a.sin_port);
}

inline bool accepting(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

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
    bool started() const { return started_; }
    bool start() {
        writeText(dir_.path() / "broker.conf",
                  "listen: 127.0.0.1:" + std::to_string(port_) +
                      "\nmax_payload: 8MB\njetstream {\n  store_dir: \"" +
                      (dir_.path() / "store").string() + "\"\n}\n" + extra_);
        process_ = std::make_unique<backgroundProcess>();
        processOptions spec;
        spec.args = {ZEL_NATS_SERVER, "-c", (dir_.path() / "broker.conf").string()};
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
    const fs::path& folder() const { return dir_.path(); }

private:
    tempFolder dir_;
    std::string extra_;
    int port_ = 0;
    bool started_ = false;
    std::unique_ptr<backgroundProcess> process_;
};

// One zelhost site running a script in the background.
class site {
public:
    site(const fs::path& folder, const std::string& name, const std::string& shareUrl,
         const std::string& script, std::vector<std::pair<std::string, std::string>> env = {},
         std::vector<std::string> extra = {})
        : folder_(folder), name_(name) {
        writeText(folder / (name + ".zel"), script);
        processOptions spec;
        spec.args = {zelhostPath(),
                     "--share",
                     shareUrl,
                     "--user",
                     name,
                     "--script",
                     (folder / (name + ".zel")).string()};
        spec.args.insert(spec.args.end(), extra.begin(), extra.end());
        spec.workingDirectory = folder.string();
        spec.unsetEnvironment = {"DISPLAY", "WAYLAND_DISPLAY", "ZEL_SHARE_USER",
                                 "ZEL_SHARE_PASSWORD", "ZEL_SHARE_CREDS"};
        spec.environment = std::move(env);
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

} // namespace e2e
