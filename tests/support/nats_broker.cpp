#include "nats_broker.h"

#include <process.h>

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace zeltest {

namespace {

void writeText(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

// A new folder of the caller's own (mode 0700) in the temporary folder; empty when none could be
// made. Never one found there: anyone may have put it in place.
fs::path newFolder() {
    std::string pattern = (fs::temp_directory_path() / "zel-broker-XXXXXX").string();
    return ::mkdtemp(pattern.data()) ? fs::path(pattern) : fs::path();
}

brokerOptions withConfig(std::string config) {
    brokerOptions o;
    o.config = std::move(config);
    return o;
}

} // namespace

natsBroker::natsBroker(std::string config) : natsBroker(withConfig(std::move(config))) {}

natsBroker::natsBroker(brokerOptions options)
    : options_(std::move(options)), dir_(newFolder()),
      port_(options_.port ? options_.port : zel::proc::freePort()) {
    started_ = start();
}

natsBroker::~natsBroker() {
    process_.reset();
    std::error_code ec;
    if (!dir_.empty())
        fs::remove_all(dir_, ec);
}

bool natsBroker::start() {
    process_.reset();
    if (dir_.empty() || port_ == 0)
        return false;
    zel::proc::processOptions spec;
    const std::string store = (dir_ / "store").string();
    if (options_.users.empty()) {
        writeText(dir_ / "broker.conf", "listen: " + options_.host + ":" + std::to_string(port_) +
                                            "\nmax_payload: 8MB\njetstream {\n  store_dir: \"" +
                                            store + "\"\n" + options_.jetstream + "}\n" +
                                            options_.config);
        spec.args = {options_.program.empty() ? ZEL_NATS_SERVER : options_.program, "-c",
                     (dir_ / "broker.conf").string()};
    } else {
        // The file holds every password: its owner's alone, or the script refuses it.
        writeText(dir_ / "users", options_.users);
        fs::permissions(dir_ / "users", fs::perms::owner_read | fs::perms::owner_write);
        spec.args = {ZEL_BROKER_SCRIPT, "--users", (dir_ / "users").string()};
        spec.args.insert(spec.args.end(), options_.scriptOptions.begin(),
                         options_.scriptOptions.end());
        spec.args.insert(spec.args.end(), {std::to_string(port_), store});
    }
    spec.args.insert(spec.args.begin(), options_.prefix.begin(), options_.prefix.end());
    spec.environment = options_.environment;
    spec.endsWithCaller = true;
    process_ = std::make_unique<zel::proc::backgroundProcess>();
    if (!process_->start(spec, (dir_ / "out.log").string(), (dir_ / "err.log").string()))
        return false;
    const bool loopback = options_.host == "127.0.0.1" && options_.prefix.empty();
    for (int i = 0; i < 1000; ++i) {
        if (loopback ? zel::proc::accepting(port_)
                     : err().find("Server is ready") != std::string::npos)
            return true;
        // Ended already (a bad configuration, a script that refused): no use waiting.
        if (process_->wait(0))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void natsBroker::kill() {
    if (!process_)
        return;
    process_->terminate(SIGKILL);
    process_->wait(10);
}

int natsBroker::pid() const {
    return process_ && process_->running() ? process_->pid() : -1;
}

std::string natsBroker::err() const {
    std::ifstream in(dir_ / "err.log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace zeltest
