// A nats-server of a test's or benchmark's own: JetStream on a free 127.0.0.1 port, its
// configuration and store in a new private folder, stopped by pid and the folder removed when the
// object goes. The server also ends with the thread that started it, however that ends (a failed
// assertion, an exit, a crash, a kill), so no run leaves one behind.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zel::proc {
class backgroundProcess;
}

namespace zeltest {

struct brokerOptions {
    std::string config;    // more of the server's configuration (users, TLS, ...)
    std::string jetstream; // more of the JetStream block ("max_file_store: 1PB\n")
    int port = 0;          // 0: a free one
    // Where it listens, and what runs it (ip netns exec NS). Beyond this process's loopback, its
    // log says when it is ready.
    std::string host = "127.0.0.1";
    std::vector<std::string> prefix;
    std::string program; // empty: the nats-server found when configuring
    // Given: the deployment tools/broker.sh makes from these "ROLE USER PASSWORD" lines instead of
    // the configuration above (the script runs, then execs the server).
    std::string users;
    std::vector<std::string> scriptOptions;                       // --tls CERT KEY
    std::vector<std::pair<std::string, std::string>> environment; // the server's (or script's)
};

class natsBroker {
public:
    // Starts it; started() says whether it accepts connections (waits at most 10 s).
    explicit natsBroker(brokerOptions options = {});
    // A plain broker with more configuration.
    explicit natsBroker(std::string config);
    ~natsBroker();
    natsBroker(const natsBroker&) = delete;
    natsBroker& operator=(const natsBroker&) = delete;

    bool started() const { return started_; }
    // Starts it again (after kill()) on the same port and store; true once it accepts connections.
    bool start();
    // Kills it (SIGKILL) and waits for it; the store stays.
    void kill();

    std::string url() const { return "nats://" + options_.host + ":" + std::to_string(port_); }
    int port() const { return port_; }
    // The server's process (the script execs it); -1 when none runs.
    int pid() const;
    const std::filesystem::path& folder() const { return dir_; }
    // What the server (and the script before it) wrote on stderr.
    std::string err() const;

private:
    brokerOptions options_;
    std::filesystem::path dir_;
    int port_ = 0;
    bool started_ = false;
    std::unique_ptr<zel::proc::backgroundProcess> process_;
};

} // namespace zeltest
