// zelkeeper: runs beside the broker that tools/broker.sh starts, as a user of the streams' account
// that may list and delete consumers and delete asset keys. Every few seconds it looks at the
// consumers of the shared scenes' streams and removes those nobody has listened to for 20 s (the
// broker keeps an ephemeral consumer as long as its maker asked), those that deliver into no user's
// inbox, and a user's consumers past 128 on one stream. It also keeps each writer within its share
// of every scene's asset bucket (ZEL_KEEPER_ASSET_SHARE percent of the bucket's limit, 50 by
// default, at least 64 MiB, never more than the limit): it follows the sizes of the bucket's
// records through a consumer that delivers headers only, and deletes the newest models of a user
// past its share. It ends when its parent (the broker, which the script became) goes.
//   ZEL_KEEPER_USER=... ZEL_KEEPER_PASSWORD=... [ZEL_KEEPER_ASSET_SHARE=PERCENT]
//       zelkeeper nats://HOST:PORT
#include "asset_share.h"
#include "consumer_keeper.h"

#include <zel/share/key_watch.h>

#include <nats/nats.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
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

// Every consumer of the shared scenes' streams, and the streams, or false when the broker did not
// answer.
bool listConsumers(natsConnection* nc, std::vector<zel::keeper::consumerSeen>& out,
                   std::vector<std::string>& streams) {
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
                // The keeper's own, which follow the asset buckets.
                if (s.bound && s.deliverSubject.rfind("_KEEPER.", 0) == 0)
                    continue;
                out.push_back(std::move(s));
            }
            offset += static_cast<int>(r["consumers"].size());
            if (offset >= r.value("total", 0))
                break;
        }
    }
    return true;
}

// One scene's asset bucket as the keeper follows it: a consumer that delivers each record's
// headers (its size among them), never its contents.
struct followed {
    explicit followed(const std::string& bucket) : tally(bucket) {}
    followed(const followed&) = delete;
    followed& operator=(const followed&) = delete;
    ~followed() {
        if (sub)
            natsSubscription_Unsubscribe(sub);
        natsSubscription_Destroy(sub);
    }
    zel::keeper::assetTally tally;
    natsSubscription* sub = nullptr;
    std::string created; // when the stream was made: one made again is followed afresh
};

constexpr const char* assetStreamPrefix = "KV_zel-assets-";
// Records taken from one bucket's consumer in one pass, and keys deleted in one pass.
constexpr int maxRecordsPerPass = 200000;
constexpr std::size_t maxDeletesPerPass = 100000;

// The last value of a header: the broker adds its own after the writer's, which may have used the
// same name.
std::string header(natsMsg* m, const char* key) {
    const char** values = nullptr;
    int n = 0;
    if (natsMsgHeader_Values(m, key, &values, &n) != NATS_OK)
        return "";
    const std::string out = n > 0 && values[n - 1] ? values[n - 1] : "";
    std::free(values);
    return out;
}

// What a record takes: its subject, its headers and its data.
std::uint64_t recordBytes(natsMsg* m, std::uint64_t data) {
    std::uint64_t out = std::strlen(natsMsg_GetSubject(m)) + data;
    const char** keys = nullptr;
    int count = 0;
    if (natsMsgHeader_Keys(m, &keys, &count) != NATS_OK)
        return out;
    for (int i = 0; i < count; ++i) {
        const char** values = nullptr;
        int n = 0;
        if (natsMsgHeader_Values(m, keys[i], &values, &n) == NATS_OK) {
            for (int j = 0; j < n; ++j)
                out += std::strlen(keys[i]) + std::strlen(values[j]) + 4;
            std::free(values);
        }
    }
    std::free(keys);
    return out;
}

bool follow(jsCtx* js, const std::string& stream, followed& f) {
    f.sub = zel::share::watchKeys(js, stream.substr(3), ">",
                                  {js_DeliverLastPerSubject, true, 1 << 20, 256 << 20});
    return f.sub != nullptr;
}

// Takes what the bucket's consumer delivered since the last pass.
void drain(followed& f) {
    for (int i = 0; i < maxRecordsPerPass; ++i) {
        natsMsg* m = nullptr;
        if (natsSubscription_NextMsg(&m, f.sub, 1) != NATS_OK)
            return;
        jsMsgMetaData* meta = nullptr;
        const std::string size = header(m, "Nats-Msg-Size");
        if (!size.empty() && natsMsg_GetMetaData(&meta, m) == NATS_OK) {
            const std::string op = header(m, "KV-Operation");
            const std::uint64_t bytes = recordBytes(m, std::strtoull(size.c_str(), nullptr, 10));
            f.tally.record(natsMsg_GetSubject(m), meta->Sequence.Stream, bytes,
                           op == "DEL" || op == "PURGE");
            jsMsgMetaData_Destroy(meta);
        }
        natsMsg_Destroy(m);
    }
}

// A delete marker on one key, acknowledged by the bucket's stream.
bool deleteKey(jsCtx* js, const std::string& subject) {
    natsMsg* m = nullptr;
    if (natsMsg_Create(&m, subject.c_str(), nullptr, nullptr, 0) != NATS_OK)
        return false;
    bool ok = natsMsgHeader_Set(m, "KV-Operation", "DEL") == NATS_OK;
    jsPubAck* ack = nullptr;
    ok = ok && js_PublishMsg(&ack, js, m, nullptr, nullptr) == NATS_OK;
    jsPubAck_Destroy(ack);
    natsMsg_Destroy(m);
    return ok;
}

// Keeps each writer within its share of every asset bucket: follows new buckets, forgets those
// gone, deletes the newest models of a user past its share.
void keepShares(natsConnection* nc, jsCtx* js, const std::vector<std::string>& streams,
                std::map<std::string, std::unique_ptr<followed>>& buckets,
                const zel::keeper::shareLimits& limits) {
    std::map<std::string, std::unique_ptr<followed>> next;
    for (const std::string& stream : streams) {
        if (stream.rfind(assetStreamPrefix, 0) != 0)
            continue;
        auto it = buckets.find(stream);
        if (it != buckets.end()) {
            next[stream] = std::move(it->second);
        } else {
            auto f = std::make_unique<followed>(stream.substr(3));
            if (!follow(js, stream, *f))
                continue;
            next[stream] = std::move(f);
        }
    }
    buckets = std::move(next);
    std::size_t deletes = 0;
    for (auto& [stream, f] : buckets) {
        drain(*f);
        const nlohmann::json info = ask(nc, "$JS.API.STREAM.INFO." + stream, nullptr);
        if (!info.is_object() || !info.contains("config") || !info["config"].is_object())
            continue;
        const std::string created = info.contains("created") && info["created"].is_string()
                                        ? info["created"].get<std::string>()
                                        : "";
        if (f->created.empty()) {
            f->created = created;
        } else if (created != f->created) {
            auto fresh = std::make_unique<followed>(stream.substr(3));
            if (follow(js, stream, *fresh)) {
                fresh->created = created;
                f = std::move(fresh);
            }
            continue;
        }
        const auto& config = info["config"];
        const std::int64_t limit = config.contains("max_bytes") && config["max_bytes"].is_number()
                                       ? config["max_bytes"].get<std::int64_t>()
                                       : -1;
        const std::uint64_t share = zel::keeper::writerShare(limit, limits);
        if (share == 0)
            continue;
        std::map<std::string, std::size_t> removed;
        for (const zel::keeper::modelHeld& m : zel::keeper::pastShare(f->tally.models(), share)) {
            bool all = true;
            for (const std::string& subject : f->tally.subjects(m.user, m.hash)) {
                if (deletes >= maxDeletesPerPass || !deleteKey(js, subject)) {
                    all = false;
                    break;
                }
                ++deletes;
                f->tally.record(subject, 0, 0, true);
            }
            if (all)
                ++removed[m.user];
        }
        for (const auto& [user, n] : removed)
            std::cerr << "zelkeeper: " << user << " held more than its share (" << (share >> 20)
                      << " MiB) of the assets of scene "
                      << stream.substr(std::string(assetStreamPrefix).size()) << ": removed its "
                      << n << " newest model" << (n == 1 ? "" : "s") << "\n";
    }
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
    zel::keeper::shareLimits shares;
    if (const char* percent = std::getenv("ZEL_KEEPER_ASSET_SHARE"); percent && *percent) {
        char* end = nullptr;
        const long p = std::strtol(percent, &end, 10);
        if (*end || p < 1 || p > 100) {
            std::cerr << "zelkeeper: ZEL_KEEPER_ASSET_SHARE must be a percentage from 1 to 100\n";
            return 2;
        }
        shares.percent = static_cast<int>(p);
    }
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
    jsCtx* js = nullptr;
    if (nc && natsConnection_JetStream(&js, nc, nullptr) != NATS_OK)
        js = nullptr;
    std::map<std::string, std::unique_ptr<followed>> buckets;
    while (nc && !stopping && getppid() == parent) {
        std::vector<zel::keeper::consumerSeen> all;
        std::vector<std::string> streams;
        if (listConsumers(nc, all, streams)) {
            if (js)
                keepShares(nc, js, streams, buckets, shares);
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
    buckets.clear();
    jsCtx_Destroy(js);
    natsConnection_Destroy(nc);
    natsOptions_Destroy(opts);
    return 0;
}
