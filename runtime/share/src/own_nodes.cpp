#include "own_nodes.h"

#include <zel/world/animation.h>
#include <zel/world/geometry.h>

#include <algorithm>
#include <limits>

namespace zel::share::detail {

using world::sceneNode;

namespace {

bool ownPublishable(sceneGraph::iSceneNode* c) {
    auto* n = dynamic_cast<sceneNode*>(c);
    return n && !n->share().mirror && n->share().publishable;
}

constexpr std::uint64_t keySpacing = std::uint64_t(1) << 32;

} // namespace

ownNodes::ownNodes(world::world& w, siteName self)
    : world_(w), self_(std::move(self)), selfId_(self_.id()) {}

void ownNodes::changed(sceneNode& n) {
    if (!n.share().mirror)
        dirty_.insert(&n);
}

void ownNodes::moved(sceneNode& n) {
    if (n.share().mirror)
        return;
    world::walkGraph(&n, [&](sceneGraph::iSceneNode* c, int) {
        auto* own = dynamic_cast<sceneNode*>(c);
        if (!own || own->share().mirror)
            return false;
        dirty_.insert(own);
        return true;
    });
}

void ownNodes::markEverything() {
    for (sceneGraph::iSceneNode* c : world_.getRootNode()->getChildren())
        if (auto* own = dynamic_cast<sceneNode*>(c))
            moved(*own);
}

sceneNode* ownNodes::placeOf(sceneNode* n) const {
    sceneNode* root = world_.getRootNode();
    if (n == root || n->share().mirror || !n->share().publishable)
        return nullptr;
    // Upwards through own nodes; a node may hang in several places, so each parent is tried.
    std::vector<sceneNode*> work;
    std::unordered_set<sceneNode*> seen;
    for (sceneNode* first : n->getParents()) {
        work.assign(1, first);
        while (!work.empty()) {
            sceneNode* at = work.back();
            work.pop_back();
            if (at == root)
                return first;
            if (at->share().mirror || !at->share().publishable || !seen.insert(at).second)
                continue;
            for (sceneNode* p : at->getParents())
                work.push_back(p);
        }
    }
    return nullptr;
}

const std::string& ownNodes::keyOf(sceneNode* n) {
    auto it = keys_.find(n);
    if (it == keys_.end()) {
        it = keys_.emplace(n, nodeKey{self_, nextNumber_++}.text()).first;
        n->share().owner = selfId_;
    }
    return it->second;
}

void ownNodes::assignSortKeys(sceneNode* parent) {
    std::vector<sceneNode*> siblings;
    std::unordered_set<sceneNode*> seen;
    for (sceneGraph::iSceneNode* c : parent->getChildren())
        if (ownPublishable(c) && seen.insert(dynamic_cast<sceneNode*>(c)).second)
            siblings.push_back(dynamic_cast<sceneNode*>(c));
    const std::size_t n = siblings.size();
    std::vector<std::uint64_t> key(n, 0);
    for (std::size_t i = 0; i < n; ++i)
        if (auto it = sortKeys_.find(siblings[i]); it != sortKeys_.end())
            key[i] = it->second;
    // The longest strictly increasing run of existing keys stays (patience sorting).
    std::vector<std::size_t> tails, previous(n, n);
    for (std::size_t i = 0; i < n; ++i) {
        if (key[i] == 0)
            continue;
        auto at = std::lower_bound(tails.begin(), tails.end(), key[i],
                                   [&](std::size_t t, std::uint64_t k) { return key[t] < k; });
        if (at != tails.begin())
            previous[i] = *(at - 1);
        if (at == tails.end())
            tails.push_back(i);
        else
            *at = i;
    }
    std::vector<bool> kept(n, false);
    for (std::size_t i = tails.empty() ? n : tails.back(); i < n; i = previous[i])
        kept[i] = true;
    // The others get keys spread between their kept neighbours.
    bool renumber = false;
    for (std::size_t i = 0; i < n && !renumber;) {
        if (kept[i]) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < n && !kept[end])
            ++end;
        const std::uint64_t lo = i == 0 ? 0 : key[i - 1];
        const bool last = end == n;
        const std::uint64_t hi = last ? std::numeric_limits<std::uint64_t>::max() : key[end];
        std::uint64_t step = (hi - lo) / (end - i + 1);
        if (last)
            step = std::min(step, keySpacing);
        if (step == 0) {
            renumber = true;
            break;
        }
        for (std::size_t j = i; j < end; ++j)
            key[j] = lo + step * (j - i + 1);
        i = end;
    }
    if (renumber)
        for (std::size_t i = 0; i < n; ++i)
            key[i] = keySpacing * (i + 1);
    for (std::size_t i = 0; i < n; ++i)
        sortKeys_[siblings[i]] = key[i];
}

outgoing ownNodes::recordOf(sceneNode* n, sceneNode* parent) {
    outgoing out;
    out.key = keyOf(n);
    nodeRecord& r = out.record;
    r.name = xstd::toUtf8(n->getName());
    if (parent != world_.getRootNode())
        r.parent = keyOf(parent);
    r.order = sortKeys_[n];
    std::copy(n->getMatrix().data(), n->getMatrix().data() + 16, r.matrix.begin());
    for (auto it = n->getAttributes(); it.isValid(); it.advance()) {
        if (auto* g = dynamic_cast<const world::geometryAttr*>(it.getCurrent())) {
            if (!g->getSourceScene() || (out.source && out.source != g->getSourceScene()))
                continue;
            out.source = g->getSourceScene();
            r.meshes.push_back(g->getSourceIndex());
        } else if (auto* a = dynamic_cast<const anim::animAttr*>(it.getCurrent())) {
            if (r.anim < 0) {
                r.anim = world_.getAnimPlayer()->isPlaying(a->getAnim()) ? 1 : 0;
                animShown_[n] = r.anim;
            }
        }
    }
    r.navigator = n == world_.getNavigatorNode() && parent == world_.getRootNode();
    return out;
}

std::vector<outgoing> ownNodes::collect() {
    // Animations start and stop without touching a node.
    for (auto& [n, shown] : animShown_) {
        for (auto it = n->getAttributes(); it.isValid(); it.advance())
            if (auto* a = dynamic_cast<const anim::animAttr*>(it.getCurrent())) {
                if ((world_.getAnimPlayer()->isPlaying(a->getAnim()) ? 1 : 0) != shown)
                    dirty_.insert(n);
                break;
            }
    }
    std::vector<outgoing> out;
    if (dirty_.empty())
        return out;
    std::vector<std::pair<sceneNode*, sceneNode*>> live;
    std::unordered_set<sceneNode*> parents;
    for (sceneNode* n : dirty_) {
        if (sceneNode* p = placeOf(n)) {
            live.emplace_back(n, p);
            parents.insert(p);
        } else if (published_.erase(n)) {
            outgoing gone;
            gone.key = keys_.at(n);
            gone.erase = true;
            out.push_back(std::move(gone));
            animShown_.erase(n);
        }
    }
    dirty_.clear();
    for (sceneNode* p : parents)
        assignSortKeys(p);
    for (auto [n, p] : live) {
        out.push_back(recordOf(n, p));
        published_.insert(n);
    }
    return out;
}

std::vector<outgoing> ownNodes::leaveAll() {
    std::vector<outgoing> out;
    for (sceneNode* n : published_) {
        outgoing gone;
        gone.key = keys_.at(n);
        gone.erase = true;
        out.push_back(std::move(gone));
    }
    published_.clear();
    animShown_.clear();
    return out;
}

} // namespace zel::share::detail
