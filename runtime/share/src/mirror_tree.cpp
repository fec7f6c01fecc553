#include "mirror_tree.h"

#include <tuple>

namespace zel::share::detail {

using world::sceneNode;

mirrorTree::mirrorTree(world::world& w, world::nodeHooks* hooks, complaintLog& complaints)
    : world_(w), hooks_(hooks), complaints_(complaints) {}

mirrorTree::~mirrorTree() {
    // One pass over each parent: a parent may hold a hundred thousand mirrors.
    std::unordered_set<sceneNode*> parents;
    for (auto& [node, m] : byNode_)
        parents.insert(m->node->getParents().begin(), m->node->getParents().end());
    for (sceneNode* p : parents)
        p->mirrorRemoveChildren([&](sceneNode* c) { return byNode_.count(c) > 0; });
    // The nodes outlive this tree in the world: nothing of it may be called from them.
    for (auto& [node, m] : byNode_)
        m->node->setHooks(nullptr);
    for (sceneNode* n : pool_)
        n->setHooks(nullptr);
}

sceneNode* mirrorTree::takeNode() {
    sceneNode* n = nullptr;
    if (!pool_.empty()) {
        n = pool_.back();
        pool_.pop_back();
    } else {
        n = world_.createNode();
        n->setHooks(hooks_);
    }
    n->share().mirror = true;
    return n;
}

void mirrorTree::releaseNode(sceneNode* n) {
    for (sceneNode* p : std::vector<sceneNode*>(n->getParents()))
        p->mirrorRemoveChild(n);
    n->mirrorReplaceAttributes<xstd::attr>({});
    n->mirrorSetName({});
    n->mirrorSetMatrix(matrix4());
    n->share() = world::shareState{};
    n->share().mirror = true;
    pool_.push_back(n);
}

void mirrorTree::stopWaiting(mirror& m) {
    if (!m.waiting)
        return;
    auto w = m.site->waiting.find(m.parent);
    if (w != m.site->waiting.end()) {
        w->second.erase(m.n);
        if (w->second.empty())
            m.site->waiting.erase(w);
    }
    m.waiting = false;
}

void mirrorTree::detach(mirror& top) {
    if (top.depth == 0)
        return;
    detachBelow(top);
    unhangElsewhere(top);
    for (sceneNode* p : std::vector<sceneNode*>(top.node->getParents()))
        p->mirrorRemoveChild(top.node);
    top.depth = 0;
    if (top.hasParent) {
        top.waiting = true;
        top.site->waiting[top.parent].insert(top.n);
    }
}

void mirrorTree::detachBelow(mirror& top) {
    std::vector<mirror*> work{&top};
    while (!work.empty()) {
        mirror* m = work.back();
        work.pop_back();
        // Only this set hangs anything below a mirror, and only mirrors in the scene.
        bool any = false;
        for (sceneGraph::iSceneNode* c : m->node->getChildren()) {
            auto it = byNode_.find(c);
            if (it == byNode_.end() || it->second->depth == 0)
                continue;
            mirror* child = it->second;
            child->depth = 0;
            child->waiting = true;
            m->site->waiting[m->n].insert(child->n);
            work.push_back(child);
            any = true;
        }
        if (any)
            m->node->mirrorRemoveChildren([&](sceneNode* c) {
                auto it = byNode_.find(c);
                return it != byNode_.end() && it->second->depth == 0;
            });
    }
}

void mirrorTree::unhangElsewhere(mirror& m) {
    sceneNode* expected = nullptr;
    if (m.depth > 0)
        expected = m.hasParent ? m.site->nodes.at(m.parent).node : world_.getRootNode();
    for (sceneNode* p : std::vector<sceneNode*>(m.node->getParents()))
        if (p != expected)
            p->mirrorRemoveChild(m.node);
}

void mirrorTree::place(mirror& m) {
    if (m.depth > 0)
        return;
    if (!m.hasParent) {
        if (m.site->present)
            attach(m, world_.getRootNode(), 1);
        return;
    }
    auto p = m.site->nodes.find(m.parent);
    if (p != m.site->nodes.end() && p->second.depth > 0) {
        stopWaiting(m);
        attach(m, p->second.node, p->second.depth + 1);
    } else if (!m.waiting) {
        m.waiting = true;
        m.site->waiting[m.parent].insert(m.n);
    }
}

bool mirrorTree::fits(mirror& m, int depth, const matrix4& world) {
    if (depth <= maxDepth && finite(world))
        return true;
    complain(m, depth > maxDepth ? "deeper than 256 levels"
                                 : "its place in the scene is out of range");
    if (m.hasParent && !m.waiting) {
        m.waiting = true;
        m.site->waiting[m.parent].insert(m.n);
    }
    return false;
}

void mirrorTree::attach(mirror& top, sceneNode* topParent, int topDepth) {
    matrix4 world = top.node->getMatrix();
    if (topParent != world_.getRootNode())
        world.postMult(worldMatrix(*byNode_.at(topParent)));
    if (!fits(top, topDepth, world))
        return;
    insertSorted(topParent, top);
    top.depth = static_cast<std::uint16_t>(topDepth);
    attachWaiting({{&top, world}});
}

void mirrorTree::attachWaiting(std::vector<std::pair<mirror*, matrix4>> work) {
    std::vector<mirror*> hung;
    std::vector<std::pair<mirror*, matrix4>> next;
    while (!work.empty()) {
        auto [m, world] = work.back();
        work.pop_back();
        auto w = m->site->waiting.find(m->n);
        if (w == m->site->waiting.end())
            continue;
        const std::vector<std::uint64_t> children(w->second.begin(), w->second.end());
        m->site->waiting.erase(w);
        hung.clear();
        next.clear();
        for (std::uint64_t n : children) {
            mirror& c = m->site->nodes.at(n);
            c.waiting = false;
            matrix4 childWorld = c.node->getMatrix();
            childWorld.postMult(world);
            if (!fits(c, m->depth + 1, childWorld))
                continue;
            hung.push_back(&c);
            next.emplace_back(&c, childWorld);
        }
        insertAllSorted(m->node, hung);
        for (auto& [c, childWorld] : next) {
            c->depth = static_cast<std::uint16_t>(m->depth + 1);
            work.emplace_back(c, childWorld);
        }
    }
}

void mirrorTree::insertSorted(sceneNode* parent, mirror& m) {
    // Siblings by (site, sort key, number) at the root, by (sort key, number) under a mirror:
    // "first child" means the same on every site. This site's own children at the root come
    // first.
    const auto rank = [](const mirror& x) {
        return std::tie(x.site->name.user, x.site->name.hex, x.order, x.n);
    };
    const auto mine = rank(m);
    const auto& children = parent->getChildren();
    std::size_t lo = 0, hi = children.size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        auto c = byNode_.find(children[mid]);
        if (c != byNode_.end() && mine < rank(*c->second))
            hi = mid;
        else
            lo = mid + 1;
    }
    parent->mirrorInsertChild(m.node, static_cast<std::int32_t>(lo));
}

void mirrorTree::insertAllSorted(sceneNode* parent, const std::vector<mirror*>& ms) {
    if (ms.empty())
        return;
    // The same order as insertSorted's, in contiguous keys: every one of ms is of one site.
    struct entry {
        std::uint64_t order, n;
        mirror* m;
    };
    std::vector<entry> sorted;
    sorted.reserve(ms.size());
    for (mirror* m : ms)
        sorted.push_back({m->order, m->n, m});
    std::sort(sorted.begin(), sorted.end(), [](const entry& a, const entry& b) {
        return std::tie(a.order, a.n) < std::tie(b.order, b.n);
    });
    std::vector<sceneNode*> nodes;
    nodes.reserve(sorted.size());
    for (const entry& e : sorted)
        nodes.push_back(e.m->node);
    const mirroredSite* site = ms.front()->site;
    parent->mirrorMergeChildren(nodes, [&](std::size_t i, sceneGraph::iSceneNode* present) {
        auto c = byNode_.find(present);
        if (c == byNode_.end())
            return false;
        const mirror& other = *c->second;
        if (other.site != site)
            return std::tie(site->name.user, site->name.hex) <
                   std::tie(other.site->name.user, other.site->name.hex);
        return std::tie(sorted[i].order, sorted[i].n) < std::tie(other.order, other.n);
    });
}

void mirrorTree::moved(mirror& m) {
    if (!m.moved) {
        m.moved = true;
        moved_.insert(&m);
    }
}

void mirrorTree::restartWalk() {
    if (walk_.empty())
        return;
    mirror* top = walk_.front().m;
    for (walkStep& step : walk_)
        step.m->walking = false;
    walk_.clear();
    moved(*top);
}

bool mirrorTree::checkMoved(clock::time_point until, std::size_t atLeast) {
    // Every turn counts, a child passed over too: a node may have a hundred thousand children.
    for (std::size_t steps = 1;; ++steps) {
        if (steps > atLeast && steps % 256 == 0 && clock::now() >= until)
            return true;
        if (walk_.empty()) {
            // Children that did not fit below a mirror met on the last walk: perhaps they do now.
            for (mirror* r : std::exchange(retry_, {}))
                if (r->depth > 0)
                    attachWaiting({{r, worldMatrix(*r)}});
            if (order_.empty()) {
                if (moved_.empty())
                    return false;
                // The shallowest first: its walk covers every moved node below it.
                order_.assign(moved_.begin(), moved_.end());
                std::sort(order_.begin(), order_.end(),
                          [](const mirror* a, const mirror* b) { return a->depth > b->depth; });
            }
            // Walked already, or gone (then the pointer is no longer in moved_).
            mirror* top = order_.back();
            order_.pop_back();
            if (moved_.erase(top) == 0)
                continue;
            top->moved = false;
            if (top->depth == 0)
                continue;
            const matrix4 world = worldMatrix(*top);
            if (!finite(world)) {
                complain(*top, "its place in the scene is out of range");
                detach(*top);
                continue;
            }
            if (top->site->waiting.count(top->n))
                retry_.insert(top);
            top->walking = true;
            walk_.push_back({top, world, 0});
            continue;
        }
        walkStep& step = walk_.back();
        const auto& children = step.m->node->getChildren();
        if (step.m->depth == 0 || step.next >= children.size()) {
            step.m->walking = false;
            walk_.pop_back();
            continue;
        }
        auto it = byNode_.find(children[step.next++]);
        if (it == byNode_.end() || it->second->depth == 0)
            continue;
        mirror& c = *it->second;
        if (c.moved) {
            // Walked now, with its new matrix.
            c.moved = false;
            moved_.erase(&c);
        }
        matrix4 world = c.node->getMatrix();
        world.postMult(step.world);
        if (!finite(world)) {
            // The walk's matrices may be older than a move since: only what holds now counts.
            world = worldMatrix(c);
            if (!finite(world)) {
                complain(c, "its place in the scene is out of range");
                detach(c);
                --step.next;
                continue;
            }
        }
        if (!c.site->waiting.empty() && c.site->waiting.count(c.n))
            retry_.insert(&c);
        if (!c.node->getChildren().empty()) {
            c.walking = true;
            walk_.push_back({&c, world, 0});
        }
    }
}

bool mirrorTree::closesCycle(const mirror& m, const mirror& parent) const {
    const mirror* at = &parent;
    for (int steps = 0; at && steps <= maxDepth; ++steps) {
        if (at == &m)
            return true;
        if (!at->hasParent)
            return false;
        auto p = at->site->nodes.find(at->parent);
        at = p == at->site->nodes.end() ? nullptr : &p->second;
    }
    return false;
}

matrix4 mirrorTree::worldMatrix(const mirror& m) const {
    matrix4 out = m.node->getMatrix();
    const mirror* at = &m;
    for (int steps = 0; at->hasParent && steps < maxDepth; ++steps) {
        auto p = at->site->nodes.find(at->parent);
        if (p == at->site->nodes.end())
            break;
        at = &p->second;
        out.postMult(at->node->getMatrix());
    }
    return out;
}

void mirrorTree::complain(const mirror& m, const std::string& what) {
    complaints_.complain(m.site->id, m.site->name.user, what);
}

mirror& mirrorTree::add(mirroredSite& s, std::uint64_t n) {
    mirror fresh;
    fresh.site = &s;
    fresh.n = n;
    fresh.node = takeNode();
    fresh.node->share().owner = s.id;
    fresh.node->share().user = s.name.user;
    mirror& m = s.nodes.emplace(n, std::move(fresh)).first->second;
    byNode_[m.node] = &m;
    return m;
}

void mirrorTree::remove(mirroredSite& s, mirror& m) {
    if (m.walking)
        restartWalk();
    if (m.moved)
        moved_.erase(&m);
    retry_.erase(&m);
    detach(m);
    stopWaiting(m);
    s.roots.erase(&m);
    if (s.navigator == &m)
        s.navigator = nullptr;
    byNode_.erase(m.node);
    releaseNode(m.node);
    s.nodes.erase(m.n);
}

void mirrorTree::reparent(mirror& m, std::optional<std::uint64_t> parent, std::uint64_t order) {
    detach(m);
    stopWaiting(m);
    if (!m.hasParent)
        m.site->roots.erase(&m);
    m.hasParent = parent.has_value();
    m.parent = parent.value_or(0);
    m.order = order;
    if (!m.hasParent)
        m.site->roots.insert(&m);
    place(m);
}

void mirrorTree::reorder(mirror& m, std::uint64_t order) {
    m.order = order;
    if (m.depth == 0)
        return;
    sceneNode* p = m.hasParent ? m.site->nodes.at(m.parent).node : world_.getRootNode();
    p->mirrorRemoveChild(m.node);
    insertSorted(p, m);
}

void mirrorTree::matrixChanged(mirror& m) {
    if (m.depth > 0)
        moved(m);
    else
        place(m); // out of range before, perhaps back now
}

void mirrorTree::hide(mirroredSite& s) {
    // A site may hang a hundred thousand nodes at the root: they go in one pass over the root's
    // children, not one search and shift each.
    world_.getRootNode()->mirrorRemoveChildren(
        [&](sceneNode* c) { return c->share().mirror && c->share().owner == s.id; });
    // One pass: a node met before its root was taken out still hangs under its parent, which
    // unhangElsewhere keeps; detachBelow takes it out with its root.
    for (auto& [n, m] : s.nodes) {
        if (!m.hasParent && m.depth > 0) {
            if (!m.node->getChildren().empty())
                detachBelow(m);
            m.depth = 0;
        }
        if (!m.node->getParents().empty())
            unhangElsewhere(m);
    }
}

void mirrorTree::show(mirroredSite& s) {
    std::vector<mirror*> tops;
    std::vector<std::pair<mirror*, matrix4>> work;
    for (mirror* m : s.roots) {
        if (m->depth > 0)
            continue;
        tops.push_back(m);
        if (s.waiting.count(m->n))
            work.emplace_back(m, m->node->getMatrix());
    }
    insertAllSorted(world_.getRootNode(), tops);
    for (mirror* m : tops)
        m->depth = 1;
    attachWaiting(std::move(work));
}

} // namespace zel::share::detail
