#include "broker_link.h"

#include <zel/share/key_watch.h>

#include <cstring>
#include <thread>

namespace zel::share::detail {

namespace {

constexpr std::int64_t presenceTtlNs = 5'000'000'000;
// The largest message the broker takes in each bucket, headers included: a record, or a chunk of a
// model with a few headers.
constexpr std::int32_t maxRecordMessage = 64 * 1024;
constexpr std::int32_t maxAssetMessage = (1 << 20) + 4 * 1024;
// What the node and presence buckets may hold in all: 100,000 nodes of a few hundred bytes for each
// of many users, and every present site's record, with room to spare.
constexpr std::int64_t maxNodeBucketBytes = std::int64_t(1) << 30;
constexpr std::int64_t maxPresenceBucketBytes = std::int64_t(64) << 20;
// How many records go out before the publisher looks at the acknowledgements again.
constexpr std::size_t sendBatch = 4096;
// Decoded models kept for mirrors that may name them later, by encoded bytes.
constexpr std::size_t cacheLimitBytes = std::size_t(256) << 20;
constexpr int fetchThreads = 3;

} // namespace

brokerLink::brokerLink(std::ostream& log, const shareOptions& options, const siteName& self)
    : log_(log), options_(options), self_(self), selfId_(self.id()),
      nodes_({"zel-scene-" + options.scene, options.scene, 0, maxRecordMessage, maxNodeBucketBytes},
             log, connected_, stopping_,
             {[this] { wake(); }, [this] { publisher_.resendEverything(); },
              [this] { verifyEverything(); }}),
      presence_({"zel-presence-" + options.scene, options.scene, presenceTtlNs, maxRecordMessage,
                 maxPresenceBucketBytes},
                log, connected_, stopping_, {[this] { wake(); }, {}, {}}),
      cache_(cacheLimitBytes), store_(stopping_),
      uploader_(store_, cache_, self.user, log, stopping_, writeRefused_,
                [this](const import::scene* s) { modelDone(s); }),
      fetcher_(store_, cache_, log, stopping_,
               [this](const std::string& user, const std::string& hash, sceneRef scene) {
                   {
                       std::lock_guard lock(assetInboxMutex_);
                       assetInbox_.push_back({user, hash, std::move(scene)});
                   }
                   wake();
               }) {
    if (!options.modelCacheFolder.empty()) {
        modelCache_ = std::make_unique<zel::import::diskCache>(zel::import::cacheSettings{
            true, options.modelCacheFolder, options.modelCacheBytes, options.modelCacheBase});
        store_.keepOnDisk(modelCache_.get());
    }
    joinedAt_ =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::unique_ptr<brokerLink> brokerLink::open(const shareOptions& options, const siteName& self,
                                             std::ostream& log, std::string& error) {
    std::unique_ptr<brokerLink> l(new brokerLink(log, options, self));
    if (!l->open(error))
        return nullptr;
    l->start();
    return l;
}

bool brokerLink::open(std::string& error) {
    conn_ = connection::open(options_, *this, error);
    if (!conn_)
        return false;
    if (!nodes_.open(*conn_, error) || !presence_.open(*conn_, error))
        return false;
    storeHandle assets;
    const bucketSpec spec{"zel-assets-" + options_.scene, options_.scene, 0, maxAssetMessage,
                          options_.assetLimitBytes > 0 ? options_.assetLimitBytes : -1};
    if (!conn_->openBucket(assets, spec, log_, error))
        return false;
    store_.attach(std::move(assets));
    beacon_ = std::make_unique<presenceBeacon>(
        *conn_, "$KV." + presence_.name() + "." + self_.key(),
        encodePresence({self_.user, selfId_, joinedAt_}), connected_, writeRefused_);
    return true;
}

void brokerLink::start() {
    threads_.emplace_back([this] { nodes_.run(); });
    threads_.emplace_back([this] { presence_.run(); });
    threads_.emplace_back([this] { beacon_->run(); });
    threads_.emplace_back([this] { publishLoop(); });
    threads_.emplace_back([this] { uploader_.run(); });
    threads_.emplace_back([this] { watchOwnAssets(); });
    for (int i = 0; i < fetchThreads; ++i)
        threads_.emplace_back([this] { fetcher_.run(); });
}

brokerLink::~brokerLink() {
    stopping_ = true;
    publisher_.stop();
    uploader_.stop();
    fetcher_.stop();
    if (beacon_)
        beacon_->stop();
    // The watchers' threads see stopping_ within a tenth of a second.
    for (std::thread& t : threads_)
        if (t.joinable())
            t.join();
    if (conn_ && connected_ && !writeRefused_ && presence_.store())
        kvStore_Delete(presence_.store(), self_.key().c_str());
    if (conn_) {
        conn_->detach();
        // Closed before the watchers go, whose consumers then go away by themselves.
        conn_->close();
    }
    ownAssets_.reset();
    nodes_.close();
    presence_.close();
    store_.close();
    conn_.reset();
}

void brokerLink::wake() {
    std::lock_guard lock(wakeMutex_);
    if (wakeUp_)
        wakeUp_();
}

void brokerLink::setWakeUp(std::function<void()> wake) {
    std::lock_guard lock(wakeMutex_);
    wakeUp_ = std::move(wake);
}

std::vector<arrivedAsset> brokerLink::takeAssets() {
    std::lock_guard lock(assetInboxMutex_);
    return std::exchange(assetInbox_, {});
}

// ---- callbacks (libnats threads) ----------------------------------------------------------------

bool brokerLink::ownSubject(const char* text) const {
    return std::strstr(text, ("$KV." + nodes_.name() + "." + self_.user + ".").c_str()) ||
           std::strstr(text, ("$KV." + presence_.name() + "." + self_.user + ".").c_str());
}

void brokerLink::onError(natsStatus err, const char* text) {
    // Only a refusal of this site's own records makes it a viewer; a refused model upload is a
    // failed upload.
    if (err == NATS_NOT_PERMITTED && text && std::strstr(text, "Publish") && ownSubject(text))
        refused();
}

void brokerLink::refused() {
    writeRefused_ = true;
    if (!toldRefused_.exchange(true))
        log_ << "shared scene: user " << self_.user << " may not write to scene " << options_.scene
             << ": this site views it, its edits stay local" << std::endl;
}

void brokerLink::onDisconnected() {
    connected_ = false;
}

void brokerLink::onReconnected() {
    connected_ = true;
    // Not known what landed while away: everything goes again.
    publisher_.resendEverything();
}

void brokerLink::onAck(natsMsg* msg, jsPubAckErr* pae) {
    const char* subject = msg ? natsMsg_GetSubject(msg) : nullptr;
    const std::string prefix = "$KV." + nodes_.name() + ".";
    if (!subject || std::strncmp(subject, prefix.c_str(), prefix.size()) != 0)
        return;
    const std::string key = subject + prefix.size();
    if (pae && pae->Err == NATS_NOT_PERMITTED && ownSubject(subject))
        refused();
    const bool ok = !pae || pae->Err == NATS_OK;
    const std::string error =
        ok ? std::string()
           : (pae->ErrText && *pae->ErrText ? printable(pae->ErrText) : statusText(pae->Err));
    if (publisher_.acknowledged(key, ok, error) && !stopping_)
        log_ << "shared scene: the broker did not take a record (" << error << "); sending it again"
             << std::endl;
}

// ---- records --------------------------------------------------------------------------------

void brokerLink::route(outgoing item) {
    const auto unpark = [&] { parked_.erase(item.key); };
    if (item.source) {
        const modelUploader::model m = uploader_.want(item.source);
        if (m.state == modelUploader::status::stored) {
            item.record.meshScene = m.hash;
            unpark();
        } else {
            if (m.state == modelUploader::status::tooLarge) {
                unpark();
            } else {
                // Sent again, with its model, once the model is stored; until then a node that
                // is new waits for it, and one whose model could not be stored goes without.
                parked_.insert_or_assign(item.key, item);
                if (m.state == modelUploader::status::working)
                    return;
            }
            item.record.meshScene.clear();
            item.record.meshes.clear();
        }
    } else {
        unpark();
    }
    publisher_.put(item.key, item.erase ? std::string() : encodeRecord(item.record), item.erase);
}

void brokerLink::publish(std::vector<outgoing> items) {
    if (items.empty())
        return;
    std::lock_guard lock(routeMutex_);
    for (outgoing& item : items)
        route(std::move(item));
}

void brokerLink::modelDone(const import::scene* scene) {
    std::lock_guard lock(routeMutex_);
    std::vector<outgoing> waiting;
    for (auto& [key, item] : parked_)
        if (item.source.get() == scene)
            waiting.push_back(item);
    for (outgoing& item : waiting)
        route(std::move(item));
}

void brokerLink::verifyEverything() {
    if (!stopping_ && !toldPurged_.exchange(true))
        log_ << "shared scene: records were purged from the scene's bucket; this site puts its "
                "own back"
             << std::endl;
    publisher_.resendEverything();
    uploader_.recheck();
}

void brokerLink::verifyOwn(const std::string& key, const std::string& value, bool erased) {
    if (!writeRefused_)
        publisher_.verifyOwn(key, value, erased);
}

std::size_t brokerLink::unsettled() {
    std::lock_guard lock(routeMutex_);
    return publisher_.unsettled() + parked_.size();
}

bool brokerLink::send(const std::string& key, const std::string& value, bool erase) {
    const std::string subject = "$KV." + nodes_.name() + "." + key;
    jsPubOptions o;
    jsPubOptions_Init(&o);
    // An acknowledgement that does not come ends as an error after 5 s.
    o.MaxWait = 5000;
    if (!erase)
        return js_PublishAsync(conn_->jetStream(), subject.c_str(), value.data(),
                               static_cast<int>(value.size()), &o) == NATS_OK;
    natsMsg* msg = nullptr;
    natsStatus st = natsMsg_Create(&msg, subject.c_str(), nullptr, nullptr, 0);
    if (st == NATS_OK) {
        natsMsgHeader_Set(msg, "KV-Operation", "DEL");
        st = js_PublishMsgAsync(conn_->jetStream(), &msg, &o);
        if (msg)
            natsMsg_Destroy(msg);
    }
    return st == NATS_OK;
}

void brokerLink::publishLoop() {
    const auto sender = [this](const std::string& key, const std::string& value, bool erase) {
        return send(key, value, erase);
    };
    while (!stopping_) {
        clock::time_point next = clock::now() + std::chrono::milliseconds(200);
        if (connected_ && !writeRefused_ && publisher_.sendDue(sender, sendBatch, next) > 0)
            continue;
        publisher_.wait(next);
    }
}

// ---- this site's models ----------------------------------------------------------------------

void brokerLink::watchOwnAssets() {
    // Only what changes from now on (what was there before is checked when a model is stored),
    // and only the headers.
    const std::string bucket = "zel-assets-" + options_.scene, prefix = "$KV." + bucket + ".";
    // Kept until the connection is closed: taking its consumer down may wait for an answer that
    // only an administrator gets.
    watcherHandle& watcher = ownAssets_;
    while (!stopping_) {
        if (!watcher) {
            natsSubscription* w = nullptr;
            if (writeRefused_ || !conn_ || !conn_->jetStream() ||
                !(w = watchKeys(conn_->jetStream(), bucket, self_.user + ".>",
                                {js_DeliverNew, true, 10000, 64 * 1024 * 1024}))) {
                // Nothing this site could mend, or the broker is away: later.
                for (int i = 0; i < 20 && !stopping_; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            watcher.reset(w);
        }
        natsMsg* raw = nullptr;
        const natsStatus s = natsSubscription_NextMsg(&raw, watcher.get(), 100);
        messageHandle msg(raw);
        if (s == NATS_TIMEOUT)
            continue;
        if (s != NATS_OK || !raw) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        const char* got = natsMsg_GetSubject(raw);
        jsMsgMetaData* meta = nullptr;
        if (!got || std::strncmp(got, prefix.c_str(), prefix.size()) != 0 ||
            natsMsg_GetMetaData(&meta, raw) != NATS_OK)
            continue;
        const std::uint64_t revision = meta->Sequence.Stream;
        jsMsgMetaData_Destroy(meta);
        const std::string key = got + prefix.size();
        if (key.size() <= self_.user.size() + 1 || store_.wrote(key, revision))
            continue;
        // "user.hash" or "user.hash.i"
        const std::size_t from = self_.user.size() + 1;
        const std::string hash = key.substr(from, key.find('.', from) - from);
        if (validHash(hash))
            uploader_.repair(hash);
    }
}

// ---- other sites' models --------------------------------------------------------------------

void brokerLink::fetch(const assetRequest& request) {
    if (sceneRef held = cache_.find(request.hash)) {
        {
            std::lock_guard lock(assetInboxMutex_);
            assetInbox_.push_back({request.user, request.hash, std::move(held)});
        }
        wake();
        return;
    }
    fetcher_.fetch(request.user, request.hash);
}

} // namespace zel::share::detail
