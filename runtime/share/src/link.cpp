#include "link.h"

#include <zel/import/scene_codec.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>

namespace zel::share::detail {

namespace {

constexpr auto presenceRefresh = std::chrono::milliseconds(1000);
constexpr std::int64_t presenceTtlNs = 5'000'000'000;
// How many records go out before the publisher looks at the acknowledgements again.
constexpr std::size_t sendBatch = 4096;
// Decoded models kept for mirrors that may name them later, by encoded bytes.
constexpr std::size_t cacheLimitBytes = std::size_t(256) << 20;
// Fetches remembered (missing or failed ones included).
constexpr std::size_t maxFetches = 20000;
constexpr int fetchThreads = 3;

std::string statusText(natsStatus s) {
    const char* text = natsStatus_GetText(s);
    return text ? text : "unknown error";
}

clock::duration backoff(int failures, clock::duration first, clock::duration most) {
    static thread_local std::minstd_rand random(std::random_device{}());
    clock::duration d = first;
    for (int i = 1; i < failures && d < most; ++i)
        d *= 2;
    d = std::min(d, most);
    // Up to a quarter more, so that many sites that failed together do not retry together.
    return d + d * static_cast<int>(random() % 256) / 1024;
}

std::mutex librarySlot;
std::vector<std::shared_ptr<linkCallbacks>> retired;

} // namespace

// What libnats calls back into: outlives its link until the library is closed, so a callback
// that runs late finds no link rather than a freed one.
struct linkCallbacks {
    std::mutex mutex;
    link* target = nullptr;

    template <class F> static void with(void* closure, F&& f) {
        auto* c = static_cast<linkCallbacks*>(closure);
        std::lock_guard lock(c->mutex);
        if (c->target)
            f(*c->target);
    }
    static void error(natsConnection* nc, natsSubscription*, natsStatus err, void* closure) {
        const char* text = nullptr;
        natsConnection_GetLastError(nc, &text);
        with(closure, [&](link& l) { l.onError(err, text); });
    }
    static void disconnected(natsConnection*, void* closure) {
        with(closure, [](link& l) { l.onDisconnected(); });
    }
    static void reconnected(natsConnection*, void* closure) {
        with(closure, [](link& l) { l.onReconnected(); });
    }
    // The message is ours to destroy, whether or not a link still hears it.
    static void ack(jsCtx*, natsMsg* msg, jsPubAck*, jsPubAckErr* pae, void* closure) {
        with(closure, [&](link& l) { l.onAck(msg, pae); });
        natsMsg_Destroy(msg);
    }
};

link::link(std::ostream& log, const shareOptions& options, const siteName& self)
    : log_(log), options_(options), self_(self), selfId_(self.id()),
      callbacks_(std::make_shared<linkCallbacks>()) {
    joinedAt_ =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    callbacks_->target = this;
    // The client library stays open for the life of the process: it cannot be opened again once
    // closed, a process may join again, and the library tidies up after itself at exit.
}

std::unique_ptr<link> link::open(const shareOptions& options, const siteName& self,
                                 std::ostream& log, std::string& error) {
    std::unique_ptr<link> l(new link(log, options, self));
    if (!l->connect(error))
        return nullptr;
    l->start();
    return l;
}

bool link::connect(std::string& error) {
    std::string where;
    for (const std::string& s : options_.servers)
        where += (where.empty() ? "" : ",") + s;
    natsOptions* raw = nullptr;
    if (natsOptions_Create(&raw) != NATS_OK) {
        error = "cannot set up the connection to " + where;
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
        s = natsOptions_SetErrorHandler(raw, &linkCallbacks::error, callbacks_.get());
    if (s == NATS_OK)
        s = natsOptions_SetDisconnectedCB(raw, &linkCallbacks::disconnected, callbacks_.get());
    if (s == NATS_OK)
        s = natsOptions_SetReconnectedCB(raw, &linkCallbacks::reconnected, callbacks_.get());
    if (s != NATS_OK) {
        error = "bad broker address or credentials for " + where + ": " + statusText(s);
        return false;
    }
    natsConnection* c = nullptr;
    s = natsConnection_Connect(&c, raw);
    if (s != NATS_OK) {
        const bool refused = s == NATS_CONNECTION_AUTH_FAILED || s == NATS_NOT_PERMITTED;
        error = refused ? "the broker at " + where + " refused the credentials" +
                              (options_.brokerUser.empty() ? std::string(" (none given)")
                                                           : " of user " + options_.brokerUser)
                        : "cannot reach the broker at " + where + ": " + statusText(s);
        return false;
    }
    conn_.reset(c);
    jsOptions jo;
    jsOptions_Init(&jo);
    jo.Wait = 5000;
    jo.PublishAsync.MaxPending = 100000;
    jo.PublishAsync.AckHandler = &linkCallbacks::ack;
    jo.PublishAsync.AckHandlerClosure = callbacks_.get();
    jsCtx* js = nullptr;
    if ((s = natsConnection_JetStream(&js, c, &jo)) != NATS_OK) {
        error = "the broker at " + where + " offers no JetStream: " + statusText(s);
        return false;
    }
    js_.reset(js);
    if (!openBucket(nodes_, "zel-scene-" + options_.scene, 0, error) ||
        !openBucket(presence_, "zel-presence-" + options_.scene, presenceTtlNs, error) ||
        !openBucket(assets_, "zel-assets", 0, error))
        return false;
    kvWatcher* nw = nullptr;
    kvWatcher* pw = nullptr;
    if ((s = kvStore_WatchAll(&nw, nodes_.kv.get(), nullptr)) != NATS_OK ||
        (s = kvStore_WatchAll(&pw, presence_.kv.get(), nullptr)) != NATS_OK) {
        if (nw)
            kvWatcher_Destroy(nw);
        error = "cannot watch the scene " + options_.scene + " at " + where + ": " + statusText(s);
        return false;
    }
    nodes_.watcher.reset(nw);
    presence_.watcher.reset(pw);
    return true;
}

bool link::openBucket(bucket& b, const std::string& name, std::int64_t ttl, std::string& error) {
    b.name = name;
    kvStore* kv = nullptr;
    natsStatus s = js_KeyValue(&kv, js_.get(), name.c_str());
    if (s == NATS_NOT_FOUND) {
        kvConfig cfg;
        kvConfig_Init(&cfg);
        cfg.Bucket = name.c_str();
        cfg.History = 1;
        cfg.TTL = ttl;
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
    b.kv.reset(kv);
    return true;
}

void link::start() {
    threads_.emplace_back([this] { watchLoop(nodes_, false); });
    threads_.emplace_back([this] { watchLoop(presence_, true); });
    threads_.emplace_back([this] { presenceLoop(); });
    threads_.emplace_back([this] { publishLoop(); });
    threads_.emplace_back([this] { uploadLoop(); });
    for (int i = 0; i < fetchThreads; ++i)
        threads_.emplace_back([this] { fetchLoop(); });
}

link::~link() {
    stopping_ = true;
    {
        std::lock_guard lock(publishMutex_);
        publishCv_.notify_all();
        uploadCv_.notify_all();
    }
    {
        std::lock_guard lock(assetMutex_);
        assetCv_.notify_all();
    }
    {
        std::lock_guard lock(sleepMutex_);
        sleepCv_.notify_all();
    }
    {
        std::lock_guard lock(watcherMutex_);
        for (bucket* b : {&nodes_, &presence_})
            if (b->watcher)
                kvWatcher_Stop(b->watcher.get());
    }
    for (std::thread& t : threads_)
        if (t.joinable())
            t.join();
    if (conn_ && connected_ && !writeRefused_ && presence_.kv)
        kvStore_Delete(presence_.kv.get(), self_.key().c_str());
    {
        std::lock_guard lock(callbacks_->mutex);
        callbacks_->target = nullptr;
    }
    for (bucket* b : {&nodes_, &presence_, &assets_}) {
        b->watcher.reset();
        b->kv.reset();
    }
    js_.reset();
    conn_.reset();
    // A callback already under way in the library may still look: it finds no link.
    std::lock_guard lock(librarySlot);
    retired.push_back(callbacks_);
}

// ---- callbacks (libnats threads) ----------------------------------------------------------------

bool link::ownSubject(const char* text) const {
    return std::strstr(text, ("$KV." + nodes_.name + "." + self_.user + ".").c_str()) ||
           std::strstr(text, ("$KV." + presence_.name + "." + self_.user + ".").c_str());
}

void link::onError(natsStatus err, const char* text) {
    // Only a refusal of this site's own records makes it a viewer; a refused model upload is a
    // failed upload.
    if (err == NATS_NOT_PERMITTED && text && std::strstr(text, "Publish") && ownSubject(text))
        refused();
}

void link::refused() {
    writeRefused_ = true;
    if (!toldRefused_.exchange(true))
        log_ << "shared scene: user " << self_.user << " may not write to scene " << options_.scene
             << ": this site views it, its edits stay local" << std::endl;
    std::lock_guard lock(publishMutex_);
    publishCv_.notify_all();
}

void link::onDisconnected() {
    connected_ = false;
}

void link::onReconnected() {
    connected_ = true;
    // Not known what landed while away: everything goes again.
    resendEverything();
}

void link::onAck(natsMsg* msg, jsPubAckErr* pae) {
    const char* subject = msg ? natsMsg_GetSubject(msg) : nullptr;
    const std::string prefix = "$KV." + nodes_.name + ".";
    if (!subject || std::strncmp(subject, prefix.c_str(), prefix.size()) != 0)
        return;
    const std::string key = subject + prefix.size();
    if (pae && pae->Err == NATS_NOT_PERMITTED && ownSubject(subject))
        refused();
    std::lock_guard lock(publishMutex_);
    if (!keys_.count(key))
        return;
    update(key, [&](keyState& k) {
        if (k.inflight > 0)
            --k.inflight;
        if (pae && pae->Err != NATS_OK) {
            // Not known whether it landed: this key goes again, later each time it fails.
            ++k.failures;
            k.dirty = true;
            k.acked = false;
            k.retryAt = clock::now() + backoff(k.failures, std::chrono::milliseconds(200),
                                               std::chrono::seconds(30));
            lastError_ =
                pae->ErrText && *pae->ErrText ? printable(pae->ErrText) : statusText(pae->Err);
        } else if (k.inflight == 0 && !k.dirty) {
            k.acked = true;
            k.failures = 0;
        }
    });
    if (pae && pae->Err != NATS_OK && !stopping_ &&
        clock::now() - lastErrorLine_ > std::chrono::seconds(10)) {
        lastErrorLine_ = clock::now();
        log_ << "shared scene: the broker did not take a record (" << lastError_
             << "); sending it again" << std::endl;
    }
    // A delete the broker acknowledged is done with.
    auto it = keys_.find(key);
    if (it != keys_.end() && it->second.erase && it->second.settled())
        keys_.erase(it);
    publishCv_.notify_all();
}

// ---- publishing ---------------------------------------------------------------------------------

template <class F> void link::update(const std::string& key, F&& change) {
    auto [it, fresh] = keys_.try_emplace(key);
    keyState& k = it->second;
    // A key not known before counts as settled: nothing was wanted of it.
    const bool before = fresh || k.settled();
    change(k);
    const bool after = k.settled();
    if (before && !after)
        ++unsettled_;
    else if (!before && after)
        --unsettled_;
}

void link::enqueue(outgoing item) {
    const auto unpark = [&] {
        if (parked_.erase(item.key))
            --unsettled_;
    };
    if (item.source) {
        sharedModel& m = models_[item.source.get()];
        if (m.scene.expired()) {
            // New, or a model that went away and whose address was used again.
            std::erase_if(models_, [&](const auto& e) {
                return e.second.scene.expired() && e.first != item.source.get();
            });
            m = sharedModel{};
            m.scene = item.source;
            uploads_.push_back(item.source);
            uploadCv_.notify_one();
        }
        if (m.state == sharedModel::stored) {
            item.record.meshScene = m.hash;
            unpark();
        } else {
            if (m.state == sharedModel::tooLarge) {
                unpark();
            } else {
                // Sent again, with its model, once the model is stored; until then a node that
                // is new waits for it, and one whose model could not be stored goes without.
                if (parked_.insert_or_assign(item.key, item).second)
                    ++unsettled_;
                if (m.state == sharedModel::working)
                    return;
            }
            item.record.meshScene.clear();
            item.record.meshes.clear();
        }
    } else {
        unpark();
    }
    std::string value = item.erase ? std::string() : encodeRecord(item.record);
    update(item.key, [&](keyState& k) {
        if (k.erase == item.erase && k.value == value && (k.acked || k.inflight > 0 || k.dirty))
            return;
        k.erase = item.erase;
        k.value = std::move(value);
        k.dirty = true;
        k.acked = false;
        k.failures = 0;
        k.retryAt = {};
    });
}

void link::publish(std::vector<outgoing> items) {
    if (items.empty())
        return;
    std::lock_guard lock(publishMutex_);
    for (outgoing& item : items)
        enqueue(std::move(item));
    publishCv_.notify_all();
}

void link::verifyOwn(const std::string& key, const std::string& value, bool erased) {
    if (writeRefused_)
        return;
    std::lock_guard lock(publishMutex_);
    auto it = keys_.find(key);
    if (it == keys_.end()) {
        // A record of this site that it does not want (a write that landed late): deleted.
        if (!erased)
            update(key, [](keyState& k) {
                k.erase = true;
                k.dirty = true;
                k.acked = false;
            });
    } else {
        keyState& k = it->second;
        if (k.dirty || k.inflight > 0)
            return;
        if (k.erase ? !erased : (erased || value != k.value))
            update(key, [](keyState& s) {
                s.dirty = true;
                s.acked = false;
            });
    }
    publishCv_.notify_all();
}

void link::resendEverything() {
    std::lock_guard lock(publishMutex_);
    for (auto& [key, state] : keys_)
        update(key, [](keyState& k) {
            k.dirty = true;
            k.acked = false;
            k.retryAt = {};
        });
    publishCv_.notify_all();
}

std::size_t link::unsettled() {
    std::lock_guard lock(publishMutex_);
    return unsettled_;
}

std::string link::lastError() {
    std::lock_guard lock(publishMutex_);
    return lastError_;
}

void link::publishLoop() {
    struct send {
        std::string key;
        std::string value;
        bool erase;
    };
    std::vector<send> batch;
    while (!stopping_) {
        batch.clear();
        clock::time_point next = clock::now() + std::chrono::milliseconds(200);
        {
            std::unique_lock lock(publishMutex_);
            const auto now = clock::now();
            if (connected_ && !writeRefused_) {
                for (auto& [key, k] : keys_) {
                    if (!k.dirty)
                        continue;
                    if (k.retryAt > now) {
                        next = std::min(next, k.retryAt);
                        continue;
                    }
                    if (batch.size() >= sendBatch) {
                        next = now;
                        break;
                    }
                    k.dirty = false;
                    ++k.inflight;
                    batch.push_back({key, k.value, k.erase});
                }
            }
            if (batch.empty()) {
                publishCv_.wait_until(lock, next);
                continue;
            }
        }
        for (const send& s : batch) {
            const std::string subject = "$KV." + nodes_.name + "." + s.key;
            jsPubOptions o;
            jsPubOptions_Init(&o);
            // An acknowledgement that does not come ends as an error after 5 s.
            o.MaxWait = 5000;
            natsStatus st = NATS_OK;
            if (s.erase) {
                natsMsg* msg = nullptr;
                st = natsMsg_Create(&msg, subject.c_str(), nullptr, nullptr, 0);
                if (st == NATS_OK) {
                    natsMsgHeader_Set(msg, "KV-Operation", "DEL");
                    st = js_PublishMsgAsync(js_.get(), &msg, &o);
                    if (msg)
                        natsMsg_Destroy(msg);
                }
            } else {
                st = js_PublishAsync(js_.get(), subject.c_str(), s.value.data(),
                                     static_cast<int>(s.value.size()), &o);
            }
            if (st != NATS_OK) {
                std::lock_guard lock(publishMutex_);
                if (keys_.count(s.key))
                    update(s.key, [&](keyState& k) {
                        if (k.inflight > 0)
                            --k.inflight;
                        ++k.failures;
                        k.dirty = true;
                        k.retryAt =
                            clock::now() + backoff(k.failures, std::chrono::milliseconds(200),
                                                   std::chrono::seconds(30));
                    });
            }
        }
    }
}

// ---- this site's models -------------------------------------------------------------------------

void link::uploadLoop() {
    std::unique_lock lock(publishMutex_);
    while (!stopping_) {
        const auto now = clock::now();
        clock::time_point next = now + std::chrono::seconds(60);
        for (auto& [p, m] : models_) {
            if (m.state != sharedModel::failed)
                continue;
            if (m.retryAt > now) {
                next = std::min(next, m.retryAt);
            } else if (auto scene = m.scene.lock()) {
                m.state = sharedModel::working;
                uploads_.push_back(std::move(scene));
            }
        }
        if (uploads_.empty()) {
            uploadCv_.wait_until(lock, next);
            continue;
        }
        std::shared_ptr<const import::scene> scene = std::move(uploads_.front());
        uploads_.pop_front();
        lock.unlock();
        // The size first: a model over the limit is never encoded.
        const std::size_t size = import::encodedSize(*scene);
        std::string hash;
        bool ok = false;
        const bool tooLarge = size > maxAssetBytes;
        if (tooLarge) {
            log_ << "shared scene: a model of " << size
                 << " bytes is larger than 512 MiB and is shared without geometry" << std::endl;
        } else {
            const std::vector<std::byte> blob = import::encode(*scene);
            hash = sha256Hex(blob);
            remember(hash, scene, blob.size());
            ok = upload(hash, blob);
        }
        lock.lock();
        auto it = models_.find(scene.get());
        if (it == models_.end())
            continue;
        sharedModel& m = it->second;
        m.hash = hash;
        if (tooLarge) {
            m.state = sharedModel::tooLarge;
        } else if (ok) {
            m.state = sharedModel::stored;
            m.failures = 0;
        } else {
            m.state = sharedModel::failed;
            ++m.failures;
            m.retryAt = clock::now() +
                        backoff(m.failures, std::chrono::seconds(1), std::chrono::seconds(60));
            if (!stopping_ && m.failures == 1)
                log_ << "shared scene: could not store a model on the broker; it is shared "
                        "without geometry until it is"
                     << std::endl;
        }
        // The records that wait for this model go out, with it or (for now) without.
        std::vector<outgoing> waiting;
        for (auto& [key, item] : parked_)
            if (item.source == scene)
                waiting.push_back(item);
        for (outgoing& item : waiting)
            enqueue(std::move(item));
        publishCv_.notify_all();
    }
}

bool link::upload(const std::string& hash, const std::vector<std::byte>& blob) {
    const std::string key = self_.user + "." + hash;
    // This user's own complete copy may be there already (another of its sites stored it).
    std::string reason;
    bool transient = false, missing = false;
    if (download(self_.user, hash, reason, transient, missing))
        return true;
    if (writeRefused_)
        return false;
    assetManifest m;
    m.size = blob.size();
    m.chunks = static_cast<std::uint32_t>((blob.size() + assetChunkBytes - 1) / assetChunkBytes);
    for (std::uint32_t i = 0; i < m.chunks; ++i) {
        if (stopping_)
            return false;
        const std::size_t from = std::size_t(i) * assetChunkBytes;
        const std::size_t n = std::min(assetChunkBytes, blob.size() - from);
        const std::string chunk = key + "." + std::to_string(i);
        if (kvStore_Put(nullptr, assets_.kv.get(), chunk.c_str(), blob.data() + from,
                        static_cast<int>(n)) != NATS_OK)
            return false;
    }
    const std::string text = encodeManifest(m);
    return kvStore_PutString(nullptr, assets_.kv.get(), key.c_str(), text.c_str()) == NATS_OK;
}

// ---- other sites' models ------------------------------------------------------------------------

void link::remember(const std::string& hash, const sceneRef& scene, std::size_t bytes) {
    std::lock_guard lock(assetMutex_);
    if (auto it = cache_.find(hash); it != cache_.end()) {
        cacheUse_.splice(cacheUse_.begin(), cacheUse_, it->second.use);
        return;
    }
    cacheUse_.push_front(hash);
    cache_.emplace(hash, cached{scene, bytes, cacheUse_.begin()});
    cacheBytes_ += bytes;
    while (cacheBytes_ > cacheLimitBytes && cacheUse_.size() > 1) {
        auto last = cache_.find(cacheUse_.back());
        cacheBytes_ -= last->second.bytes;
        cache_.erase(last);
        cacheUse_.pop_back();
    }
}

sceneRef link::findAsset(const std::string& hash) {
    std::lock_guard lock(assetMutex_);
    auto it = cache_.find(hash);
    if (it == cache_.end())
        return nullptr;
    cacheUse_.splice(cacheUse_.begin(), cacheUse_, it->second.use);
    return it->second.scene;
}

void link::fetch(const assetRequest& request) {
    if (sceneRef held = findAsset(request.hash)) {
        std::lock_guard lock(inboxMutex_);
        assetInbox_.push_back({request.user, request.hash, std::move(held)});
        if (wakeUp_)
            wakeUp_();
        return;
    }
    std::lock_guard lock(assetMutex_);
    const std::string id = request.user + "." + request.hash;
    auto known = fetches_.find(id);
    if (known != fetches_.end() && known->second.state != fetchState::failed)
        return;
    if (known == fetches_.end() && fetches_.size() >= maxFetches) {
        // Room is made from what will not be fetched again soon; failing that the request waits
        // for a later record that names the model.
        auto f = fetches_.begin();
        for (int looked = 0; f != fetches_.end() && looked < 64; ++f, ++looked)
            if (f->second.state == fetchState::failed || (f->second.state == fetchState::missing &&
                                                          f->second.retryAt == clock::time_point{}))
                break;
        if (f == fetches_.end() ||
            (f->second.state != fetchState::failed && f->second.state != fetchState::missing))
            return;
        fetches_.erase(f);
    }
    fetches_[id] = fetchState{};
    ++underWay_;
    fetchQueues_[request.user].push_back(request.hash);
    assetCv_.notify_one();
}

std::vector<std::string> link::missingAssets() {
    std::lock_guard lock(assetMutex_);
    std::vector<std::string> out;
    for (const auto& [id, f] : fetches_)
        if (f.state == fetchState::missing)
            out.push_back(id);
    std::sort(out.begin(), out.end());
    return out;
}

std::size_t link::fetchesUnderWay() {
    std::lock_guard lock(assetMutex_);
    return underWay_;
}

void link::fetchLoop() {
    std::unique_lock lock(assetMutex_);
    while (!stopping_) {
        // Fetches due again go back into their users' queues.
        const auto now = clock::now();
        clock::time_point next = now + std::chrono::seconds(1);
        while (!retries_.empty() && retries_.begin()->first <= now) {
            const std::string id = std::move(retries_.begin()->second);
            retries_.erase(retries_.begin());
            auto f = fetches_.find(id);
            if (f == fetches_.end() || f->second.retryAt == clock::time_point{})
                continue;
            f->second.retryAt = {};
            if (f->second.state == fetchState::missing)
                ++underWay_;
            f->second.state = fetchState::queued;
            const std::size_t dot = id.find('.');
            fetchQueues_[id.substr(0, dot)].push_back(id.substr(dot + 1));
        }
        if (!retries_.empty())
            next = std::min(next, retries_.begin()->first);
        // Users take turns: the one after the last served.
        auto q = fetchQueues_.upper_bound(lastUserServed_);
        if (q == fetchQueues_.end())
            q = fetchQueues_.begin();
        if (q == fetchQueues_.end()) {
            assetCv_.wait_until(lock, next);
            continue;
        }
        const std::string user = q->first;
        const std::string hash = q->second.front();
        q->second.pop_front();
        if (q->second.empty())
            fetchQueues_.erase(q);
        lastUserServed_ = user;
        const std::string id = user + "." + hash;
        auto f = fetches_.find(id);
        if (f == fetches_.end())
            continue;
        const bool wasMissing = f->second.attempts > 0;
        f->second.state = fetchState::fetching;
        ++fetching_;
        lock.unlock();
        std::string reason;
        bool transient = false, missing = false;
        sceneRef scene = findAsset(hash);
        if (!scene)
            scene = download(user, hash, reason, transient, missing);
        lock.lock();
        --fetching_;
        f = fetches_.find(id);
        if (scene) {
            if (f != fetches_.end()) {
                fetches_.erase(f);
                --underWay_;
            }
        } else if (f != fetches_.end()) {
            fetchState& st = f->second;
            ++st.attempts;
            if (missing || transient) {
                // A model that is not there is looked for again a few times, less often each time;
                // sync does not wait for it meanwhile.
                st.state = missing ? fetchState::missing : fetchState::retrying;
                if (missing)
                    --underWay_;
                if (st.attempts < 8) {
                    st.retryAt = clock::now() + backoff(st.attempts, std::chrono::seconds(1),
                                                        std::chrono::seconds(60));
                    retries_.emplace(st.retryAt, id);
                } else if (!missing) {
                    st.state = fetchState::missing;
                    --underWay_;
                }
                if (missing && !wasMissing && !stopping_ &&
                    clock::now() - lastMissingLine_ > std::chrono::seconds(1)) {
                    lastMissingLine_ = clock::now();
                    log_ << "shared scene: model " << printable(id, 32)
                         << "... is not on the broker; looking again later" << std::endl;
                }
                continue;
            }
            st.state = fetchState::failed;
            --underWay_;
            if (!stopping_)
                log_ << "shared scene: dropped a model of user " << printable(user) << ": "
                     << reason << std::endl;
        }
        lock.unlock();
        {
            std::lock_guard inbox(inboxMutex_);
            assetInbox_.push_back({user, hash, scene});
            if (wakeUp_)
                wakeUp_();
        }
        lock.lock();
    }
}

sceneRef link::download(const std::string& user, const std::string& hash, std::string& reason,
                        bool& transient, bool& missing) {
    const std::string key = user + "." + hash;
    kvEntry* raw = nullptr;
    natsStatus s = kvStore_Get(&raw, assets_.kv.get(), key.c_str());
    entryHandle entry(raw);
    if (s == NATS_NOT_FOUND) {
        missing = true;
        reason = "no model " + key.substr(0, 32) + "... on the broker";
        return nullptr;
    }
    if (s != NATS_OK) {
        transient = true;
        reason = "the broker did not give a model (" + statusText(s) + ")";
        return nullptr;
    }
    const char* text = kvEntry_ValueString(raw);
    const std::optional<assetManifest> manifest =
        decodeManifest(std::string_view(text ? text : ""), reason);
    if (!manifest)
        return nullptr;
    std::vector<std::byte> blob;
    blob.reserve(static_cast<std::size_t>(manifest->size));
    for (std::uint32_t i = 0; i < manifest->chunks; ++i) {
        if (stopping_) {
            transient = true;
            return nullptr;
        }
        const std::string chunk = key + "." + std::to_string(i);
        raw = nullptr;
        s = kvStore_Get(&raw, assets_.kv.get(), chunk.c_str());
        entryHandle part(raw);
        if (s != NATS_OK) {
            // The writer may still be uploading it.
            transient = true;
            missing = s == NATS_NOT_FOUND;
            reason = "chunk " + std::to_string(i) + " of a model is missing";
            return nullptr;
        }
        const std::size_t expected =
            std::min<std::uint64_t>(manifest->chunkBytes, manifest->size - blob.size());
        const auto* data = static_cast<const std::byte*>(kvEntry_Value(raw));
        const auto n = static_cast<std::size_t>(kvEntry_ValueLen(raw));
        if (n != expected || !data) {
            reason = "a chunk of a model has the wrong size";
            return nullptr;
        }
        blob.insert(blob.end(), data, data + n);
    }
    if (sha256Hex(blob) != hash) {
        reason = "a model does not match its hash";
        return nullptr;
    }
    import::decodeResult decoded = import::decode(blob);
    if (decoded.status != import::decodeStatus::scene || !decoded.value) {
        reason = "a model does not decode: " + printable(decoded.reason);
        return nullptr;
    }
    auto scene = std::make_shared<const import::scene>(std::move(*decoded.value));
    remember(hash, scene, blob.size());
    return scene;
}

// ---- watching -----------------------------------------------------------------------------------

std::optional<std::uint64_t> link::nodesLastSequence(int waitMs) {
    jsStreamInfo* raw = nullptr;
    jsOptions o;
    jsOptions_Init(&o);
    o.Wait = waitMs;
    const std::string stream = "KV_" + nodes_.name;
    if (js_GetStreamInfo(&raw, js_.get(), stream.c_str(), &o, nullptr) != NATS_OK)
        return std::nullopt;
    streamInfoHandle info(raw);
    return info->State.LastSeq;
}

std::vector<bucketEntry> link::takeNodes(std::size_t max) {
    std::vector<bucketEntry> out;
    std::lock_guard lock(inboxMutex_);
    while (!nodeOrder_.empty() && out.size() < max) {
        auto it = nodeInbox_.find(nodeOrder_.front());
        nodeOrder_.pop_front();
        if (it == nodeInbox_.end())
            continue;
        out.push_back(std::move(it->second));
        nodeInbox_.erase(it);
    }
    return out;
}

void link::setWakeUp(std::function<void()> wake) {
    std::lock_guard lock(inboxMutex_);
    wakeUp_ = std::move(wake);
}

std::vector<bucketEntry> link::takePresence() {
    std::lock_guard lock(inboxMutex_);
    std::vector<bucketEntry> out;
    out.reserve(presenceInbox_.size());
    for (auto& [key, e] : presenceInbox_)
        out.push_back(std::move(e));
    presenceInbox_.clear();
    return out;
}

std::vector<arrivedAsset> link::takeAssets() {
    std::lock_guard lock(inboxMutex_);
    return std::exchange(assetInbox_, {});
}

void link::presenceLoop() {
    const std::string subject = "$KV." + presence_.name + "." + self_.key();
    const std::string value = encodePresence({self_.user, selfId_, joinedAt_});
    std::unique_lock lock(sleepMutex_);
    while (!stopping_) {
        // A plain publish: it never waits for the broker, so nothing else can hold it up.
        if (connected_ && !writeRefused_)
            natsConnection_Publish(conn_.get(), subject.c_str(), value.data(),
                                   static_cast<int>(value.size()));
        sleepCv_.wait_for(lock, presenceRefresh, [&] { return stopping_.load(); });
    }
}

// Drains the bucket's watcher. A watcher that has been quiet while its stream moved on (its
// consumer went down with a cluster node), or whose bucket was lost and made again, is made
// again; the records it replays are states, so applying them again is harmless.
void link::watchLoop(bucket& b, bool presence) {
    auto lastEntry = clock::now();
    auto nextCheck = clock::now();
    std::uint64_t seen = 0;
    int checks = 0;
    while (!stopping_) {
        const auto now = clock::now();
        if (connected_ && now - lastEntry > std::chrono::seconds(3) && now >= nextCheck) {
            jsStreamInfo* raw = nullptr;
            jsOptions o;
            jsOptions_Init(&o);
            o.Wait = 1000;
            const std::string stream = "KV_" + b.name;
            const natsStatus s = js_GetStreamInfo(&raw, js_.get(), stream.c_str(), &o, nullptr);
            streamInfoHandle info(raw);
            bool again = false;
            if (s == NATS_OK) {
                const std::uint64_t last = info->State.LastSeq;
                again = last > seen || last < seen; // moved on, or made anew
                if (last < seen)
                    seen = 0;
            } else if (s == NATS_NOT_FOUND) {
                // The bucket is gone: make it again where this user may.
                std::string error;
                bucket fresh;
                if (openBucket(fresh, b.name, presence ? presenceTtlNs : 0, error)) {
                    again = true;
                    seen = 0;
                }
            }
            ++checks;
            nextCheck = now + (again ? std::chrono::seconds(2)
                                     : std::min<clock::duration>(std::chrono::seconds(2) * checks,
                                                                 std::chrono::seconds(10)));
            if (again) {
                std::lock_guard lock(watcherMutex_);
                kvWatcher* w = nullptr;
                if (!stopping_ && kvStore_WatchAll(&w, b.kv.get(), nullptr) == NATS_OK) {
                    b.watcher.reset(w);
                    lastEntry = clock::now();
                    checks = 0;
                    if (!presence)
                        resendEverything();
                }
            }
        }
        kvEntry* raw = nullptr;
        const natsStatus s = kvWatcher_Next(&raw, b.watcher.get(), 100);
        entryHandle entry(raw);
        if (stopping_)
            break;
        if (s == NATS_TIMEOUT)
            continue;
        if (s != NATS_OK) {
            std::unique_lock lock(sleepMutex_);
            sleepCv_.wait_for(lock, std::chrono::milliseconds(50));
            continue;
        }
        lastEntry = clock::now();
        if (!raw) {
            (presence ? presenceLoaded_ : nodesLoaded_) = true;
            continue;
        }
        bucketEntry e;
        e.key = kvEntry_Key(raw);
        const kvOperation op = kvEntry_Operation(raw);
        e.erased = op == kvOp_Delete || op == kvOp_Purge;
        if (!e.erased && kvEntry_Value(raw))
            e.value.assign(static_cast<const char*>(kvEntry_Value(raw)),
                           static_cast<std::size_t>(kvEntry_ValueLen(raw)));
        e.revision = kvEntry_Revision(raw);
        seen = std::max(seen, e.revision);
        std::lock_guard lock(inboxMutex_);
        if (presence) {
            std::string k = e.key;
            presenceInbox_[std::move(k)] = std::move(e);
        } else {
            // The newest entry per key, in the place of the first.
            auto [it, fresh] = nodeInbox_.try_emplace(e.key);
            if (fresh)
                nodeOrder_.push_back(e.key);
            it->second = std::move(e);
        }
        if (wakeUp_)
            wakeUp_();
    }
}

} // namespace zel::share::detail
