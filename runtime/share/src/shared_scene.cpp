#include <zel/share/shared_scene.h>

#include <zel/share/records.h>
#include <zel/world/animation.h>
#include <zel/world/geometry.h>
#include <zel/world/scene_node.h>

#include <zel/import/imported_scene.h>
#include <zel/import/scene_codec.h>

#include <nats/nats.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

namespace zel::share {

namespace {

using clock = std::chrono::steady_clock;
using world::sceneNode;

// A site whose presence was not refreshed for this long is gone (it refreshes every second and
// the broker forgets it after 5 s).
constexpr auto presenceTimeout = std::chrono::milliseconds(4000);
constexpr auto presenceRefresh = std::chrono::milliseconds(1000);
constexpr std::int64_t presenceTtlNs = 5'000'000'000;

std::atomic<int> liveScenes{0};

std::string statusText(natsStatus s) {
    const char* text = natsStatus_GetText(s);
    return text ? text : "unknown error";
}

// What the watch and presence threads hand to the world's thread.
struct incoming {
    enum kind { node, nodesLoaded, presence, presenceLoaded, asset } what = node;
    std::string key;
    std::string value;
    bool erased = false;
    std::uint64_t revision = 0;
    // asset: the hash and the decoded scene (null when it failed).
    std::shared_ptr<const world::import::scene> scene;
};

// One record on its way out.
struct outgoing {
    bool erase = false;
    nodeRecord record;
    std::shared_ptr<const world::import::scene> source; // its mesh's scene, hashed by the publisher
};

struct mirror {
    sceneNode* node = nullptr;
    siteName site;
    nodeRecord record;
    bool live = false; // a record is there (not deleted)
    sceneNode* placedIn = nullptr;
    std::string shownScene; // the mesh scene whose geometry the node carries
};

struct site {
    std::string user;
    clock::time_point seen;
    bool present = false;
    std::size_t nodes = 0;
    clock::time_point lastComplaint{};
    bool toldReadOnly = false;
};

class bucket {
public:
    bucket() = default;
    ~bucket() {
        if (kv)
            kvStore_Destroy(kv);
    }
    bucket(const bucket&) = delete;
    bucket& operator=(const bucket&) = delete;
    kvStore* kv = nullptr;
    std::string name;
};

} // namespace

struct sharedScene::impl final : world::nodeHooks {
    impl(world::world& w, std::ostream& l) : world(w), log(l) {}

    world::world& world;
    std::ostream& log;
    shareOptions options;
    siteName self;
    std::string selfId;
    double joinedAt = 0.0;

    natsConnection* conn = nullptr;
    jsCtx* js = nullptr;
    bucket nodes, presence, assets;
    kvWatcher* nodeWatcher = nullptr;
    kvWatcher* presenceWatcher = nullptr;
    std::mutex watcherMutex; // the watchers' pointers, replaced by their threads

    std::atomic<bool> stopping{false};
    std::atomic<bool> connected{true};
    std::atomic<bool> republish{false};
    std::atomic<bool> writeRefused{false};
    std::atomic<bool> toldRefused{false};
    std::thread publisherThread, watchThread, presenceThread, assetThread;

    // ---- handed between threads ----
    std::mutex inboxMutex;
    std::vector<incoming> inbox;

    std::mutex outMutex;
    std::condition_variable outReady;
    std::map<std::string, outgoing> outbox;
    std::uint64_t queuedGeneration = 0; // under outMutex
    std::atomic<std::uint64_t> ackedGeneration{0};

    std::mutex assetMutex;
    std::condition_variable assetReady;
    std::deque<std::string> assetQueue;
    std::unordered_map<std::string, std::shared_ptr<const world::import::scene>> assetCache;
    std::atomic<int> assetsPending{0};

    // ---- the world's thread only ----
    std::unordered_set<sceneNode*> dirty;
    std::unordered_map<sceneNode*, std::string> ownKeys; // every key this site gave a node
    std::unordered_set<sceneNode*> published;            // nodes whose record is on the broker
    std::unordered_map<sceneNode*, int> animShown;       // published nodes with an animation
    std::uint64_t nextNode = 1;
    std::unordered_map<std::string, mirror> mirrors;
    std::unordered_map<sceneNode*, std::string> mirrorKeys;
    std::unordered_multimap<std::string, std::string> waiting; // parent key -> child keys
    std::map<std::string, site> sites;
    std::set<std::string> assetsRequested;
    std::uint64_t appliedRevision = 0;
    bool nodesLoaded = false;
    bool presenceLoaded = false;
    bool cleaned = false;
    std::unordered_set<std::string> toldRefusedMirror;
    std::string syncProblem;

    // ---- hooks (world thread) ----
    void changed(sceneNode& n) override {
        if (!n.share().mirror)
            dirty.insert(&n);
    }
    void moved(sceneNode& n) override {
        if (n.share().mirror)
            return;
        world::walkGraph(&n, [&](sceneGraph::iSceneNode* c, int) {
            auto* own = dynamic_cast<sceneNode*>(c);
            if (!own || own->share().mirror)
                return false;
            dirty.insert(own);
            return true;
        });
    }
    void refused(sceneNode& n) override {
        const std::string& owner = n.share().owner;
        if (toldRefusedMirror.insert(owner).second)
            log << "shared scene: " << xstd::toDisplayUtf8(n.getName()) << " belongs to site "
                << owner << ": changes to it are refused here" << std::endl;
    }

    // Once a second per site at most.
    void complain(const std::string& siteId, const std::string& what) {
        site& s = sites[siteId];
        const auto now = clock::now();
        if (s.lastComplaint != clock::time_point{} &&
            now - s.lastComplaint < std::chrono::seconds(1))
            return;
        s.lastComplaint = now;
        log << "shared scene: dropped a record of site " << siteId << ": " << what << std::endl;
    }

    // ---- publishing side (world thread) ----
    bool inScene(sceneNode* n) const {
        sceneNode* root = world.getRootNode();
        for (std::size_t steps = 0; n && steps < 1'000'000; ++steps) {
            if (n == root)
                return true;
            if (n->share().mirror || !n->share().publishable || n->getParents().empty())
                return false;
            n = n->getParents().front();
        }
        return false;
    }

    const std::string& keyOf(sceneNode* n) {
        auto it = ownKeys.find(n);
        if (it == ownKeys.end()) {
            it = ownKeys.emplace(n, nodeKey{self, nextNode++}.text()).first;
            n->share().owner = selfId;
        }
        return it->second;
    }

    outgoing recordOf(sceneNode* n) {
        outgoing out;
        nodeRecord& r = out.record;
        r.name = xstd::toUtf8(n->getName());
        sceneNode* parent = n->getParents().front();
        if (parent != world.getRootNode())
            r.parent = keyOf(parent);
        const auto& siblings = parent->getChildren();
        r.order = static_cast<std::uint64_t>(std::find(siblings.begin(), siblings.end(), n) -
                                             siblings.begin());
        std::copy(n->getMatrix().data(), n->getMatrix().data() + 16, r.matrix.begin());
        for (auto it = n->getAttributes(); it.isValid(); it.advance()) {
            if (auto* g = dynamic_cast<const world::geometryAttr*>(it.getCurrent())) {
                if (!g->getSourceScene() || (out.source && out.source != g->getSourceScene()))
                    continue;
                out.source = g->getSourceScene();
                r.meshes.push_back(g->getSourceIndex());
            } else if (auto* a = dynamic_cast<const anim::animAttr*>(it.getCurrent())) {
                if (r.anim < 0) {
                    r.anim = world.getAnimPlayer()->isPlaying(a->getAnim()) ? 1 : 0;
                    animShown[n] = r.anim;
                }
            }
        }
        r.navigator = n == world.getNavigatorNode();
        return out;
    }

    void flush() {
        // Animations start and stop without touching a node.
        for (auto& [n, shown] : animShown) {
            for (auto it = n->getAttributes(); it.isValid(); it.advance())
                if (auto* a = dynamic_cast<const anim::animAttr*>(it.getCurrent())) {
                    const int now = world.getAnimPlayer()->isPlaying(a->getAnim()) ? 1 : 0;
                    if (now != shown)
                        dirty.insert(n);
                    break;
                }
        }
        if (dirty.empty())
            return;
        std::vector<std::pair<std::string, outgoing>> batch;
        batch.reserve(dirty.size());
        for (sceneNode* n : dirty) {
            if (inScene(n)) {
                const std::string key = keyOf(n);
                batch.emplace_back(key, recordOf(n));
                published.insert(n);
            } else if (published.erase(n)) {
                outgoing gone;
                gone.erase = true;
                batch.emplace_back(ownKeys[n], std::move(gone));
                animShown.erase(n);
            }
        }
        dirty.clear();
        if (batch.empty())
            return;
        {
            std::lock_guard lock(outMutex);
            for (auto& [key, item] : batch)
                outbox[key] = std::move(item);
            ++queuedGeneration;
        }
        outReady.notify_one();
    }

    void markEverything() {
        sceneNode* root = world.getRootNode();
        for (sceneGraph::iSceneNode* c : root->getChildren())
            if (auto* own = dynamic_cast<sceneNode*>(c))
                moved(*own);
    }

    // ---- mirrors (world thread) ----
    bool visible(const siteName& s) {
        auto it = sites.find(s.id());
        return it != sites.end() && it->second.present;
    }

    // Where the mirror's record puts it: under its parent's mirror (or the root when the site is
    // present), at its place among its siblings; nowhere while the parent is unknown.
    void place(const std::string& key, mirror& m) {
        if (m.placedIn) {
            m.placedIn->mirrorRemoveChild(m.node);
            m.placedIn = nullptr;
        }
        if (!m.live)
            return;
        sceneNode* parent = nullptr;
        if (m.record.parent.empty()) {
            if (!visible(m.site))
                return;
            parent = world.getRootNode();
        } else {
            auto p = mirrors.find(m.record.parent);
            if (p == mirrors.end() || !p->second.live) {
                waiting.emplace(m.record.parent, key);
                return;
            }
            parent = p->second.node;
        }
        // Siblings by (site, order, key): "first child" means the same on every site.
        const auto rank = [](const mirror& x, const std::string& k) {
            return std::tie(x.site.user, x.site.hex, x.record.order, k);
        };
        const auto mine = rank(m, key);
        const auto& children = parent->getChildren();
        const auto rankOf = [&](sceneGraph::iSceneNode* child, bool& isMirror) {
            auto* c = dynamic_cast<sceneNode*>(child);
            auto k = c ? mirrorKeys.find(c) : mirrorKeys.end();
            isMirror = k != mirrorKeys.end();
            return k;
        };
        std::int32_t at = parent->getNumChildren();
        if (parent != world.getRootNode()) {
            // A mirror's children are all mirrors of its site, kept in order: the place by
            // bisection (records of a late join arrive in order, so mostly at the end).
            std::size_t lo = 0, hi = children.size();
            while (lo < hi) {
                const std::size_t mid = (lo + hi) / 2;
                bool isMirror = false;
                auto k = rankOf(children[mid], isMirror);
                if (isMirror && mine < rank(mirrors.at(k->second), k->second))
                    hi = mid;
                else
                    lo = mid + 1;
            }
            at = static_cast<std::int32_t>(lo);
        } else {
            // The root: this site's own children first, then the mirrors in order.
            for (std::size_t i = 0; i < children.size(); ++i) {
                bool isMirror = false;
                auto k = rankOf(children[i], isMirror);
                if (isMirror && mine < rank(mirrors.at(k->second), k->second)) {
                    at = static_cast<std::int32_t>(i);
                    break;
                }
            }
        }
        parent->mirrorInsertChild(m.node, at);
        m.placedIn = parent;
        // Children that arrived before this node.
        auto [first, last] = waiting.equal_range(key);
        std::vector<std::string> children2;
        for (auto it = first; it != last; ++it)
            children2.push_back(it->second);
        waiting.erase(key);
        for (const std::string& c : children2)
            if (auto it = mirrors.find(c);
                it != mirrors.end() && !it->second.placedIn && it->second.record.parent == key)
                place(c, it->second);
    }

    void showMesh(mirror& m) {
        if (m.shownScene == m.record.meshScene && !m.record.meshScene.empty())
            return;
        std::vector<std::unique_ptr<xstd::attr>> geometry;
        std::shared_ptr<const world::import::scene> scene;
        if (!m.record.meshScene.empty()) {
            std::lock_guard lock(assetMutex);
            if (auto it = assetCache.find(m.record.meshScene); it != assetCache.end())
                scene = it->second;
        }
        if (scene) {
            for (std::uint32_t i : m.record.meshes)
                if (auto g = world::makeSceneGeometry(scene, i))
                    geometry.push_back(std::move(g));
            m.shownScene = m.record.meshScene;
        } else {
            m.shownScene.clear();
            // The asset lives under the record owner's user.
            const std::string asset = m.site.user + "." + m.record.meshScene;
            if (!m.record.meshScene.empty() && assetsRequested.insert(asset).second) {
                ++assetsPending;
                {
                    std::lock_guard lock(assetMutex);
                    assetQueue.push_back(asset);
                }
                assetReady.notify_one();
            }
        }
        m.node->mirrorReplaceAttributes<world::geometryAttr>(std::move(geometry));
    }

    // A cycle: the new parent hangs (through records) below the node itself.
    bool closesCycle(const std::string& key, const std::string& parent) {
        std::string at = parent;
        for (std::size_t steps = 0; !at.empty() && steps <= maxNodesPerSite + 1; ++steps) {
            if (at == key)
                return true;
            auto it = mirrors.find(at);
            if (it == mirrors.end() || !it->second.live)
                return false;
            at = it->second.record.parent;
        }
        return !at.empty();
    }

    void applyNode(const incoming& e) {
        appliedRevision = std::max(appliedRevision, e.revision);
        const std::optional<nodeKey> key = parseNodeKey(e.key);
        if (!key) {
            complain(e.key.size() > 64 ? e.key.substr(0, 64) + "..." : e.key, "bad key");
            return;
        }
        if (key->site == self)
            return;
        const std::string siteId = key->site.id();
        auto existing = mirrors.find(e.key);
        if (e.erased) {
            if (existing == mirrors.end() || !existing->second.live)
                return;
            mirror& m = existing->second;
            m.live = false;
            place(e.key, m);
            if (sites[siteId].nodes > 0)
                --sites[siteId].nodes;
            return;
        }
        std::string reason;
        std::optional<nodeRecord> record = decodeRecord(*key, e.value, reason);
        if (!record) {
            complain(siteId, reason);
            return;
        }
        site& owner = sites[siteId];
        if (owner.user.empty())
            owner.user = key->site.user;
        const bool fresh = existing == mirrors.end() || !existing->second.live;
        if (fresh && owner.nodes >= maxNodesPerSite) {
            complain(siteId, "more than 100000 nodes");
            return;
        }
        if (closesCycle(e.key, record->parent)) {
            complain(siteId, "its parent hangs below it");
            return;
        }
        if (existing == mirrors.end()) {
            mirror m;
            m.node = world.createNode();
            m.node->share().mirror = true;
            m.node->share().owner = siteId;
            m.node->share().user = key->site.user;
            m.site = key->site;
            existing = mirrors.emplace(e.key, std::move(m)).first;
            mirrorKeys[existing->second.node] = e.key;
        }
        mirror& m = existing->second;
        if (fresh)
            ++owner.nodes;
        const bool moved =
            fresh || m.record.parent != record->parent || m.record.order != record->order;
        m.record = std::move(*record);
        m.live = true;
        m.node->mirrorSetName(xstd::fromUtf8(m.record.name));
        matrix4 matrix;
        std::copy(m.record.matrix.begin(), m.record.matrix.end(), matrix.data());
        m.node->mirrorSetMatrix(matrix);
        m.node->share().mirrorAnim = m.record.anim;
        m.node->share().navigator = m.record.navigator;
        showMesh(m);
        if (moved)
            place(e.key, m);
    }

    void applyPresence(const incoming& e) {
        const std::optional<siteName> key = parsePresenceKey(e.key);
        if (!key) {
            complain(e.key.size() > 64 ? e.key.substr(0, 64) + "..." : e.key, "bad presence key");
            return;
        }
        const std::string id = key->id();
        if (e.erased) {
            if (auto it = sites.find(id); it != sites.end() && it->second.present)
                setPresent(id, it->second, false);
            return;
        }
        std::string reason;
        if (!decodePresence(*key, e.value, reason)) {
            complain(id, reason);
            return;
        }
        site& s = sites[id];
        s.user = key->user;
        s.seen = clock::now();
        if (!s.present && id != selfId)
            setPresent(id, s, true);
        else
            s.present = true;
    }

    void setPresent(const std::string& id, site& s, bool present) {
        s.present = present;
        for (auto& [key, m] : mirrors)
            if (m.site.id() == id && m.record.parent.empty())
                place(key, m);
    }

    void applyAsset(const incoming& e) {
        --assetsPending;
        if (!e.scene)
            return;
        for (auto& [key, m] : mirrors)
            if (m.live && m.record.meshScene == e.key)
                showMesh(m);
    }

    // Records of this user's sites that are no longer present: left behind by a crash.
    void cleanUp() {
        cleaned = true;
        std::vector<std::string> stale;
        for (const auto& [key, m] : mirrors) {
            if (!m.live || m.site.user != self.user)
                continue;
            auto s = sites.find(m.site.id());
            if (s == sites.end() || !s->second.present)
                stale.push_back(key);
        }
        if (stale.empty())
            return;
        {
            std::lock_guard lock(outMutex);
            for (const std::string& key : stale) {
                outgoing gone;
                gone.erase = true;
                outbox[key] = std::move(gone);
            }
            ++queuedGeneration;
        }
        outReady.notify_one();
    }

    void pumpOnce() {
        if (republish.exchange(false))
            markEverything();
        std::vector<incoming> arrived;
        {
            std::lock_guard lock(inboxMutex);
            arrived.swap(inbox);
        }
        for (const incoming& e : arrived) {
            switch (e.what) {
            case incoming::node:
                applyNode(e);
                break;
            case incoming::nodesLoaded:
                nodesLoaded = true;
                break;
            case incoming::presence:
                applyPresence(e);
                break;
            case incoming::presenceLoaded:
                presenceLoaded = true;
                break;
            case incoming::asset:
                applyAsset(e);
                break;
            }
        }
        // A long batch (a late join of many nodes) must not make a site look gone: what its
        // presence said meanwhile counts before the clock does.
        std::vector<incoming> presences;
        {
            std::lock_guard lock(inboxMutex);
            auto firstOther =
                std::stable_partition(inbox.begin(), inbox.end(), [](const incoming& e) {
                    return e.what == incoming::presence;
                });
            presences.assign(std::make_move_iterator(inbox.begin()),
                             std::make_move_iterator(firstOther));
            inbox.erase(inbox.begin(), firstOther);
        }
        for (const incoming& e : presences)
            applyPresence(e);
        const auto now = clock::now();
        for (auto& [id, s] : sites)
            if (s.present && id != selfId && now - s.seen > presenceTimeout)
                setPresent(id, s, false);
        if (!cleaned && nodesLoaded && presenceLoaded)
            cleanUp();
        flush();
    }

    // ---- the threads ----
    void push(incoming e) {
        std::lock_guard lock(inboxMutex);
        inbox.push_back(std::move(e));
    }

    static incoming fromEntry(kvEntry* entry, incoming::kind what) {
        incoming e;
        e.what = what;
        e.key = kvEntry_Key(entry);
        const kvOperation op = kvEntry_Operation(entry);
        e.erased = op == kvOp_Delete || op == kvOp_Purge;
        if (!e.erased && kvEntry_Value(entry))
            e.value.assign(static_cast<const char*>(kvEntry_Value(entry)),
                           static_cast<std::size_t>(kvEntry_ValueLen(entry)));
        e.revision = kvEntry_Revision(entry);
        return e;
    }

    // The highest sequence of a bucket's stream, or 0 when the broker does not say.
    std::uint64_t lastSequence(const bucket& b) {
        jsStreamInfo* info = nullptr;
        jsOptions o;
        jsOptions_Init(&o);
        o.Wait = 1000;
        const std::string stream = "KV_" + b.name;
        if (js_GetStreamInfo(&info, js, stream.c_str(), &o, nullptr) != NATS_OK)
            return 0;
        const std::uint64_t last = info->State.LastSeq;
        jsStreamInfo_Destroy(info);
        return last;
    }

    // Drains the bucket's watcher. A watcher whose consumer went down with a cluster node stays
    // silent; when it has been quiet for 3 s while the stream moved on, it is made again (the
    // records it replays are states: applying them again is harmless).
    void watchLoop(kvWatcher*& w, bucket& b, incoming::kind what, incoming::kind loaded,
                   bool refresh) {
        auto nextRefresh = clock::now();
        auto lastEntry = clock::now();
        auto nextCheck = clock::now();
        std::uint64_t seen = 0;
        while (!stopping) {
            const auto now = clock::now();
            if (refresh && now >= nextRefresh) {
                publishPresence();
                nextRefresh = now + presenceRefresh;
            }
            if (connected && now - lastEntry > std::chrono::seconds(3) && now >= nextCheck) {
                nextCheck = now + std::chrono::seconds(2);
                const std::uint64_t last = lastSequence(b);
                if (last > seen) {
                    std::lock_guard lock(watcherMutex);
                    kvWatcher* fresh = nullptr;
                    if (!stopping && kvStore_WatchAll(&fresh, b.kv, nullptr) == NATS_OK) {
                        kvWatcher_Destroy(w);
                        w = fresh;
                        lastEntry = clock::now();
                    }
                }
            }
            kvEntry* entry = nullptr;
            const natsStatus s = kvWatcher_Next(&entry, w, 100);
            if (stopping)
                break;
            if (s == NATS_TIMEOUT)
                continue;
            if (s != NATS_OK) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            lastEntry = clock::now();
            if (!entry) {
                push(incoming{loaded, {}, {}, false, 0, nullptr});
                continue;
            }
            seen = std::max(seen, kvEntry_Revision(entry));
            push(fromEntry(entry, what));
            kvEntry_Destroy(entry);
        }
    }

    // An acknowledgement that does not come (its broker went down with it) ends as an error after
    // 5 s instead of staying pending for ever; the error makes the site send its state again.
    static jsPubOptions ackWithin() {
        jsPubOptions o;
        jsPubOptions_Init(&o);
        o.MaxWait = 5000;
        return o;
    }

    void publishPresence() {
        if (writeRefused || !connected)
            return;
        const std::string subject = "$KV." + presence.name + "." + self.key();
        const std::string value = encodePresence({self.user, selfId, joinedAt});
        jsPubOptions o = ackWithin();
        js_PublishAsync(js, subject.c_str(), value.data(), static_cast<int>(value.size()), &o);
    }

    // The hash of a scene's encoding, and the asset on the broker (unless its manifest is there).
    std::string assetOf(const std::shared_ptr<const world::import::scene>& scene,
                        std::unordered_map<const world::import::scene*, std::string>& hashes) {
        if (auto it = hashes.find(scene.get()); it != hashes.end())
            return it->second;
        const std::vector<std::byte> blob = world::import::encode(*scene);
        const std::string hash = sha256Hex(blob);
        {
            std::lock_guard lock(assetMutex);
            assetCache.emplace(hash, scene);
        }
        if (blob.size() > maxAssetBytes) {
            log << "shared scene: a model of " << blob.size()
                << " bytes is larger than 512 MiB and is shared without geometry" << std::endl;
            hashes[scene.get()] = "";
            return "";
        }
        const std::string assetKey = self.user + "." + hash;
        kvEntry* manifest = nullptr;
        if (kvStore_Get(&manifest, assets.kv, assetKey.c_str()) == NATS_OK) {
            kvEntry_Destroy(manifest);
        } else if (!writeRefused) {
            assetManifest m;
            m.size = blob.size();
            m.chunks =
                static_cast<std::uint32_t>((blob.size() + assetChunkBytes - 1) / assetChunkBytes);
            bool ok = true;
            for (std::uint32_t i = 0; ok && i < m.chunks; ++i) {
                const std::size_t from = std::size_t(i) * assetChunkBytes;
                const std::size_t n = std::min(assetChunkBytes, blob.size() - from);
                const std::string key = assetKey + "." + std::to_string(i);
                ok = kvStore_Put(nullptr, assets.kv, key.c_str(), blob.data() + from,
                                 static_cast<int>(n)) == NATS_OK;
            }
            const std::string text = encodeManifest(m);
            if (ok)
                ok = kvStore_PutString(nullptr, assets.kv, assetKey.c_str(), text.c_str()) ==
                     NATS_OK;
            if (!ok && !writeRefused)
                log << "shared scene: could not store a model on the broker; it is shared "
                       "without geometry until the next change"
                    << std::endl;
        }
        // Only a scene we keep: a pointer may be reused after its scene is gone.
        hashes[scene.get()] = hash;
        keptScenes.push_back(scene);
        return hash;
    }
    std::vector<std::shared_ptr<const world::import::scene>> keptScenes;

    bool send(const std::string& key, outgoing& item,
              std::unordered_map<const world::import::scene*, std::string>& hashes) {
        const std::string subject = "$KV." + nodes.name + "." + key;
        if (item.erase) {
            natsMsg* msg = nullptr;
            if (natsMsg_Create(&msg, subject.c_str(), nullptr, nullptr, 0) != NATS_OK)
                return false;
            natsMsgHeader_Set(msg, "KV-Operation", "DEL");
            jsPubOptions o = ackWithin();
            const natsStatus s = js_PublishMsgAsync(js, &msg, &o);
            if (msg)
                natsMsg_Destroy(msg);
            return s == NATS_OK;
        }
        if (item.source) {
            item.record.meshScene = assetOf(item.source, hashes);
            if (item.record.meshScene.empty())
                item.record.meshes.clear();
        }
        const std::string value = encodeRecord(item.record);
        jsPubOptions o = ackWithin();
        return js_PublishAsync(js, subject.c_str(), value.data(), static_cast<int>(value.size()),
                               &o) == NATS_OK;
    }

    void publishLoop() {
        std::unordered_map<const world::import::scene*, std::string> hashes;
        while (true) {
            std::map<std::string, outgoing> batch;
            std::uint64_t generation = 0;
            {
                std::unique_lock lock(outMutex);
                outReady.wait_for(lock, std::chrono::milliseconds(100),
                                  [&] { return stopping || !outbox.empty(); });
                if (outbox.empty()) {
                    if (stopping)
                        return;
                    continue;
                }
                if (!connected && !stopping) {
                    lock.unlock();
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    continue;
                }
                batch.swap(outbox);
                generation = queuedGeneration;
            }
            std::vector<std::pair<std::string, outgoing>> failed;
            for (auto& [key, item] : batch) {
                if (writeRefused)
                    break;
                if (!send(key, item, hashes))
                    failed.emplace_back(key, std::move(item));
            }
            if (!failed.empty()) {
                std::lock_guard lock(outMutex);
                for (auto& [key, item] : failed)
                    outbox.try_emplace(key, std::move(item));
                continue;
            }
            if (writeRefused) {
                ackedGeneration = generation;
                continue;
            }
            jsPubOptions wait;
            jsPubOptions_Init(&wait);
            wait.MaxWait = 5000;
            if (js_PublishAsyncComplete(js, &wait) == NATS_OK || writeRefused)
                ackedGeneration = generation;
            else if (!stopping)
                republish = true; // not known whether it landed: send the state again
        }
    }

    // The asset "user.hash": its manifest, then its chunks "user.hash.i".
    std::shared_ptr<const world::import::scene> fetchAsset(const std::string& asset,
                                                           std::string& reason) {
        const std::string hash = asset.substr(asset.find('.') + 1);
        kvEntry* entry = nullptr;
        // The manifest is written last; give a writer that is still uploading a moment.
        natsStatus s = NATS_NOT_FOUND;
        for (int attempt = 0; attempt < 50 && !stopping; ++attempt) {
            s = kvStore_Get(&entry, assets.kv, asset.c_str());
            if (s != NATS_NOT_FOUND)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (s != NATS_OK) {
            reason = "no asset " + hash.substr(0, 12) + " on the broker (" + statusText(s) + ")";
            return nullptr;
        }
        const std::optional<assetManifest> manifest = decodeManifest(
            std::string_view(kvEntry_ValueString(entry) ? kvEntry_ValueString(entry) : ""), reason);
        kvEntry_Destroy(entry);
        if (!manifest)
            return nullptr;
        std::vector<std::byte> blob;
        blob.reserve(static_cast<std::size_t>(manifest->size));
        for (std::uint32_t i = 0; i < manifest->chunks && !stopping; ++i) {
            const std::string key = asset + "." + std::to_string(i);
            if (kvStore_Get(&entry, assets.kv, key.c_str()) != NATS_OK) {
                reason = "chunk " + std::to_string(i) + " of a model is missing";
                return nullptr;
            }
            const std::size_t expected =
                std::min<std::uint64_t>(manifest->chunkBytes, manifest->size - blob.size());
            const auto* data = static_cast<const std::byte*>(kvEntry_Value(entry));
            const std::size_t n = static_cast<std::size_t>(kvEntry_ValueLen(entry));
            if (n != expected || !data) {
                kvEntry_Destroy(entry);
                reason = "a chunk of a model has the wrong size";
                return nullptr;
            }
            blob.insert(blob.end(), data, data + n);
            kvEntry_Destroy(entry);
        }
        if (sha256Hex(blob) != hash) {
            reason = "a model does not match its hash";
            return nullptr;
        }
        world::import::decodeResult decoded = world::import::decode(blob);
        if (decoded.status != world::import::decodeStatus::scene || !decoded.value) {
            reason = "a model does not decode: " + decoded.reason;
            return nullptr;
        }
        return std::make_shared<const world::import::scene>(std::move(*decoded.value));
    }

    void assetLoop() {
        while (true) {
            std::string asset, hash;
            {
                std::unique_lock lock(assetMutex);
                assetReady.wait(lock, [&] { return stopping || !assetQueue.empty(); });
                if (stopping)
                    return;
                asset = std::move(assetQueue.front());
                assetQueue.pop_front();
                hash = asset.substr(asset.find('.') + 1);
                if (auto it = assetCache.find(hash); it != assetCache.end()) {
                    std::shared_ptr<const world::import::scene> held = it->second;
                    lock.unlock();
                    push(incoming{incoming::asset, hash, {}, false, 0, std::move(held)});
                    continue;
                }
            }
            std::string reason;
            std::shared_ptr<const world::import::scene> scene = fetchAsset(asset, reason);
            if (scene) {
                std::lock_guard lock(assetMutex);
                assetCache.emplace(hash, scene);
            } else if (!stopping) {
                log << "shared scene: dropped a model: " << reason << std::endl;
            }
            push(incoming{incoming::asset, hash, {}, false, 0, scene});
        }
    }

    // True when text names a subject of this site's node or presence records: only a refusal there
    // makes the site a viewer (a refused asset upload is a failed upload).
    bool ownSubject(const char* text) const {
        return std::strstr(text, ("$KV." + nodes.name + "." + self.user + ".").c_str()) ||
               std::strstr(text, ("$KV." + presence.name + "." + self.user + ".").c_str());
    }

    // ---- connection callbacks (libnats threads) ----
    static void onError(natsConnection* nc, natsSubscription*, natsStatus err, void* closure) {
        auto* self = static_cast<impl*>(closure);
        const char* text = nullptr;
        natsConnection_GetLastError(nc, &text);
        if (err == NATS_NOT_PERMITTED && text && std::strstr(text, "Publish") &&
            self->ownSubject(text)) {
            self->writeRefused = true;
            if (!self->toldRefused.exchange(true))
                self->log << "shared scene: user " << self->self.user << " may not write to scene "
                          << self->options.scene << ": this site views it, its edits stay local"
                          << std::endl;
            self->outReady.notify_one();
        }
    }
    static void onDisconnected(natsConnection*, void* closure) {
        static_cast<impl*>(closure)->connected = false;
    }
    static void onReconnected(natsConnection*, void* closure) {
        auto* self = static_cast<impl*>(closure);
        self->connected = true;
        self->republish = true;
        self->outReady.notify_one();
    }
    static void onPublishError(jsCtx*, jsPubAckErr* pae, void* closure) {
        auto* self = static_cast<impl*>(closure);
        const char* subject = pae && pae->Msg ? natsMsg_GetSubject(pae->Msg) : nullptr;
        if (pae && pae->Err == NATS_NOT_PERMITTED && subject && self->ownSubject(subject))
            self->writeRefused = true;
        else if (pae && pae->Err != NATS_OK && !self->stopping)
            self->republish = true; // not known whether it landed: send the state again
    }

    bool openBucket(bucket& b, const std::string& name, std::int64_t ttl, std::string& error) {
        b.name = name;
        natsStatus s = js_KeyValue(&b.kv, js, name.c_str());
        if (s == NATS_NOT_FOUND) {
            kvConfig cfg;
            kvConfig_Init(&cfg);
            cfg.Bucket = name.c_str();
            cfg.History = 1;
            cfg.TTL = ttl;
            cfg.StorageType = js_FileStorage;
            cfg.Replicas = static_cast<int>(std::min<std::size_t>(3, options.servers.size()));
            // A new cluster may take a while to place a replicated bucket.
            const auto until = clock::now() + std::chrono::seconds(20);
            do {
                s = js_CreateKeyValue(&b.kv, js, &cfg);
                if (s != NATS_OK)
                    s = js_KeyValue(&b.kv, js, name.c_str()); // another site made it meanwhile
            } while (s != NATS_OK && s != NATS_NOT_PERMITTED && s != NATS_CONNECTION_CLOSED &&
                     clock::now() < until);
        }
        if (s != NATS_OK) {
            const char* text = nullptr;
            natsConnection_GetLastError(conn, &text);
            error = "cannot open the bucket " + name + " on the broker: " + statusText(s) +
                    (text && *text ? std::string(" (") + text + ")" : std::string());
            return false;
        }
        return true;
    }

    void shutdown() {
        world.setNodeHooks(nullptr);
        world.setDumpExtension({});
        // Leave: this site's records, then its presence.
        if (conn && connected && !writeRefused) {
            std::lock_guard lock(outMutex);
            for (sceneNode* n : published) {
                outgoing gone;
                gone.erase = true;
                outbox[ownKeys[n]] = std::move(gone);
            }
            ++queuedGeneration;
        }
        outReady.notify_one();
        const auto deadline = clock::now() + std::chrono::seconds(3);
        while (conn && connected && !writeRefused && clock::now() < deadline) {
            {
                std::lock_guard lock(outMutex);
                if (outbox.empty() && ackedGeneration >= queuedGeneration)
                    break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        stopping = true;
        outReady.notify_all();
        assetReady.notify_all();
        {
            std::lock_guard lock(watcherMutex);
            if (nodeWatcher)
                kvWatcher_Stop(nodeWatcher);
            if (presenceWatcher)
                kvWatcher_Stop(presenceWatcher);
        }
        for (std::thread* t : {&publisherThread, &watchThread, &presenceThread, &assetThread})
            if (t->joinable())
                t->join();
        if (conn && connected && !writeRefused && presence.kv)
            kvStore_Delete(presence.kv, self.key().c_str());
        if (nodeWatcher)
            kvWatcher_Destroy(nodeWatcher);
        if (presenceWatcher)
            kvWatcher_Destroy(presenceWatcher);
        nodeWatcher = presenceWatcher = nullptr;
        for (bucket* b : {&nodes, &presence, &assets})
            if (b->kv) {
                kvStore_Destroy(b->kv);
                b->kv = nullptr;
            }
        if (js)
            jsCtx_Destroy(js);
        js = nullptr;
        if (conn) {
            natsConnection_Close(conn);
            natsConnection_Destroy(conn);
        }
        conn = nullptr;
        if (--liveScenes == 0)
            nats_CloseAndWait(2000);
    }
};

sharedScene::sharedScene(std::unique_ptr<impl> i) : impl_(std::move(i)) {}

std::unique_ptr<sharedScene> sharedScene::join(world::world& w, const shareOptions& options,
                                               std::ostream& log, std::string& error) {
    auto i = std::make_unique<impl>(w, log);
    i->options = options;
    i->self = makeSite(options.user);
    i->selfId = i->self.id();
    i->joinedAt =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    std::string where;
    for (const std::string& s : options.servers)
        where += (where.empty() ? "" : ",") + s;

    ++liveScenes;
    // From here on, shutdown() undoes whatever was made.
    struct undo {
        impl* i;
        ~undo() {
            if (i)
                i->shutdown();
        }
    } guard{i.get()};

    natsOptions* opts = nullptr;
    if (natsOptions_Create(&opts) != NATS_OK) {
        error = "cannot set up the connection to " + where;
        return nullptr;
    }
    std::vector<const char*> urls;
    for (const std::string& s : options.servers)
        urls.push_back(s.c_str());
    natsStatus s = natsOptions_SetServers(opts, urls.data(), static_cast<int>(urls.size()));
    if (s == NATS_OK && !options.credentialsFile.empty())
        s = natsOptions_SetUserCredentialsFromFiles(opts, options.credentialsFile.c_str(), nullptr);
    else if (s == NATS_OK && !options.brokerUser.empty())
        s = natsOptions_SetUserInfo(opts, options.brokerUser.c_str(),
                                    options.brokerPassword.c_str());
    if (s == NATS_OK)
        s = natsOptions_SetTimeout(opts, static_cast<int64_t>(options.connectSeconds * 1000));
    // The brokers in the order given: the first is the preferred one.
    if (s == NATS_OK)
        s = natsOptions_SetNoRandomize(opts, true);
    if (s == NATS_OK)
        s = natsOptions_SetMaxReconnect(opts, -1);
    if (s == NATS_OK)
        s = natsOptions_SetReconnectWait(opts, 100);
    if (s == NATS_OK)
        s = natsOptions_SetErrorHandler(opts, &impl::onError, i.get());
    if (s == NATS_OK)
        s = natsOptions_SetDisconnectedCB(opts, &impl::onDisconnected, i.get());
    if (s == NATS_OK)
        s = natsOptions_SetReconnectedCB(opts, &impl::onReconnected, i.get());
    if (s != NATS_OK) {
        natsOptions_Destroy(opts);
        error = "bad broker address or credentials for " + where + ": " + statusText(s);
        return nullptr;
    }
    s = natsConnection_Connect(&i->conn, opts);
    natsOptions_Destroy(opts);
    if (s != NATS_OK) {
        i->conn = nullptr;
        const bool refused = s == NATS_CONNECTION_AUTH_FAILED || s == NATS_NOT_PERMITTED;
        error = refused ? "the broker at " + where + " refused the credentials" +
                              (options.brokerUser.empty() ? std::string(" (none given)")
                                                          : " of user " + options.brokerUser)
                        : "cannot reach the broker at " + where + ": " + statusText(s);
        return nullptr;
    }
    jsOptions jo;
    jsOptions_Init(&jo);
    jo.Wait = 5000;
    jo.PublishAsync.MaxPending = 100000;
    jo.PublishAsync.ErrHandler = &impl::onPublishError;
    jo.PublishAsync.ErrHandlerClosure = i.get();
    if ((s = natsConnection_JetStream(&i->js, i->conn, &jo)) != NATS_OK) {
        error = "the broker at " + where + " offers no JetStream: " + statusText(s);
        return nullptr;
    }
    if (!i->openBucket(i->nodes, "zel-scene-" + options.scene, 0, error) ||
        !i->openBucket(i->presence, "zel-presence-" + options.scene, presenceTtlNs, error) ||
        !i->openBucket(i->assets, "zel-assets", 0, error))
        return nullptr;
    if ((s = kvStore_WatchAll(&i->nodeWatcher, i->nodes.kv, nullptr)) != NATS_OK ||
        (s = kvStore_WatchAll(&i->presenceWatcher, i->presence.kv, nullptr)) != NATS_OK) {
        error = "cannot watch the scene " + options.scene + " at " + where + ": " + statusText(s);
        return nullptr;
    }

    // This site is present from the start, even for a viewer whose presence the broker refuses.
    site& me = i->sites[i->selfId];
    me.user = options.user;
    me.present = true;
    me.seen = clock::now();
    impl* p = i.get();
    p->watchThread = std::thread([p] {
        p->watchLoop(p->nodeWatcher, p->nodes, incoming::node, incoming::nodesLoaded, false);
    });
    p->presenceThread = std::thread([p] {
        p->watchLoop(p->presenceWatcher, p->presence, incoming::presence, incoming::presenceLoaded,
                     true);
    });
    p->publisherThread = std::thread([p] { p->publishLoop(); });
    p->assetThread = std::thread([p] { p->assetLoop(); });

    w.setNodeHooks(p);
    p->markEverything();
    w.setDumpExtension([p](nlohmann::json& out) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& [id, entry] : p->sites)
            if (entry.present || id == p->selfId)
                list.push_back({{"site", id}, {"user", entry.user}, {"self", id == p->selfId}});
        out["sites"] = std::move(list);
    });
    guard.i = nullptr;
    return std::unique_ptr<sharedScene>(new sharedScene(std::move(i)));
}

sharedScene::~sharedScene() {
    impl_->pumpOnce();
    impl_->shutdown();
}

void sharedScene::pump() {
    impl_->pumpOnce();
}

bool sharedScene::sync(double seconds) {
    impl& i = *impl_;
    const auto deadline = clock::now() + std::chrono::duration_cast<clock::duration>(
                                             std::chrono::duration<double>(seconds));
    auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); };
    i.pumpOnce();
    std::uint64_t wanted = 0;
    {
        std::lock_guard lock(i.outMutex);
        wanted = i.queuedGeneration;
    }
    i.syncProblem.clear();
    while (i.ackedGeneration < wanted && !i.writeRefused) {
        if (clock::now() > deadline) {
            i.syncProblem = "the broker has not acknowledged this site's changes";
            return false;
        }
        pause();
        i.pumpOnce();
    }
    std::uint64_t last = 0;
    while (true) {
        jsStreamInfo* info = nullptr;
        jsOptions o;
        jsOptions_Init(&o);
        o.Wait = 1000;
        const std::string stream = "KV_" + i.nodes.name;
        if (js_GetStreamInfo(&info, i.js, stream.c_str(), &o, nullptr) == NATS_OK) {
            last = info->State.LastSeq;
            jsStreamInfo_Destroy(info);
            break;
        }
        if (clock::now() > deadline) {
            i.syncProblem = "the broker does not answer";
            return false;
        }
        pause();
        i.pumpOnce();
    }
    while (
        !(i.nodesLoaded && i.presenceLoaded && i.appliedRevision >= last && i.assetsPending == 0)) {
        if (clock::now() > deadline)
            return false;
        pause();
        i.pumpOnce();
    }
    return true;
}

const std::string& sharedScene::syncProblem() const {
    return impl_->syncProblem;
}

bool sharedScene::waitSites(int n, double seconds) {
    const auto deadline = clock::now() + std::chrono::duration_cast<clock::duration>(
                                             std::chrono::duration<double>(seconds));
    while (true) {
        impl_->pumpOnce();
        if (static_cast<int>(sites().size()) >= n)
            return true;
        if (clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::vector<siteEntry> sharedScene::sites() const {
    std::vector<siteEntry> out;
    for (const auto& [id, s] : impl_->sites)
        if (s.present || id == impl_->selfId)
            out.push_back({id, s.user, id == impl_->selfId});
    return out;
}

std::vector<avatar> sharedScene::avatars() const {
    std::vector<avatar> out;
    for (const auto& [key, m] : impl_->mirrors) {
        if (!m.live || !m.record.navigator || !m.placedIn)
            continue;
        matrix4 at = m.node->getMatrix();
        for (sceneNode* p = m.placedIn; p && p != impl_->world.getRootNode();) {
            at.postMult(p->getMatrix());
            p = p->getParents().empty() ? nullptr : p->getParents().front();
        }
        out.push_back({m.site.user, at});
    }
    return out;
}

const std::string& sharedScene::sceneName() const {
    return impl_->options.scene;
}

const std::string& sharedScene::siteId() const {
    return impl_->selfId;
}

bool sharedScene::reconnecting() const {
    return !impl_->connected;
}

bool sharedScene::viewerOnly() const {
    return impl_->writeRefused;
}

} // namespace zel::share
