#include "connection.h"

#include "retry.h"
#include "share_types.h"

#include <zel/share/records.h>

#include <mutex>
#include <thread>
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
    connection* owner = nullptr;

    template <class F> static void with(void* closure, F&& f) {
        auto* c = static_cast<connectionCallbacks*>(closure);
        std::lock_guard lock(c->mutex);
        if (c->target)
            f(*c->target);
    }
    static void error(natsConnection* nc, natsSubscription*, natsStatus err, void* closure) {
        const char* text = nullptr;
        natsConnection_GetLastError(nc, &text);
        auto* c = static_cast<connectionCallbacks*>(closure);
        std::lock_guard lock(c->mutex);
        if (c->owner)
            c->owner->noteError(text);
        if (c->target)
            c->target->onError(err, text);
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
    callbacks_->owner = this;
    // Addresses as a user may read them: credentials in a URL are never shown.
    for (const std::string& s : options_.servers) {
        std::string shown = s;
        const std::size_t scheme = shown.find("://");
        const std::size_t from = scheme == std::string::npos ? 0 : scheme + 3;
        const std::size_t at = shown.find('@', from);
        if (at != std::string::npos && shown.find('/', from) > at)
            shown.erase(from, at + 1 - from);
        where_ += (where_.empty() ? "" : ",") + printable(shown);
    }
    user_ = !options_.brokerUser.empty() ? options_.brokerUser : options_.user;
    inboxPrefix_ = "_INBOX_" + user_;
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
    callbacks_->owner = nullptr;
}

void connection::noteError(const char* text) {
    std::lock_guard lock(errorsMutex_);
    ++errorCount_;
    errors_.push_back(text ? text : "");
    if (errors_.size() > 16)
        errors_.pop_front();
}

void connection::close() {
    if (conn_)
        natsConnection_Close(conn_.get());
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
    // A password goes to another machine only over TLS.
    const bool credentials = !options_.brokerUser.empty() || !options_.credentialsFile.empty();
    for (const std::string& url : options_.servers) {
        const std::size_t from = url.find("://") == std::string::npos ? 0 : url.find("://") + 3;
        const bool inUrl = url.find('@', from) < url.find('/', from);
        if ((credentials || inUrl) && url.rfind("tls://", 0) != 0 && !loopbackHost(urlHost(url))) {
            error = "the broker at " + printable(urlHost(url)) +
                    " is not on this machine: credentials go to it only over TLS (tls://)";
            return false;
        }
    }
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
    // Replies come only to this user's own inbox, which nobody else may read.
    if (s == NATS_OK && validUserName(user_))
        s = natsOptions_SetCustomInboxPrefix(raw, inboxPrefix_.c_str());
    std::string tlsHost;
    for (const std::string& url : options_.servers)
        if (url.rfind("tls://", 0) == 0 && tlsHost.empty()) {
            tlsHost = url.substr(6);
            tlsHost =
                tlsHost.substr(tlsHost.find('@') == std::string::npos ? 0 : tlsHost.find('@') + 1);
            tlsHost = tlsHost.substr(0, tlsHost.find_first_of(":/"));
        }
    if (s == NATS_OK && !tlsHost.empty()) {
        s = natsOptions_SetSecure(raw, true);
        if (s == NATS_OK && !options_.caFile.empty() &&
            natsOptions_LoadCATrustedCertificates(raw, options_.caFile.c_str()) != NATS_OK) {
            error = "cannot read the certificate authority " + printable(options_.caFile) +
                    " (ZEL_SHARE_CA)";
            return false;
        }
        // The broker must prove the name it was called by.
        if (s == NATS_OK)
            s = natsOptions_SetExpectedHostname(raw, tlsHost.c_str());
    }
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
        natsStatus last = NATS_OK;
        const char* lastText = nats_GetLastError(&last);
        const std::string detail = lastText && *lastText ? printable(lastText) : statusText(s);
        if (s == NATS_CONNECTION_AUTH_FAILED || s == NATS_NOT_PERMITTED)
            error = "the broker at " + where_ + " refused the credentials" +
                    (options_.brokerUser.empty() ? std::string(" (none given)")
                                                 : " of user " + printable(options_.brokerUser));
        else if (s == NATS_SECURE_CONNECTION_WANTED)
            error = "the broker at " + where_ + " offers no TLS";
        else if (s == NATS_SSL_ERROR && tlsHost.empty())
            error = "the broker at " + where_ + " takes only TLS connections: call it with tls://";
        else if (s == NATS_SSL_ERROR && detail.find("mismatch") != std::string::npos)
            error = "the broker at " + where_ + " has a certificate for another name than " +
                    printable(tlsHost) + " (" + detail + ")";
        else if (s == NATS_SSL_ERROR)
            error = "the broker at " + where_ + " has a certificate that is not from " +
                    (options_.caFile.empty() ? std::string("an authority this system trusts")
                                             : "the authority in " + printable(options_.caFile)) +
                    " (" + detail + ")";
        else
            error = "cannot reach the broker at " + where_ + ": " + detail;
        return false;
    }
    conn_.reset(c);
    if (!makeJetStream(api_)) {
        error = "the broker at " + where_ + " offers no JetStream";
        return false;
    }
    return true;
}

bool connection::makeJetStream(const std::string& prefix) {
    jsOptions jo;
    jsOptions_Init(&jo);
    jo.Prefix = prefix.c_str();
    jo.Wait = 5000;
    jo.PublishAsync.MaxPending = 100000;
    jo.PublishAsync.AckHandler = &connectionCallbacks::ack;
    jo.PublishAsync.AckHandlerClosure = callbacks_.get();
    jsCtx* js = nullptr;
    if (natsConnection_JetStream(&js, conn_.get(), &jo) != NATS_OK)
        return false;
    js_.reset(js);
    return true;
}

nlohmann::json bucketSpec::config(int replicas) const {
    // Message ids are remembered for the shortest window the broker takes: nothing here uses them,
    // and a writer's unique ids would otherwise pile up on the broker.
    const std::int64_t window = minDuplicateWindowNs;
    return {{"name", "KV_" + name},
            {"subjects", {"$KV." + name + ".>"}},
            {"retention", "limits"},
            {"max_consumers", -1},
            {"max_msgs", -1},
            {"max_bytes", maxBytes},
            {"max_age", maxAgeNs},
            {"max_msgs_per_subject", 1},
            {"max_msg_size", maxMessage},
            {"discard", "new"},
            {"storage", "file"},
            {"num_replicas", replicas},
            {"duplicate_window", window},
            {"allow_rollup_hdrs", false},
            {"deny_delete", true},
            {"deny_purge", true},
            {"allow_direct", true},
            {"mirror_direct", false}};
}

std::string bucketSpec::unsafe(const nlohmann::json& c) const {
    std::string out;
    const auto add = [&](const char* what) {
        out += (out.empty() ? "" : ", ") + std::string(what);
    };
    const auto flag = [&](const char* field) {
        auto it = c.find(field);
        return it != c.end() && it->is_boolean() && it->get<bool>();
    };
    const auto number = [&](const char* field) -> std::int64_t {
        auto it = c.find(field);
        return it != c.end() && it->is_number_integer() ? it->get<std::int64_t>() : -1;
    };
    if (flag("allow_rollup_hdrs"))
        add("roll-ups allowed");
    if (!flag("deny_purge"))
        add("purges allowed");
    if (!flag("deny_delete"))
        add("message deletes allowed");
    if (number("max_msg_size") <= 0 || number("max_msg_size") > maxMessage)
        add("no limit on a message's size");
    if (maxBytes > 0 && number("max_bytes") <= 0)
        add("no limit on its total size");
    if (number("duplicate_window") > minDuplicateWindowNs)
        add("message ids remembered for long");
    return out;
}

std::string connection::apiReply::error() const {
    if (!body.is_object() || !body.contains("error") || !body["error"].is_object())
        return "";
    const auto& e = body["error"];
    return e.contains("description") && e["description"].is_string()
               ? printable(e["description"].get<std::string>())
               : "error " + std::to_string(errorCode());
}

int connection::apiReply::errorCode() const {
    if (!body.is_object() || !body.contains("error") || !body["error"].is_object())
        return 0;
    const auto& e = body["error"];
    return e.contains("err_code") && e["err_code"].is_number_integer() ? e["err_code"].get<int>()
                                                                       : -1;
}

connection::apiReply connection::request(const std::string& subject, const std::string& payload,
                                         int waitMs) {
    apiReply out;
    natsInbox* fresh = nullptr;
    if (natsInbox_Create(&fresh) != NATS_OK)
        return out;
    std::string inbox = fresh;
    natsInbox_Destroy(fresh);
    inbox = inboxPrefix_ + inbox.substr(inbox.find('.'));
    std::uint64_t errorsBefore = 0;
    {
        std::lock_guard lock(errorsMutex_);
        errorsBefore = errorCount_;
    }
    natsSubscription* raw = nullptr;
    if (natsConnection_SubscribeSync(&raw, conn_.get(), inbox.c_str()) != NATS_OK)
        return out;
    std::unique_ptr<natsSubscription, natsDeleter<natsSubscription, natsSubscription_Destroy>> sub(
        raw);
    natsSubscription_AutoUnsubscribe(raw, 1);
    if (natsConnection_PublishRequest(conn_.get(), subject.c_str(), inbox.c_str(), payload.data(),
                                      static_cast<int>(payload.size())) != NATS_OK)
        return out;
    natsConnection_Flush(conn_.get());
    const auto until = clock::now() + std::chrono::milliseconds(waitMs);
    while (clock::now() < until) {
        natsMsg* m = nullptr;
        const natsStatus s = natsSubscription_NextMsg(&m, raw, 20);
        messageHandle msg(m);
        if (s == NATS_OK && m) {
            const char* status = nullptr;
            if (natsMsgHeader_Get(m, "Status", &status) == NATS_OK && status &&
                std::string(status) == "503") {
                out.noResponders = true; // nobody answers that subject
                return out;
            }
            out.answered = true;
            out.body = nlohmann::json::parse(
                std::string_view(natsMsg_GetData(m),
                                 static_cast<std::size_t>(natsMsg_GetDataLength(m))),
                nullptr, false);
            return out;
        }
        // The broker tells of a refused subject as an error on the connection, not as a reply.
        std::lock_guard lock(errorsMutex_);
        if (errorCount_ != errorsBefore)
            for (const std::string& e : errors_)
                if (e.find("ermission") != std::string::npos &&
                    (e.find(subject) != std::string::npos || e.find(inbox) != std::string::npos)) {
                    out.refused = true;
                    return out;
                }
        if (s == NATS_NO_RESPONDERS) {
            out.noResponders = true;
            return out;
        }
        if (s != NATS_OK && s != NATS_TIMEOUT)
            return out;
    }
    return out;
}

bool connection::openBucket(storeHandle& handle, const bucketSpec& spec, std::ostream& log,
                            std::string& error, bool* purgeable) {
    if (purgeable)
        *purgeable = false;
    const auto allowsPurges = [&](const std::string& unsafe) {
        if (purgeable)
            *purgeable = unsafe.find("roll-ups allowed") != std::string::npos ||
                         unsafe.find("purges allowed") != std::string::npos;
    };
    const std::string stream = "KV_" + spec.name;
    const int replicas = static_cast<int>(std::min<std::size_t>(3, options_.servers.size()));
    const std::string scene = printable(spec.scene);
    const std::string user = printable(user_);
    apiReply info;
    if (!apiKnown_) {
        // A deployment with an account per user answers under zel.API; a broker of one account
        // has nothing there (or does not let the user ask there) and answers under $JS.API.
        info = request("zel.API.STREAM.INFO." + stream, "", 5000);
        if (info.noResponders || info.refused) {
            info = request("$JS.API.STREAM.INFO." + stream, "", 5000);
        } else if (info.answered) {
            api_ = "zel.API";
            if (!makeJetStream(api_)) {
                error = "cannot set up JetStream with the broker at " + where_;
                return false;
            }
        }
        apiKnown_ = info.answered;
    } else {
        info = request(api_ + ".STREAM.INFO." + stream, "", 5000);
    }
    if (info.refused) {
        error = "user " + user + " may not join scene " + scene;
        return false;
    }
    if (!info.answered) {
        error = "the broker at " + where_ + " did not answer about scene " + scene +
                " (is JetStream on?)";
        return false;
    }
    const std::string wanted = spec.config(replicas).dump();
    if (info.errorCode() == 10059) {
        // Not there: made where this user may. A new cluster may take a while to place it.
        const auto until = clock::now() + std::chrono::seconds(20);
        while (true) {
            const apiReply made = request(api_ + ".STREAM.CREATE." + stream, wanted, 5000);
            if (made.refused) {
                error = "scene " + scene + " is not on the broker, and user " + user +
                        " may not make it";
                return false;
            }
            if (made.answered && made.errorCode() == 0)
                break;
            info = request(api_ + ".STREAM.INFO." + stream, "", 5000);
            if (info.answered && info.errorCode() == 0)
                break; // another site made it meanwhile
            if (clock::now() >= until) {
                error = "cannot make the bucket " + spec.name + " on the broker: " +
                        (made.answered ? made.error() : std::string("no answer"));
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    } else if (info.errorCode() != 0) {
        error = "cannot open the bucket " + spec.name + " on the broker: " + info.error();
        return false;
    } else if (info.body.contains("config") && info.body["config"].is_object()) {
        const std::string unsafe = spec.unsafe(info.body["config"]);
        if (!unsafe.empty()) {
            // Safe settings, keeping what the broker placed (replicas) as it is.
            nlohmann::json safe = spec.config(replicas);
            const nlohmann::json& held = info.body["config"];
            if (held.contains("num_replicas"))
                safe["num_replicas"] = held["num_replicas"];
            if (held.contains("max_bytes") && spec.maxBytes <= 0)
                safe["max_bytes"] = held["max_bytes"];
            const apiReply updated = request(api_ + ".STREAM.UPDATE." + stream, safe.dump(), 5000);
            if (updated.answered && updated.errorCode() == 0) {
                const std::string left = updated.body.contains("config")
                                             ? spec.unsafe(updated.body["config"])
                                             : std::string();
                allowsPurges(left);
                if (left.empty())
                    log << "shared scene: bucket " << spec.name << " had unsafe settings ("
                        << unsafe << "); they are safe now" << std::endl;
                else
                    log << "shared scene: bucket " << spec.name << " is unsafe (" << left
                        << "): the broker keeps these settings" << std::endl;
            } else if (updated.answered) {
                allowsPurges(unsafe);
                log << "shared scene: bucket " << spec.name << " is unsafe (" << unsafe
                    << "); the broker refused safe settings: " << updated.error() << std::endl;
            } else {
                allowsPurges(unsafe);
                log << "shared scene: bucket " << spec.name << " is unsafe (" << unsafe
                    << "); the admin's join makes it safe" << std::endl;
            }
        }
    }
    kvStore* kv = nullptr;
    const natsStatus s = js_KeyValue(&kv, js_.get(), spec.name.c_str());
    if (s != NATS_OK) {
        const char* text = nullptr;
        natsConnection_GetLastError(conn_.get(), &text);
        error = "cannot open the bucket " + spec.name + " on the broker: " + statusText(s) +
                (text && *text ? " (" + printable(text) + ")" : std::string());
        return false;
    }
    handle.reset(kv);
    return true;
}

std::optional<std::uint64_t> connection::lastSequence(const std::string& bucket, int waitMs,
                                                      bool* found, std::uint64_t* messages) {
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
    if (messages)
        *messages = info->State.Msgs;
    return info->State.LastSeq;
}

} // namespace zel::share::detail
