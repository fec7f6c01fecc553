// Other sites' nodes as they hang in the world: each mirror below its parent's mirror (the root for
// a record without a parent, while its site is present), siblings in one order on every site, at
// most maxDepth levels deep and where a float can say. A mirror whose place is not in the scene
// waits for its parent. World thread only; it neither reads records nor shows meshes.
#pragma once

#include "complaint_log.h"

#include <zel/share/records.h>
#include <zel/world/scene_node.h>
#include <zel/world/world.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace zel::share::detail {

inline constexpr int maxDepth = 256;

inline bool finite(const matrix4& x) {
    return std::all_of(x.data(), x.data() + 16, [](float f) { return std::isfinite(f); });
}

struct mirroredSite;

struct mirror {
    mirroredSite* site = nullptr;
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
    bool moved = false;   // in the tree's moved mirrors
    bool walking = false; // on the tree's walk
};

// One site's mirrors.
struct mirroredSite {
    siteName name;
    std::string id;
    bool present = false; // its mirrors without a parent hang at the root
    std::unordered_map<std::uint64_t, mirror> nodes;
    // Parent number -> the numbers of its children that are not in the scene.
    std::unordered_map<std::uint64_t, std::unordered_set<std::uint64_t>> waiting;
    std::unordered_set<mirror*> roots; // records without a parent
    mirror* navigator = nullptr;
};

class mirrorTree {
public:
    // What may not hang is told to complaints.
    mirrorTree(world::world& w, world::nodeHooks* hooks, complaintLog& complaints);
    // Takes every mirror out of the world.
    ~mirrorTree();
    mirrorTree(const mirrorTree&) = delete;
    mirrorTree& operator=(const mirrorTree&) = delete;

    // A new mirror n of site s, with a node of its own, not yet in the scene.
    mirror& add(mirroredSite& s, std::uint64_t n);
    // Takes m out of the world and out of s; its node goes back to the pool.
    void remove(mirroredSite& s, mirror& m);
    // m's record names another parent (none: the root): m, and what waits below it, hang there if
    // that place is in the scene.
    void reparent(mirror& m, std::optional<std::uint64_t> parent, std::uint64_t order);
    // m's sort key changed and its parent did not.
    void reorder(mirror& m, std::uint64_t order);
    // m's matrix changed and its parent did not: what hangs below it is checked by checkMoved; out
    // of the scene, it may fit again.
    void matrixChanged(mirror& m);
    // Checks again what hangs below the mirrors that moved since: a move may take a descendant
    // out of range (it leaves the scene and waits for its parent) or bring one back. One walk per
    // moved subtree, from the shallowest moved node, so a node whose ancestor moved too costs
    // nothing more; it walks at least atLeast nodes, then stops at until and goes on from there
    // at the next call. True while nodes remain to be checked.
    bool checkMoved(clock::time_point until, std::size_t atLeast);
    bool checking() const { return !walk_.empty() || !moved_.empty() || !retry_.empty(); }
    // s became present (its mirrors without a parent hang at the root, with what waits below
    // them) or absent (they leave the scene). Each in one pass over the root's children.
    void show(mirroredSite& s);
    void hide(mirroredSite& s);

    // True when hanging m below parent would close a cycle (both in the scene).
    bool closesCycle(const mirror& m, const mirror& parent) const;
    // The world matrix of an in-scene mirror, by its ancestors.
    matrix4 worldMatrix(const mirror& m) const;

    std::size_t mirrorCount() const { return byNode_.size(); }
    std::size_t pooledNodes() const { return pool_.size(); }

private:
    void complain(const mirror& m, const std::string& what);
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
    // Takes the node out of every place an application hung it besides its record's.
    void unhangElsewhere(mirror& m);

    world::sceneNode* takeNode();
    void releaseNode(world::sceneNode* n);

    world::world& world_;
    world::nodeHooks* hooks_;
    complaintLog& complaints_;
    std::unordered_map<const sceneGraph::iSceneNode*, mirror*> byNode_;
    std::vector<world::sceneNode*> pool_;

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

} // namespace zel::share::detail
