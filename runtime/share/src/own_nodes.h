// This site's own nodes: which of them are in the scene, their keys and sort keys, and the records
// that say what changed. World thread only.
#pragma once

#include "share_types.h"

#include <zel/share/records.h>
#include <zel/world/scene_node.h>
#include <zel/world/world.h>

#include <zel/import/imported_scene.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace zel::share::detail {

class ownNodes {
public:
    ownNodes(world::world& w, siteName self);

    void changed(world::sceneNode& n);
    void moved(world::sceneNode& n);
    // Every own node in the scene again (after the world was joined).
    void markEverything();
    // The records of what changed since the last call: a put for each changed node in the scene, a
    // delete for each published node that left it.
    std::vector<outgoing> collect();
    // Deletes for every published node: the site leaves.
    std::vector<outgoing> leaveAll();
    std::size_t published() const { return published_.size(); }

private:
    // The parent through which n hangs in the scene, or null when it does not.
    world::sceneNode* placeOf(world::sceneNode* n) const;
    const std::string& keyOf(world::sceneNode* n);
    // Gives every own child of parent a sort key that follows its place, keeping the keys that
    // already do (the longest run of them in order).
    void assignSortKeys(world::sceneNode* parent);
    outgoing recordOf(world::sceneNode* n, world::sceneNode* parent);

    world::world& world_;
    siteName self_;
    std::string selfId_;
    std::uint64_t nextNumber_ = 1;
    std::unordered_set<world::sceneNode*> dirty_;
    std::unordered_map<world::sceneNode*, std::string> keys_;
    std::unordered_map<world::sceneNode*, std::uint64_t> sortKeys_;
    std::unordered_set<world::sceneNode*> published_;
    std::unordered_map<world::sceneNode*, int> animShown_;
};

} // namespace zel::share::detail
