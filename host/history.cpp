#include "history.h"

#include <zel/world/scene_node.h>

#include <algorithm>
#include <unordered_set>

namespace zel::host {

editHistory::editHistory(world::world& w, std::size_t limit)
    : world_(w), limit_(std::max<std::size_t>(limit, 1)) {
    world::world::editWatch watch;
    watch.matrixChanging = [this](world::sceneNode& n) {
        if (recording_ && touchedNodes_.insert(&n).second)
            touched_.emplace_back(&n, n.getMatrix());
    };
    watch.moved = [this](world::sceneNode& n) {
        if (recording_)
            placed_.insert(&n);
    };
    world_.setEditWatch(std::move(watch));
}

editHistory::~editHistory() {
    world_.setEditWatch({});
}

bool editHistory::tracked(world::sceneNode& node) const {
    const sceneGraph::iSceneNode* navigator = world_.getNavigatorNode();
    if (node.share().mirror || &node == navigator || &node == world_.getRootNode())
        return false;
    // Up the first parents: the ground and what hangs under it are every site's own furniture,
    // "head" under the navigator is the camera, and a node hung in by this very event (a model
    // loaded, with everything in it) arrives rather than changes.
    const world::sceneNode* n = &node;
    for (int steps = 0; steps < 100000 && n; ++steps) {
        if (n == world_.getGroundNode() || placed_.count(n))
            return false;
        const world::sceneNode* parent =
            n->getParents().empty() ? nullptr : n->getParents().front();
        if (n == &node && parent == navigator && node.getName() == u"head")
            return false;
        n = parent;
    }
    return true;
}

editHistory::snapshot editHistory::capture() const {
    snapshot out;
    world::sceneNode* root = world_.getRootNode();
    if (!root)
        return out;
    const sceneGraph::iSceneNode* navigator = world_.getNavigatorNode();
    const world::sceneNode* ground = world_.getGroundNode();
    std::unordered_set<const sceneGraph::iSceneNode*> seen{root};
    std::vector<sceneGraph::iSceneNode*> todo{root};
    while (!todo.empty()) {
        sceneGraph::iSceneNode* n = todo.back();
        todo.pop_back();
        for (std::int32_t i = 0, count = n->getNumChildren(); i < count; ++i) {
            auto* c = dynamic_cast<world::sceneNode*>(n->getChild(i));
            if (!c || c == ground || c->share().mirror || !seen.insert(c).second)
                continue;
            // The navigator walks and "head" is the camera: moving them is no edit. What hangs
            // under them (a model attached at "head") is.
            const bool camera = c == navigator || (n == navigator && c->getName() == u"head");
            if (!camera)
                out.emplace(c, c->getMatrix());
            todo.push_back(c);
        }
    }
    return out;
}

void editHistory::record(const std::function<void()>& deliver) {
    // The world says which matrices change and what they held: no walk over the scene per event.
    touched_.clear();
    touchedNodes_.clear();
    placed_.clear();
    recording_ = true;
    deliver();
    recording_ = false;
    for (const auto& [node, before] : touched_) {
        if (!tracked(*node))
            continue;
        const matrix4& now = node->getMatrix();
        const auto it = std::find_if(open_.begin(), open_.end(),
                                     [n = node](const change& c) { return c.node == n; });
        if (it != open_.end())
            it->after = now;
        else if (!(before == now))
            open_.push_back({node, before, now});
    }
    touched_.clear();
    touchedNodes_.clear();
    placed_.clear();
}

void editHistory::close() {
    std::erase_if(open_, [](const change& c) { return c.before == c.after; });
    if (open_.empty())
        return;
    done_.push_back(std::move(open_));
    open_.clear();
    undone_.clear();
    while (done_.size() > limit_)
        done_.pop_front();
}

void editHistory::forgetGone() {
    const snapshot present = capture();
    auto prune = [&](step& s) {
        std::erase_if(s, [&](const change& c) { return !present.count(c.node); });
        return s.empty();
    };
    std::erase_if(done_, prune);
    std::erase_if(undone_, prune);
}

bool editHistory::undo() {
    close();
    forgetGone();
    if (done_.empty())
        return false;
    step s = std::move(done_.back());
    done_.pop_back();
    for (auto it = s.rbegin(); it != s.rend(); ++it)
        it->node->setMatrix(it->before);
    undone_.push_back(std::move(s));
    return true;
}

bool editHistory::redo() {
    close();
    forgetGone();
    if (undone_.empty())
        return false;
    step s = std::move(undone_.back());
    undone_.pop_back();
    for (const change& c : s)
        c.node->setMatrix(c.after);
    done_.push_back(std::move(s));
    return true;
}

std::size_t editHistory::undoCount() {
    forgetGone();
    return done_.size();
}

std::size_t editHistory::redoCount() {
    forgetGone();
    return undone_.size();
}

} // namespace zel::host
