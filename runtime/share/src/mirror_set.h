// The mirrors of other sites' nodes and the sites present, built from records as the broker
// delivered them. World thread only; knows nothing of the network, so that it can be fed by hand.
//
// Every record is hostile until checked. A mirror hangs in the world only below a parent that is
// itself in the scene (the root for a record without a parent, while its site is present), so the
// part of the tree that the world sees is always a tree of at most maxDepth levels; everything
// else waits for its parent, bounded by the per-user node limit.
#pragma once

#include <zel/share/records.h>
#include <zel/share/shared_scene.h>
#include <zel/world/scene_node.h>
#include <zel/world/world.h>

#include <zel/import/imported_scene.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace zel::share::detail {

using clock = std::chrono::steady_clock;
using sceneRef = std::shared_ptr<const import::scene>;

// A site whose presence was not refreshed for this long is gone (it refreshes every second and
// the broker forgets it after 5 s).
inline constexpr auto presenceTimeout = std::chrono::milliseconds(4000);
inline constexpr int maxDepth = 256;

struct assetRequest {
    std::string user;
    std::string hash;
    bool operator==(const assetRequest&) const = default;
};

class mirrorSet {
public:
    // findAsset gives a model already held here (null when not).
    mirrorSet(world::world& w, world::nodeHooks* hooks, std::ostream& log, siteName self,
              std::function<sceneRef(const std::string& hash)> findAsset);
    // Takes every mirror out of the world.
    ~mirrorSet();
    mirrorSet(const mirrorSet&) = delete;
    mirrorSet& operator=(const mirrorSet&) = delete;

    // A node record, or its deletion, under key. Keys of this site are not for here.
    void applyNode(std::string_view key, std::string_view value, bool erased);
    // A presence record, or its deletion, under key, heard at now.
    void applyPresence(std::string_view key, std::string_view value, bool erased,
                       clock::time_point now);
    // Sites whose presence was not refreshed in time are gone.
    void expire(clock::time_point now);
    // Checks again what hangs below the mirrors that moved since: a move may take a descendant
    // out of range (it leaves the scene and waits for its parent) or bring one back. One walk per
    // moved subtree, from the shallowest moved node, so a node whose ancestor moved too costs
    // nothing more; it walks at least atLeast nodes, then stops at until and goes on from there
    // at the next call. True while nodes remain to be checked.
    bool checkMoved(clock::time_point until, std::size_t atLeast);
    bool checking() const { return !walk_.empty() || !moved_.empty() || !retry_.empty(); }
    // A model of user arrived (null: it will not): every mirror of that user naming it shows it.
    void assetArrived(const std::string& user, const std::string& hash, const sceneRef& scene);
    // Models that mirrors name and that nobody asked for yet.
    std::vector<assetRequest> takeAssetRequests();

    // The present sites, this one included.
    std::vector<siteEntry> sites() const;
    // When this site joined (its own presence record may come back later, or never for a viewer).
    void setSelfJoined(double joined) { selfJoined_ = joined; }
    std::vector<avatar> avatars() const;
    // Keys of the records of this user's other sites that have been away for longer than absence
    // (once per such site and absence; again after another absence of that length).
    std::vector<std::string> staleKeysOfOwnUser(clock::time_point now, clock::duration absence);

    // Counts, for tests and benchmarks.
    std::size_t mirrorCount() const { return byNode_.size(); }
    std::size_t waitingCount() const;
    std::size_t pooledNodes() const { return pool_.size(); }
    // Models that mirrors wait for.
    std::size_t awaitedModels() const { return awaitingAsset_.size(); }

private:
    struct siteState;
    struct mirror {
        siteState* site = nullptr;
        world::sceneNode* node = nullptr;
        std::uint64_t n = 0;
        std::uint64_t parent = 0; // valid when hasParent
        std::uint64_t order = 0;
        std::string mesh; // the model's hash; empty: none
        std::vector<std::uint32_t> meshes;
        // Charged to its user's limit: one for the node and one for each mesh it names.
        std::size_t charge = 0;
        std::uint16_t depth = 0; // levels below the root; 0: not in the scene
        bool hasParent = false;
        bool waiting = false; // in its site's waiting list of its parent
        bool navigator = false;
        bool meshShown = false;
        bool moved = false;   // in moved_
        bool walking = false; // on walk_
    };
    struct userState {
        std::size_t live = 0;    // nodes and the meshes they name
        std::size_t present = 0; // sites present
        clock::time_point complaintWindow{};
        int complaints = 0;
    };
    struct siteState {
        siteName name;
        std::string id;
        userState* user = nullptr;
        bool self = false;
        bool present = false;
        double joined = 0.0; // as its presence record says
        clock::time_point seen{};
        clock::time_point absentSince{};
        clock::time_point cleanedAt{};
        std::unordered_map<std::uint64_t, mirror> nodes;
        // Parent number -> the numbers of its children that are not in the scene.
        std::unordered_map<std::uint64_t, std::unordered_set<std::uint64_t>> waiting;
        std::unordered_set<mirror*> roots; // records without a parent
        mirror* navigator = nullptr;
    };

    siteState& siteOf(const siteName& name);
    void forgetIfEmpty(const std::string& id);
    void complain(const std::string& site, const std::string& user, const std::string& what);

    void setPresent(siteState& s, bool present);
    // Takes m (and what hangs below it) out of the scene; they wait for their parents.
    void detach(mirror& m);
    // Takes what hangs below m out of the scene, one pass per parent; they wait for their parents.
    void detachBelow(mirror& m);
    // Hangs m, and what waits below it, where its record says, if that place is in the scene.
    void place(mirror& m);
    void attach(mirror& m, world::sceneNode* parent, int depth);
    // Hangs what waits below each in-scene mirror of work (with its world matrix), level by level,
    // each parent's children in one pass.
    void attachWaiting(std::vector<std::pair<mirror*, matrix4>> work);
    // False (with a complaint, and m waiting for its parent) when m may not hang at depth with
    // that world matrix.
    bool fits(mirror& m, int depth, const matrix4& world);
    void insertSorted(world::sceneNode* parent, mirror& m);
    // Hangs mirrors of one site below parent in their order, in one pass.
    void insertAllSorted(world::sceneNode* parent, const std::vector<mirror*>& ms);
    // Queues the walk below m, which moved.
    void moved(mirror& m);
    // Drops the walk under way; its top is walked again from the start.
    void restartWalk();
    void stopWaiting(mirror& m);
    // True when hanging m below parent would close a cycle (both in the scene).
    bool closesCycle(const mirror& m, const mirror& parent) const;
    // The world matrix of an in-scene mirror, by its ancestors.
    matrix4 worldMatrix(const mirror& m) const;
    void showMesh(mirror& m);
    // The geometry of m's meshes in scene; false (with a complaint) when an index is past its
    // meshes.
    bool geometryOf(const mirror& m, const sceneRef& scene,
                    std::vector<std::unique_ptr<xstd::attr>>& out);
    // m no longer waits for the model it named.
    void stopAwaiting(mirror& m);
    void remove(siteState& s, mirror& m);
    // Takes the node out of every place an application hung it besides its record's.
    void unhangElsewhere(mirror& m);

    world::sceneNode* takeNode();
    void releaseNode(world::sceneNode* n);

    world::world& world_;
    world::nodeHooks* hooks_;
    std::ostream& log_;
    siteName self_;
    std::string selfId_;
    std::function<sceneRef(const std::string&)> findAsset_;
    double selfJoined_ = 0.0;

    std::unordered_map<std::string, siteState> sites_;
    std::unordered_map<std::string, userState> users_;
    std::unordered_map<const sceneGraph::iSceneNode*, mirror*> byNode_;
    // "user.hash" -> mirrors that wait for that model.
    std::unordered_map<std::string, std::unordered_set<mirror*>> awaitingAsset_;
    std::vector<assetRequest> requests_;
    std::vector<world::sceneNode*> pool_;
    std::unordered_map<std::string, clock::time_point> complained_; // by site

    // The check below moved mirrors: the mirrors that moved and wait for it, and the walk under
    // way, one step per level (a mirror, its world matrix, its next child to look at).
    struct walkStep {
        mirror* m;
        matrix4 world;
        std::size_t next;
    };
    std::unordered_set<mirror*> moved_;
    // moved_ by depth, the shallowest last, taken when the last walk ended; an entry no longer in
    // moved_ was walked meanwhile or is gone.
    std::vector<mirror*> order_;
    std::vector<walkStep> walk_;
    // Mirrors met on the walk with children waiting below them: they may fit again.
    std::unordered_set<mirror*> retry_;
};

// Bytes for one line of stderr: control characters and anything not printable ASCII as \xNN.
std::string printable(std::string_view text, std::size_t max = 200);

} // namespace zel::share::detail
