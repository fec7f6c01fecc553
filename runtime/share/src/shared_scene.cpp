#include <zel/share/shared_scene.h>

#include "broker_link.h"
#include "mirror_set.h"
#include "own_nodes.h"

#include <nlohmann/json.hpp>

#include <thread>
#include <unordered_set>

namespace zel::share {

using namespace detail;

namespace {

// Records applied per pump at most for this long, so that a window stays live while a large scene
// arrives; the rest waits for the next pump.
constexpr auto applyBudget = std::chrono::milliseconds(8);
// Mirrors checked below moved ones at least, per batch of records.
constexpr std::size_t checkBatch = 2048;
// Another site of this user is cleaned up only after it has been away for this long: twice the
// time after which the broker forgets a presence.
constexpr auto cleanUpAfter = std::chrono::seconds(10);

} // namespace

struct sharedScene::impl final : world::nodeHooks {
    impl(world::world& w, std::ostream& l, const shareOptions& o)
        : world(w), log(l), options(o), self(makeSite(o.user)), selfId(self.id()), own(w, self) {}

    world::world& world;
    std::ostream& log;
    shareOptions options;
    siteName self;
    std::string selfId;
    std::unique_ptr<brokerLink> net;
    ownNodes own;
    std::unique_ptr<mirrorSet> mirrors;
    // The node bucket's newest revision applied here, in the bucket's current generation: a
    // bucket made anew starts its revisions again.
    std::uint64_t appliedRevision = 0;
    std::uint64_t appliedGeneration = 0;
    std::unordered_set<std::string> toldRefused;
    std::string syncProblem;

    void changed(world::sceneNode& n) override { own.changed(n); }
    void moved(world::sceneNode& n) override { own.moved(n); }
    void refused(world::sceneNode& n) override {
        const std::string& owner = n.share().owner;
        if (toldRefused.size() < 1000 && toldRefused.insert(owner).second)
            log << "shared scene: " << printable(xstd::toDisplayUtf8(n.getName()))
                << " belongs to site " << printable(owner) << ": changes to it are refused here"
                << std::endl;
    }

    // True when records are still waiting (the time was up).
    bool pumpOnce() {
        const auto now = clock::now();
        bool more = false;
        if (const std::uint64_t g = net->nodesGeneration(); g != appliedGeneration) {
            appliedGeneration = g;
            appliedRevision = 0;
        }
        // Timed by when they arrived: a pump that comes late does not make a site look gone.
        for (const bucketEntry& e : net->takePresence())
            mirrors->applyPresence(e.key, e.value, e.erased, e.received);
        // Records and the check below moved mirrors share the time, a batch of each in turn.
        const auto until = now + applyBudget;
        bool checking = false;
        do {
            const std::vector<bucketEntry> batch = net->takeNodes(256);
            more = batch.size() == 256;
            for (const bucketEntry& e : batch) {
                if (e.generation == appliedGeneration)
                    appliedRevision = std::max(appliedRevision, e.revision);
                const std::optional<nodeKey> key = parseNodeKey(e.key);
                if (key && key->site == self)
                    net->verifyOwn(e.key, e.value, e.erased);
                else
                    mirrors->applyNode(e.key, e.value, e.erased);
            }
            checking = mirrors->checkMoved(until, checkBatch);
        } while ((more || checking) && clock::now() < until);
        more = more || checking;
        for (const arrivedAsset& a : net->takeAssets())
            mirrors->assetArrived(a.user, a.hash, a.scene);
        mirrors->expire(clock::now());
        for (const assetRequest& r : mirrors->takeAssetRequests())
            net->fetch(r);
        std::vector<outgoing> out = own.collect();
        if (!net->writeRefused() && net->nodesLoaded() && net->presenceLoaded())
            // Records left behind by this user's sites that are gone (a crash).
            for (std::string& key : mirrors->staleKeysOfOwnUser(clock::now(), cleanUpAfter)) {
                outgoing gone;
                gone.key = std::move(key);
                gone.erase = true;
                out.push_back(std::move(gone));
            }
        if (!net->writeRefused())
            net->publish(std::move(out));
        return more;
    }

    void leave() {
        pumpOnce();
        if (net->connected() && !net->writeRefused()) {
            net->publish(own.leaveAll());
            const auto deadline = clock::now() + std::chrono::seconds(3);
            while (net->connected() && net->unsettled() > 0 && clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        world.setNodeHooks(nullptr);
        world.setDumpExtension({});
        mirrors.reset();
        net.reset();
    }
};

sharedScene::sharedScene(std::unique_ptr<impl> i) : impl_(std::move(i)) {}

std::unique_ptr<sharedScene> sharedScene::join(world::world& w, const shareOptions& options,
                                               std::ostream& log, std::string& error) {
    auto i = std::make_unique<impl>(w, log, options);
    i->net = brokerLink::open(options, i->self, log, error);
    if (!i->net)
        return nullptr;
    brokerLink* net = i->net.get();
    i->mirrors = std::make_unique<mirrorSet>(
        w, i.get(), log, i->self, [net](const std::string& hash) { return net->findAsset(hash); });
    i->mirrors->setSelfJoined(net->joinedAt());
    w.setNodeHooks(i.get());
    i->own.markEverything();
    impl* p = i.get();
    w.setDumpExtension([p](nlohmann::json& out) {
        nlohmann::json list = nlohmann::json::array();
        for (const siteEntry& s : p->mirrors->sites())
            list.push_back({{"site", s.site}, {"user", s.user}, {"self", s.self}});
        out["sites"] = std::move(list);
    });
    return std::unique_ptr<sharedScene>(new sharedScene(std::move(i)));
}

sharedScene::~sharedScene() {
    impl_->leave();
}

void sharedScene::pump() {
    impl_->pumpOnce();
}

bool sharedScene::sync(double seconds) {
    impl& i = *impl_;
    const auto deadline = clock::now() + std::chrono::duration_cast<clock::duration>(
                                             std::chrono::duration<double>(seconds));
    // No pause while records wait: a late join goes at full speed.
    bool more = false;
    auto pause = [&] {
        if (!more)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        more = i.pumpOnce();
    };
    i.pumpOnce();
    i.syncProblem.clear();
    while (!i.net->writeRefused() && i.net->unsettled() > 0) {
        if (clock::now() > deadline) {
            const std::string error = i.net->lastError();
            i.syncProblem = "the broker has not acknowledged this site's changes" +
                            (error.empty() ? std::string() : " (" + error + ")");
            return false;
        }
        pause();
    }
    std::optional<std::uint64_t> last;
    std::uint64_t appliedBefore = 0, generation = 0;
    const auto readLast = [&] {
        appliedBefore = i.appliedRevision;
        generation = i.appliedGeneration;
        last = i.net->nodesLastSequence(1000);
        return last.has_value();
    };
    while (!readLast()) {
        if (clock::now() > deadline) {
            i.syncProblem = "the broker does not answer";
            return false;
        }
        pause();
    }
    // Every record the broker held then, and the models they name that are on the broker. A
    // bucket whose last revision is below what was applied here was made anew: this site's watcher
    // has not seen that yet, and what was applied counts for nothing until it has.
    const auto remadeUnseen = [&] {
        return *last < appliedBefore && i.appliedGeneration == generation;
    };
    while (!(i.net->nodesLoaded() && i.net->presenceLoaded() && i.appliedRevision >= *last &&
             !remadeUnseen() && i.net->fetchesUnderWay() == 0)) {
        if (clock::now() > deadline) {
            i.syncProblem = i.net->fetchesUnderWay() > 0
                                ? "models are still arriving"
                                : "records of the scene are still arriving";
            return false;
        }
        pause();
    }
    i.pumpOnce();
    const std::vector<std::string> missing = i.net->missingAssets();
    if (!missing.empty()) {
        i.log << "shared scene: " << missing.size() << " model(s) named in the scene are not on "
              << "the broker:";
        for (std::size_t k = 0; k < missing.size() && k < 5; ++k)
            i.log << " " << printable(missing[k], 40);
        i.log << (missing.size() > 5 ? " ..." : "") << std::endl;
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
    return impl_->mirrors->sites();
}

std::vector<avatar> sharedScene::avatars() const {
    return impl_->mirrors->avatars();
}

void sharedScene::setWakeUp(std::function<void()> wake) {
    impl_->net->setWakeUp(std::move(wake));
}

const std::string& sharedScene::sceneName() const {
    return impl_->options.scene;
}

const std::string& sharedScene::siteId() const {
    return impl_->selfId;
}

bool sharedScene::reconnecting() const {
    return !impl_->net->connected();
}

bool sharedScene::viewerOnly() const {
    return impl_->net->writeRefused();
}

} // namespace zel::share
