#include "mirror_set.h"

#include <zel/world/geometry.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>

namespace zel::share::detail {

using world::sceneNode;

namespace {

bool finite(const matrix4& x) {
    return std::all_of(x.data(), x.data() + 16, [](float f) { return std::isfinite(f); });
}

} // namespace

std::string printable(std::string_view text, std::size_t max) {
    static const char* const hex = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (out.size() >= max) {
            out += "...";
            break;
        }
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            out += "\\x";
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

mirrorSet::mirrorSet(world::world& w, world::nodeHooks* hooks, std::ostream& log, siteName self,
                     std::function<sceneRef(const std::string&)> findAsset)
    : world_(w), hooks_(hooks), log_(log), self_(std::move(self)), selfId_(self_.id()),
      findAsset_(std::move(findAsset)) {
    siteState& me = siteOf(self_);
    me.self = true;
    me.present = true;
    ++me.user->present;
}

mirrorSet::~mirrorSet() {
    // One pass over each parent: a parent may hold a hundred thousand mirrors.
    std::unordered_set<sceneNode*> parents;
    for (auto& [node, m] : byNode_)
        parents.insert(m->node->getParents().begin(), m->node->getParents().end());
    for (sceneNode* p : parents)
        p->mirrorRemoveChildren([&](sceneNode* c) { return byNode_.count(c) > 0; });
    // The nodes outlive this set in the world: nothing of it may be called from them.
    for (auto& [node, m] : byNode_)
        m->node->setHooks(nullptr);
    for (sceneNode* n : pool_)
        n->setHooks(nullptr);
}

mirrorSet::siteState& mirrorSet::siteOf(const siteName& name) {
    std::string id = name.id();
    auto it = sites_.find(id);
    if (it == sites_.end()) {
        it = sites_.emplace(id, siteState{}).first;
        it->second.name = name;
        it->second.id = std::move(id);
        it->second.user = &users_[name.user];
        it->second.absentSince = clock::now();
    }
    return it->second;
}

void mirrorSet::forgetIfEmpty(const std::string& id) {
    auto it = sites_.find(id);
    if (it != sites_.end() && !it->second.self && !it->second.present && it->second.nodes.empty())
        sites_.erase(it);
}

void mirrorSet::complain(const std::string& site, const std::string& user,
                         const std::string& what) {
    // One line a second per site, and at most a few a second per user, however many sites it
    // makes up.
    const auto now = clock::now();
    if (complained_.size() > 10000)
        complained_.clear();
    clock::time_point& last = complained_[site];
    if (last != clock::time_point{} && now - last < std::chrono::seconds(1))
        return;
    userState& u = users_[user];
    if (now - u.complaintWindow >= std::chrono::seconds(1)) {
        u.complaintWindow = now;
        u.complaints = 0;
    }
    if (++u.complaints > 5)
        return;
    last = now;
    log_ << "shared scene: dropped a record of site " << printable(site) << ": " << what
         << std::endl;
}

std::size_t mirrorSet::waitingCount() const {
    std::size_t n = 0;
    for (const auto& [id, s] : sites_)
        for (const auto& [parent, children] : s.waiting)
            n += children.size();
    return n;
}

// ---- nodes ------------------------------------------------------------------------------------

sceneNode* mirrorSet::takeNode() {
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

void mirrorSet::releaseNode(sceneNode* n) {
    for (sceneNode* p : std::vector<sceneNode*>(n->getParents()))
        p->mirrorRemoveChild(n);
    n->mirrorReplaceAttributes<xstd::attr>({});
    n->mirrorSetName({});
    n->mirrorSetMatrix(matrix4());
    n->share() = world::shareState{};
    n->share().mirror = true;
    pool_.push_back(n);
}

void mirrorSet::applyNode(std::string_view keyText, std::string_view value, bool erased) {
    const std::optional<nodeKey> key = parseNodeKey(keyText);
    if (!key) {
        const std::string prefix(keyText.substr(0, std::min<std::size_t>(keyText.find('.'), 32)));
        complain(prefix, prefix, "bad key " + printable(keyText, 64));
        return;
    }
    if (key->site == self_)
        return;
    auto siteIt = sites_.find(key->site.id());
    if (erased) {
        if (siteIt == sites_.end())
            return;
        auto m = siteIt->second.nodes.find(key->n);
        if (m != siteIt->second.nodes.end())
            remove(siteIt->second, m->second);
        forgetIfEmpty(key->site.id());
        return;
    }
    std::string reason;
    std::optional<nodeRecord> record = decodeRecord(*key, value, reason);
    if (!record) {
        complain(key->site.id(), key->site.user, reason);
        return;
    }
    siteState& s = siteIt != sites_.end() ? siteIt->second : siteOf(key->site);
    auto existing = s.nodes.find(key->n);
    mirror* m = existing != s.nodes.end() ? &existing->second : nullptr;
    // Every node and every mesh it shows costs its user: a record names up to 65,536 meshes.
    const std::size_t charge = 1 + record->meshes.size();
    if (s.user->live - (m ? m->charge : 0) + charge > maxNodesPerUser) {
        complain(key->site.id(), key->site.user, "more than 100000 nodes and meshes");
        forgetIfEmpty(s.id);
        return;
    }
    const bool meshChanged =
        !m || !m->meshShown || m->mesh != record->meshScene || m->meshes != record->meshes;
    if (meshChanged && !record->meshScene.empty())
        if (const sceneRef known = findAsset_(record->meshScene))
            for (std::uint32_t i : record->meshes)
                if (i >= known->meshes.size()) {
                    complain(key->site.id(), key->site.user,
                             "mesh " + std::to_string(i) + " past the model's " +
                                 std::to_string(known->meshes.size()) + " meshes");
                    forgetIfEmpty(s.id);
                    return;
                }
    std::optional<std::uint64_t> parent;
    if (!record->parent.empty())
        parent = parseNodeKey(record->parent)->n;
    const bool parentChanged =
        !m || m->hasParent != parent.has_value() || (parent && m->parent != *parent);
    // Only a node that others hang below can close a cycle, and only when its parent changes.
    if (m && parentChanged && parent && m->depth > 0) {
        auto p = s.nodes.find(*parent);
        if (p != s.nodes.end() && p->second.depth > 0 && closesCycle(*m, p->second)) {
            complain(key->site.id(), key->site.user, "its parent hangs below it");
            return;
        }
    }
    if (record->navigator && (parent || (s.navigator && s.navigator != m)))
        record->navigator = false; // one navigator per site, at the top
    matrix4 matrix;
    std::copy(record->matrix.begin(), record->matrix.end(), matrix.data());
    // A node that stays in the scene must stay where a float can say; what hangs below it is
    // checked again by checkMoved, once for all the moves of a frame.
    const bool matrixChanged = m && !parentChanged && !(matrix == m->node->getMatrix());
    if (matrixChanged && m->depth > 0) {
        matrix4 composed = matrix;
        if (m->hasParent)
            composed.postMult(worldMatrix(s.nodes.at(m->parent)));
        if (!finite(composed)) {
            complain(key->site.id(), key->site.user, "its place in the scene is out of range");
            return;
        }
    }
    if (!m) {
        mirror fresh;
        fresh.site = &s;
        fresh.n = key->n;
        fresh.node = takeNode();
        fresh.node->share().owner = s.id;
        fresh.node->share().user = key->site.user;
        m = &s.nodes.emplace(key->n, std::move(fresh)).first->second;
        byNode_[m->node] = m;
    }
    s.user->live = s.user->live - m->charge + charge;
    m->charge = charge;
    const bool orderChanged = m->order != record->order;
    m->node->mirrorSetName(xstd::fromUtf8(record->name));
    m->node->mirrorSetMatrix(matrix);
    m->node->share().mirrorAnim = record->anim;
    if (m->navigator != record->navigator) {
        m->navigator = record->navigator;
        s.navigator = m->navigator ? m : nullptr;
    }
    m->node->share().navigator = m->navigator;
    if (meshChanged) {
        stopAwaiting(*m);
        m->mesh = std::move(record->meshScene);
        m->meshes = std::move(record->meshes);
        showMesh(*m);
    }
    if (parentChanged) {
        detach(*m);
        stopWaiting(*m);
        if (!m->hasParent)
            s.roots.erase(m);
        m->hasParent = parent.has_value();
        m->parent = parent.value_or(0);
        m->order = record->order;
        if (!m->hasParent)
            s.roots.insert(m);
        place(*m);
    } else {
        if (orderChanged) {
            m->order = record->order;
            if (m->depth > 0) {
                sceneNode* p = m->hasParent ? s.nodes.at(m->parent).node : world_.getRootNode();
                p->mirrorRemoveChild(m->node);
                insertSorted(p, *m);
            }
        }
        if (matrixChanged && m->depth > 0)
            moved(*m);
        else if (matrixChanged)
            place(*m); // out of range before, perhaps back now
    }
}

void mirrorSet::remove(siteState& s, mirror& m) {
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
    stopAwaiting(m);
    byNode_.erase(m.node);
    releaseNode(m.node);
    s.user->live -= m.charge;
    s.nodes.erase(m.n);
}

void mirrorSet::stopAwaiting(mirror& m) {
    if (m.mesh.empty() || m.meshShown)
        return;
    if (auto a = awaitingAsset_.find(m.site->name.user + "." + m.mesh); a != awaitingAsset_.end()) {
        a->second.erase(&m);
        if (a->second.empty())
            awaitingAsset_.erase(a);
    }
}

// ---- places -----------------------------------------------------------------------------------

void mirrorSet::stopWaiting(mirror& m) {
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

void mirrorSet::detach(mirror& top) {
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

void mirrorSet::detachBelow(mirror& top) {
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

void mirrorSet::unhangElsewhere(mirror& m) {
    sceneNode* expected = nullptr;
    if (m.depth > 0)
        expected = m.hasParent ? m.site->nodes.at(m.parent).node : world_.getRootNode();
    for (sceneNode* p : std::vector<sceneNode*>(m.node->getParents()))
        if (p != expected)
            p->mirrorRemoveChild(m.node);
}

void mirrorSet::place(mirror& m) {
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

bool mirrorSet::fits(mirror& m, int depth, const matrix4& world) {
    if (depth <= maxDepth && finite(world))
        return true;
    complain(m.site->id, m.site->name.user,
             depth > maxDepth ? "deeper than 256 levels"
                              : "its place in the scene is out of range");
    if (m.hasParent && !m.waiting) {
        m.waiting = true;
        m.site->waiting[m.parent].insert(m.n);
    }
    return false;
}

void mirrorSet::attach(mirror& top, sceneNode* topParent, int topDepth) {
    matrix4 world = top.node->getMatrix();
    if (topParent != world_.getRootNode())
        world.postMult(worldMatrix(*byNode_.at(topParent)));
    if (!fits(top, topDepth, world))
        return;
    insertSorted(topParent, top);
    top.depth = static_cast<std::uint16_t>(topDepth);
    attachWaiting({{&top, world}});
}

void mirrorSet::attachWaiting(std::vector<std::pair<mirror*, matrix4>> work) {
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

void mirrorSet::insertSorted(sceneNode* parent, mirror& m) {
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

void mirrorSet::insertAllSorted(sceneNode* parent, const std::vector<mirror*>& ms) {
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
    const siteState* site = ms.front()->site;
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

void mirrorSet::moved(mirror& m) {
    if (!m.moved) {
        m.moved = true;
        moved_.insert(&m);
    }
}

void mirrorSet::restartWalk() {
    if (walk_.empty())
        return;
    mirror* top = walk_.front().m;
    for (walkStep& step : walk_)
        step.m->walking = false;
    walk_.clear();
    moved(*top);
}

bool mirrorSet::checkMoved(clock::time_point until, std::size_t atLeast) {
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
                complain(top->site->id, top->site->name.user,
                         "its place in the scene is out of range");
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
                complain(c.site->id, c.site->name.user, "its place in the scene is out of range");
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

bool mirrorSet::closesCycle(const mirror& m, const mirror& parent) const {
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

matrix4 mirrorSet::worldMatrix(const mirror& m) const {
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

bool mirrorSet::geometryOf(const mirror& m, const sceneRef& scene,
                           std::vector<std::unique_ptr<xstd::attr>>& out) {
    for (std::uint32_t i : m.meshes)
        if (i >= scene->meshes.size()) {
            complain(m.site->id, m.site->name.user,
                     "mesh " + std::to_string(i) + " past the model's " +
                         std::to_string(scene->meshes.size()) + " meshes");
            out.clear();
            return false;
        }
    // The records refuse repeated indices: each geometry here is one mesh of the model, sharing
    // its data and its material's texture name.
    // Drawn as its own site draws it: a model whose every material is fully transparent, opaque.
    const bool opaque = !world::clearMaterials(*scene).empty();
    for (std::uint32_t i : m.meshes)
        if (auto g = world::makeSceneGeometry(scene, i, opaque))
            out.push_back(std::move(g));
    return true;
}

void mirrorSet::showMesh(mirror& m) {
    std::vector<std::unique_ptr<xstd::attr>> geometry;
    m.meshShown = true;
    if (!m.mesh.empty()) {
        if (sceneRef scene = findAsset_(m.mesh)) {
            geometryOf(m, scene, geometry);
        } else {
            m.meshShown = false;
            auto [it, fresh] = awaitingAsset_.try_emplace(m.site->name.user + "." + m.mesh);
            it->second.insert(&m);
            if (fresh)
                requests_.push_back({m.site->name.user, m.mesh});
        }
    }
    m.node->mirrorReplaceAttributes<world::geometryAttr>(std::move(geometry));
}

void mirrorSet::assetArrived(const std::string& user, const std::string& hash,
                             const sceneRef& scene) {
    auto it = awaitingAsset_.find(user + "." + hash);
    if (it == awaitingAsset_.end())
        return;
    std::unordered_set<mirror*> waiting = std::move(it->second);
    awaitingAsset_.erase(it);
    if (!scene)
        return;
    for (mirror* m : waiting) {
        std::vector<std::unique_ptr<xstd::attr>> geometry;
        geometryOf(*m, scene, geometry);
        m->node->mirrorReplaceAttributes<world::geometryAttr>(std::move(geometry));
        m->meshShown = true;
    }
}

std::vector<assetRequest> mirrorSet::takeAssetRequests() {
    return std::exchange(requests_, {});
}

// ---- presence ---------------------------------------------------------------------------------

void mirrorSet::applyPresence(std::string_view keyText, std::string_view value, bool erased,
                              clock::time_point now) {
    const std::optional<siteName> key = parsePresenceKey(keyText);
    if (!key) {
        const std::string prefix(keyText.substr(0, std::min<std::size_t>(keyText.find('.'), 32)));
        complain(prefix, prefix, "bad presence key " + printable(keyText, 64));
        return;
    }
    const std::string id = key->id();
    if (erased) {
        if (auto it = sites_.find(id);
            it != sites_.end() && it->second.present && !it->second.self) {
            setPresent(it->second, false);
            forgetIfEmpty(id);
        }
        return;
    }
    std::string reason;
    const std::optional<presenceRecord> record = decodePresence(*key, value, reason);
    if (!record) {
        complain(key->id(), key->user, reason);
        return;
    }
    if (auto it = sites_.find(id); (it == sites_.end() || !it->second.present) &&
                                   users_[key->user].present >= maxSitesPerUser) {
        complain(id, key->user,
                 "user " + printable(key->user) + " has " + std::to_string(maxSitesPerUser) +
                     " sites present already");
        return;
    }
    siteState& s = siteOf(*key);
    s.joined = record->joined;
    s.seen = now;
    if (!s.present)
        setPresent(s, true);
}

void mirrorSet::expire(clock::time_point now) {
    std::vector<std::string> gone;
    for (auto& [id, s] : sites_)
        if (s.present && !s.self && now - s.seen > presenceTimeout)
            gone.push_back(id);
    for (const std::string& id : gone) {
        setPresent(sites_.at(id), false);
        forgetIfEmpty(id);
    }
}

void mirrorSet::setPresent(siteState& s, bool present) {
    // A site may hang a hundred thousand nodes at the root: they go and come back in one pass
    // over the root's children, not one search and shift each.
    s.present = present;
    sceneNode* root = world_.getRootNode();
    if (!present) {
        --s.user->present;
        s.absentSince = clock::now();
        root->mirrorRemoveChildren(
            [&](sceneNode* c) { return c->share().mirror && c->share().owner == s.id; });
        // One pass: a node met before its root was taken out still hangs under its parent,
        // which unhangElsewhere keeps; detachBelow takes it out with its root.
        for (auto& [n, m] : s.nodes) {
            if (!m.hasParent && m.depth > 0) {
                if (!m.node->getChildren().empty())
                    detachBelow(m);
                m.depth = 0;
            }
            if (!m.node->getParents().empty())
                unhangElsewhere(m);
        }
    } else {
        ++s.user->present;
        std::vector<mirror*> tops;
        std::vector<std::pair<mirror*, matrix4>> work;
        for (mirror* m : s.roots) {
            if (m->depth > 0)
                continue;
            tops.push_back(m);
            if (s.waiting.count(m->n))
                work.emplace_back(m, m->node->getMatrix());
        }
        insertAllSorted(root, tops);
        for (mirror* m : tops)
            m->depth = 1;
        attachWaiting(std::move(work));
    }
}

std::vector<std::string> mirrorSet::staleKeysOfOwnUser(clock::time_point now,
                                                       clock::duration absence) {
    std::vector<std::string> keys;
    for (auto& [id, s] : sites_) {
        if (s.self || s.present || s.name.user != self_.user || s.nodes.empty() ||
            now - s.absentSince <= absence ||
            (s.cleanedAt != clock::time_point{} && now - s.cleanedAt <= absence))
            continue;
        s.cleanedAt = now;
        for (const auto& [n, m] : s.nodes)
            keys.push_back(nodeKey{s.name, n}.text());
    }
    return keys;
}

std::vector<siteEntry> mirrorSet::sites() const {
    std::vector<siteEntry> out;
    for (const auto& [id, s] : sites_)
        if (s.present)
            out.push_back({id, s.name.user, s.self, s.self ? selfJoined_ : s.joined});
    std::sort(out.begin(), out.end(),
              [](const siteEntry& a, const siteEntry& b) { return a.site < b.site; });
    return out;
}

std::vector<avatar> mirrorSet::avatars() const {
    std::vector<avatar> out;
    for (const auto& [id, s] : sites_)
        if (s.navigator && s.navigator->depth > 0)
            out.push_back({s.name.user, worldMatrix(*s.navigator)});
    return out;
}

} // namespace zel::share::detail
