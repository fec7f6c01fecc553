// The mirrors of other sites' nodes and the sites present, built from records as the broker
// delivered them: each record checked, then the roster of sites (site_roster.h) and the tree of
// mirrors (mirror_tree.h) brought in line with it, and the models that mirrors name asked for and
// shown. World thread only; knows nothing of the network, so that it can be fed by hand.
//
// Every record is hostile until checked. A mirror hangs in the world only below a parent that is
// itself in the scene (the root for a record without a parent, while its site is present), so the
// part of the tree that the world sees is always a tree of at most maxDepth levels; everything
// else waits for its parent, bounded by the per-user node limit.
#pragma once

#include "complaint_log.h"
#include "mirror_tree.h"
#include "share_types.h"
#include "site_roster.h"

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
    bool checkMoved(clock::time_point until, std::size_t atLeast) {
        return tree_.checkMoved(until, atLeast);
    }
    bool checking() const { return tree_.checking(); }
    // A model of user arrived (null: it will not): every mirror of that user naming it shows it.
    void assetArrived(const std::string& user, const std::string& hash, const sceneRef& scene);
    // Models that mirrors name and that nobody asked for yet.
    std::vector<assetRequest> takeAssetRequests();

    // The present sites, this one included.
    std::vector<siteEntry> sites() const { return roster_.sites(); }
    // When this site joined (its own presence record may come back later, or never for a viewer).
    void setSelfJoined(double joined) { roster_.setSelfJoined(joined); }
    std::vector<avatar> avatars() const;
    // Keys of the records of this user's other sites that have been away for longer than absence
    // (once per such site and absence; again after another absence of that length).
    std::vector<std::string> staleKeysOfOwnUser(clock::time_point now, clock::duration absence) {
        return roster_.staleKeysOfOwnUser(now, absence);
    }

    // Counts, for tests and benchmarks.
    std::size_t mirrorCount() const { return tree_.mirrorCount(); }
    std::size_t waitingCount() const;
    std::size_t pooledNodes() const { return tree_.pooledNodes(); }
    // Models that mirrors wait for.
    std::size_t awaitedModels() const { return awaitingAsset_.size(); }

private:
    void complain(const std::string& site, const std::string& user, const std::string& what) {
        complaints_.complain(site, user, what);
    }
    void showMesh(mirror& m);
    // The geometry of m's meshes in scene; false (with a complaint) when an index is past its
    // meshes.
    bool geometryOf(const mirror& m, const sceneRef& scene,
                    std::vector<std::unique_ptr<xstd::attr>>& out);
    // m no longer waits for the model it named.
    void stopAwaiting(mirror& m);
    void remove(siteState& s, mirror& m);

    std::function<sceneRef(const std::string&)> findAsset_;
    // Destroyed in reverse: the tree takes its mirrors out of the world while their sites are
    // still there.
    complaintLog complaints_;
    siteRoster roster_;
    mirrorTree tree_;
    // "user.hash" -> mirrors that wait for that model.
    std::unordered_map<std::string, std::unordered_set<mirror*>> awaitingAsset_;
    std::vector<assetRequest> requests_;
};

} // namespace zel::share::detail
