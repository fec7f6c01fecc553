// zelkeeper: runs beside the broker that tools/broker.sh starts, as a user of the streams' account
// that may only list and delete consumers. Every few seconds it looks at the consumers of the
// shared scenes' streams and removes those nobody has listened to for 20 s (the broker keeps an
// ephemeral consumer as long as its maker asked), those that deliver into no user's inbox, and a
// user's consumers past 128 on one stream. It ends when its parent (the broker, which the script
// became) goes.
//   ZEL_KEEPER_USER=... ZEL_KEEPER_PASSWORD=... zelkeeper nats://HOST:PORT
#include "consumer_keeper.h"

#include <nats/nats.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile std::sig_atomic_t stopping = 0;
// Pages of a listing asked for at most; every listing is bounded.
constexpr int maxPages = 1000;
constexpr double passSeconds = 2;

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The JSON answer to a request, or a discarded value when there is none.
nlohmann::json ask(natsConnection* nc, const std::string& subject, const nlohmann::json& body) {
    const std::string payload = body.is_null() ? std::string() : body.dump();
    natsMsg* reply = nullptr;
    if (natsConnection_Request(&reply, nc, subject.c_str(), payload.data(),
                               static_cast<int>(payload.size()), 5000) != NATS_OK)
        return nlohmann::json::value_t::discarded;
    nlohmann::json out = nlohmann::json::parse(
        std::string(natsMsg_GetData(reply), static_cast<std::size_t>(natsMsg_GetDataLength(reply))),
        nullptr, false);
    natsMsg_Destroy(reply);
    return out;
}

// Every consumer of the shared scenes' streams, or false when the broker did not answer.
bool listConsumers(natsConnection* nc, std::vector<zel::keeper::consumerSeen>& out) {
    std::vector<std::string> streams;
    for (int page = 0, offset = 0; page < maxPages; ++page) {
        const nlohmann::json r = ask(nc, "$JS.API.STREAM.NAMES", {{"offset", offset}});
        if (!r.is_object() || r.contains("error") || !r.contains("streams"))
            return false;
        if (!r["streams"].is_array() || r["streams"].empty())
            break;
        for (const auto& s : r["streams"])
            if (s.is_string() && s.get<std::string>().rfind("KV_zel-", 0) == 0)
                streams.push_back(s.get<std::string>());
        offset += static_cast<int>(r["streams"].size());
        if (offset >= r.value("total", 0))
            break;
    }
    for (const std::string& stream : streams) {
        for (int page = 0, offset = 0; page < maxPages; ++page) {
            const nlohmann::json r =
                ask(nc, "$JS.API.CONSUMER.LIST." + stream, {{"offset", offset}});
            if (!r.is_object() || r.contains("error") || !r.contains("consumers") ||
                !r["consumers"].is_array() || r["consumers"].empty())
                break;
            for (const auto& c : r["consumers"]) {
                if (!c.is_object() || !c.contains("name") || !c["name"].is_string())
                    continue;
                zel::keeper::consumerSeen s;
                s.stream = stream;
                s.name = c["name"].get<std::string>();
                if (c.contains("config") && c["config"].is_object() &&
                    c["config"].contains("deliver_subject") &&
                    c["config"]["deliver_subject"].is_string())
                    s.deliverSubject = c["config"]["deliver_subject"].get<std::string>();
                s.bound = c.value("push_bound", false);
                out.push_back(std::move(s));
            }
            offset += static_cast<int>(r["consumers"].size());
            if (offset >= r.value("total", 0))
                break;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: zelkeeper nats://HOST:PORT (credentials in ZEL_KEEPER_USER and "
                     "ZEL_KEEPER_PASSWORD)\n";
        return 2;
    }
    const char* user = std::getenv("ZEL_KEEPER_USER");
    const char* password = std::getenv("ZEL_KEEPER_PASSWORD");
    std::signal(SIGTERM, [](int) { stopping = 1; });
    std::signal(SIGINT, [](int) { stopping = 1; });
    const pid_t parent = getppid();
    natsOptions* opts = nullptr;
    if (natsOptions_Create(&opts) != NATS_OK || natsOptions_SetURL(opts, argv[1]) != NATS_OK ||
        (user && password && natsOptions_SetUserInfo(opts, user, password) != NATS_OK) ||
        natsOptions_SetCustomInboxPrefix(opts, "_KEEPER") != NATS_OK ||
        natsOptions_SetMaxReconnect(opts, -1) != NATS_OK ||
        // Only ever the broker that started it, on this machine: its certificate names the
        // broker's name for the network, which this address need not be.
        (std::string(argv[1]).rfind("tls://", 0) == 0 &&
         (natsOptions_SetSecure(opts, true) != NATS_OK ||
          natsOptions_SkipServerVerification(opts, true) != NATS_OK))) {
        std::cerr << "zelkeeper: bad broker address " << argv[1] << "\n";
        return 2;
    }
    natsConnection* nc = nullptr;
    // The broker is starting beside it: asked again until it answers, while the parent lives.
    while (!stopping && getppid() == parent && natsConnection_Connect(&nc, opts) != NATS_OK)
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    zel::keeper::consumerKeeper keeper;
    while (nc && !stopping && getppid() == parent) {
        std::vector<zel::keeper::consumerSeen> all;
        if (listConsumers(nc, all)) {
            std::size_t removed = 0;
            std::string why;
            for (const auto& [c, reason] : keeper.pass(all, now())) {
                const nlohmann::json r =
                    ask(nc, "$JS.API.CONSUMER.DELETE." + c.stream + "." + c.name, nullptr);
                if (r.is_object() && r.value("success", false)) {
                    ++removed;
                    why = reason;
                }
            }
            if (removed)
                std::cerr << "zelkeeper: removed " << removed << " consumer"
                          << (removed == 1 ? "" : "s") << " (" << why << ")\n";
        }
        for (int i = 0; i < passSeconds * 10 && !stopping && getppid() == parent; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    natsConnection_Destroy(nc);
    natsOptions_Destroy(opts);
    return 0;
}
