// Undo and redo of this site's own edits. A step is everything one key press, one drag or one
// script command changed in the matrices of the site's own nodes: the placed model above all,
// never the camera ("head"), the navigator (walking) or the ground, and never another site's
// mirrors. An undo puts the matrices back as an ordinary edit, so a shared scene publishes it like
// any other change.
#pragma once

#include <zel/math.h>
#include <zel/world/world.h>

#include <cstddef>
#include <deque>
#include <functional>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace zel::world {
class sceneNode;
}

namespace zel::host {

class editHistory {
public:
    // limit: the most steps kept; the oldest go first. Watches the world's matrices from now on.
    explicit editHistory(world::world& w, std::size_t limit = 256);
    ~editHistory();
    editHistory(const editHistory&) = delete;
    editHistory& operator=(const editHistory&) = delete;

    // Runs deliver (one input event) and adds what it changed to the open step. Changes made
    // between two deliveries (a playing animation, another site) are no part of any step.
    void record(const std::function<void()>& deliver);
    // Closes the open step: one more step to undo (when it changed anything), and nothing left to
    // redo.
    void close();

    // Undoes the newest step, or redoes the newest undone one. False when there is none.
    bool undo();
    bool redo();

    std::size_t undoCount();
    std::size_t redoCount();
    std::size_t limit() const { return limit_; }

private:
    struct change {
        world::sceneNode* node;
        matrix4 before, after;
    };
    using step = std::vector<change>;
    using snapshot = std::unordered_map<world::sceneNode*, matrix4>;

    // The matrices of this site's own nodes in the scene now.
    snapshot capture() const;
    // Whether a change to the node's matrix is an edit of this site's: not the camera, the
    // navigator, the ground or what hangs under it, nor another site's mirror.
    bool tracked(world::sceneNode& node) const;
    // Drops the changes of nodes no longer in the scene, and the steps left empty.
    void forgetGone();

    world::world& world_;
    std::size_t limit_;
    // While record() delivers: each node whose matrix changed, with its matrix before, and the
    // nodes hung in or taken out (a model that arrives with the event is no edit).
    bool recording_ = false;
    std::vector<std::pair<world::sceneNode*, matrix4>> touched_;
    std::unordered_set<const world::sceneNode*> touchedNodes_, placed_;
    step open_;
    std::deque<step> done_;
    std::vector<step> undone_;
};

} // namespace zel::host
