#include "connection.h"

#include "mirror_set.h"
#include "retry.h"

#include <mutex>
#include <vector>

namespace zel::share::detail {

std::string statusText(natsStatus s) {
    const char* text = natsStatus_GetText(s);
    return text ? text : "unknown error";
}

namespace {

std::mutex librarySlot;
std::vector<std::shared_ptr<connectionCallbacks>> retired;

} // namespace

// What libnats calls back into: outlives its connection until the library is closed, so a callback
// that runs late finds no listener rather than a freed one.
struct connectionCallbacks {
    std::mutex mutex;
    connectionListener* target = nullptr;

    template <class F> static void with(void* closure, F&& f) {
        auto* c = static_cast<connectionCallbacks*>(closure);
        std::lock_guard lock(c->mutex);
        if (c->target)
            f(*c->target);
    }
    static void error(natsConnection* nc, natsSubscription*, natsStatus err, void* closure) {
        const char* text = nullptr;
        natsConnection_GetLastError(nc, &text);
        with(closure, [&](connectionListener& l) { l.onError(err, text); });
    }
    static void disconnected(natsConnection*, void* closure) {
        with(closure, [](connectionListener& l) { l.onDisconnected(); });
    }
    static void reconnected(natsConnection*, void* closure) {
        with(closure, [](connectionListener& l) { l.onReconnected(); });
    }
    // The message is ours to destroy, whether or not a listener still hears it.
    static void ack(jsCtx*, natsMsg* msg, jsPubAck*, jsPubAckErr* pae, void* closure) {
        with(closure, [&](connectionListener& l) { l.onAck(msg, pae); });
        natsMsg_Destroy(msg);
    }
};

connection::connection(const shareOptions& options, connectionListener& listener)
    : options_(options), callbacks_(std::make_shared<connectionCallbacks>()) {
    callbacks_->target = &listener;
    for (const std::string& s : options_.servers)
        where_ += (where_.empty() ? "" : ",") + s;
    // The client library stays open for the life of the process: it cannot be opened again once
    // closed, a process may join again, and the library tidies up after itself at exit.
}

std::unique_ptr<connection> connection::open(const shareOptions& options,
                                             connectionListener& listener, std::string& error) {
    std::unique_ptr<connection> c(new connection(options, listener));
    if (!c->connect(error))
        return nullptr;
    return c;
}

void connection::detach() {
    std::lock_guard lock(callbacks_->mutex);
    callbacks_->target = nullptr;
}

connection::~connection() {
    detach();
    js_.reset();
    conn_.reset();
    // A callback already under way in the library may still look: it finds no listener.
    std::lock_guard lock(librarySlot);
    retired.push_back(callbacks_);
}

bool connection::connect(std::string& error) {
    natsOptions* raw = nullptr;
    if (natsOptions_Create(&raw) != NATS_OK) {
        error = "cannot set up the connection to " + where_;
        return false;
    }
    optionsHandle opts(raw);
    std::vector<const char*> urls;
    for (const std::string& s : options_.servers)
        urls.push_back(s.c_str());
    natsStatus s = natsOptions_SetServers(raw, urls.data(), static_cast<int>(urls.size()));
    if (s == NATS_OK && !options_.credentialsFile.empty())
        s = natsOptions_SetUserCredentialsFromFiles(raw, options_.credentialsFile.c_str(), nullptr);
    else if (s == NATS_OK && !options_.brokerUser.empty())
        s = natsOptions_SetUserInfo(raw, options_.brokerUser.c_str(),
                                    options_.brokerPassword.c_str());
    if (s == NATS_OK)
        s = natsOptions_SetTimeout(raw, static_cast<int64_t>(options_.connectSeconds * 1000));
    // The brokers in the order given: the first is the preferred one.
    if (s == NATS_OK)
        s = natsOptions_SetNoRandomize(raw, true);
    if (s == NATS_OK)
        s = natsOptions_SetMaxReconnect(raw, -1);
    if (s == NATS_OK)
        s = natsOptions_SetReconnectWait(raw, 100);
    if (s == NATS_OK)
        s = natsOptions_SetErrorHandler(raw, &connectionCallbacks::error, callbacks_.get());
    if (s == NATS_OK)
        s = natsOptions_SetDisconnectedCB(raw, &connectionCallbacks::disconnected,
                                          callbacks_.get());
    if (s == NATS_OK)
        s = natsOptions_SetReconnectedCB(raw, &connectionCallbacks::reconnected, callbacks_.get());
    if (s != NATS_OK) {
        error = "bad broker address or credentials for " + where_ + ": " + statusText(s);
        return false;
    }
    natsConnection* c = nullptr;
    s = natsConnection_Connect(&c, raw);
    if (s != NATS_OK) {
        const bool refused = s == NATS_CONNECTION_AUTH_FAILED || s == NATS_NOT_PERMITTED;
        error = refused ? "the broker at " + where_ + " refused the credentials" +
                              (options_.brokerUser.empty() ? std::string(" (none given)")
                                                           : " of user " + options_.brokerUser)
                        : "cannot reach the broker at " + where_ + ": " + statusText(s);
        return false;
    }
    conn_.reset(c);
    jsOptions jo;
    jsOptions_Init(&jo);
    jo.Wait = 5000;
    jo.PublishAsync.MaxPending = 100000;
    jo.PublishAsync.AckHandler = &connectionCallbacks::ack;
    jo.PublishAsync.AckHandlerClosure = callbacks_.get();
    jsCtx* js = nullptr;
    if ((s = natsConnection_JetStream(&js, c, &jo)) != NATS_OK) {
        error = "the broker at " + where_ + " offers no JetStream: " + statusText(s);
        return false;
    }
    js_.reset(js);
    return true;
}

bool connection::openBucket(storeHandle& handle, const std::string& name, std::int64_t ttlNs,
                            std::string& error) {
    kvStore* kv = nullptr;
    natsStatus s = js_KeyValue(&kv, js_.get(), name.c_str());
    if (s == NATS_NOT_FOUND) {
        kvConfig cfg;
        kvConfig_Init(&cfg);
        cfg.Bucket = name.c_str();
        cfg.History = 1;
        cfg.TTL = ttlNs;
        cfg.StorageType = js_FileStorage;
        cfg.Replicas = static_cast<int>(std::min<std::size_t>(3, options_.servers.size()));
        // A new cluster may take a while to place a replicated bucket.
        const auto until = clock::now() + std::chrono::seconds(20);
        do {
            s = js_CreateKeyValue(&kv, js_.get(), &cfg);
            if (s != NATS_OK)
                s = js_KeyValue(&kv, js_.get(), name.c_str()); // another site made it meanwhile
        } while (s != NATS_OK && s != NATS_NOT_PERMITTED && s != NATS_CONNECTION_CLOSED &&
                 clock::now() < until);
    }
    if (s != NATS_OK) {
        const char* text = nullptr;
        natsConnection_GetLastError(conn_.get(), &text);
        error = "cannot open the bucket " + name + " on the broker: " + statusText(s) +
                (text && *text ? " (" + printable(text) + ")" : std::string());
        return false;
    }
    handle.reset(kv);
    return true;
}

std::optional<std::uint64_t> connection::lastSequence(const std::string& bucket, int waitMs,
                                                      bool* found) {
    jsStreamInfo* raw = nullptr;
    jsOptions o;
    jsOptions_Init(&o);
    o.Wait = waitMs;
    const std::string stream = "KV_" + bucket;
    const natsStatus s = js_GetStreamInfo(&raw, js_.get(), stream.c_str(), &o, nullptr);
    streamInfoHandle info(raw);
    if (found)
        *found = s != NATS_NOT_FOUND;
    if (s != NATS_OK)
        return std::nullopt;
    return info->State.LastSeq;
}

} // namespace zel::share::detail
