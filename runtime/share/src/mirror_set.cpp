#include "mirror_set.h"

#include <zel/world/geometry.h>

#include <algorithm>
#include <cmath>
#include <tuple>

namespace zel::share::detail {

using world::sceneNode;

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
}

mirrorSet::~mirrorSet() {
    for (auto& [node, m] : byNode_)
        for (sceneNode* p : std::vector<sceneNode*>(m->node->getParents()))
            p->mirrorRemoveChild(m->node);
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
    if (existing == s.nodes.end() && s.user->live >= maxNodesPerUser) {
        complain(key->site.id(), key->site.user, "more than 100000 nodes");
        forgetIfEmpty(s.id);
        return;
    }
    std::optional<std::uint64_t> parent;
    if (!record->parent.empty())
        parent = parseNodeKey(record->parent)->n;
    mirror* m = existing != s.nodes.end() ? &existing->second : nullptr;
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
    if (m && !parentChanged && m->depth > 0 && m->hasParent) {
        matrix4 composed = matrix;
        composed.postMult(worldMatrix(s.nodes.at(m->parent)));
        if (!std::all_of(composed.data(), composed.data() + 16,
                         [](float f) { return std::isfinite(f); })) {
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
        ++s.user->live;
    }
    const bool orderChanged = m->order != record->order;
    m->node->mirrorSetName(xstd::fromUtf8(record->name));
    m->node->mirrorSetMatrix(matrix);
    m->node->share().mirrorAnim = record->anim;
    if (m->navigator != record->navigator) {
        m->navigator = record->navigator;
        s.navigator = m->navigator ? m : nullptr;
    }
    m->node->share().navigator = m->navigator;
    if (!m->meshShown || m->mesh != record->meshScene || m->meshes != record->meshes) {
        m->mesh = std::move(record->meshScene);
        m->meshes = std::move(record->meshes);
        showMesh(*m);
    }
    if (parentChanged) {
        detach(*m);
        stopWaiting(*m);
        if (!m->hasParent)
            s.roots.erase(m->n);
        m->hasParent = parent.has_value();
        m->parent = parent.value_or(0);
        m->order = record->order;
        if (!m->hasParent)
            s.roots.insert(m->n);
        place(*m);
    } else if (orderChanged) {
        m->order = record->order;
        if (m->depth > 0) {
            sceneNode* p = m->hasParent ? s.nodes.at(m->parent).node : world_.getRootNode();
            p->mirrorRemoveChild(m->node);
            insertSorted(p, *m);
        }
    }
}

void mirrorSet::remove(siteState& s, mirror& m) {
    detach(m);
    stopWaiting(m);
    s.roots.erase(m.n);
    if (s.navigator == &m)
        s.navigator = nullptr;
    if (auto a = awaitingAsset_.find(s.name.user + "." + m.mesh); a != awaitingAsset_.end()) {
        a->second.erase(&m);
        if (a->second.empty())
            awaitingAsset_.erase(a);
    }
    byNode_.erase(m.node);
    releaseNode(m.node);
    --s.user->live;
    s.nodes.erase(m.n);
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
    std::vector<mirror*> work{&top};
    while (!work.empty()) {
        mirror* m = work.back();
        work.pop_back();
        // Children from the back: each comes out at the end of the vector.
        const auto& children = m->node->getChildren();
        for (std::size_t i = children.size(); i-- > 0;) {
            auto c = byNode_.find(children[i]);
            if (c == byNode_.end() || c->second->depth == 0)
                continue;
            mirror* child = c->second;
            m->node->mirrorRemoveChild(child->node);
            child->depth = 0;
            child->waiting = true;
            m->site->waiting[m->n].insert(child->n);
            work.push_back(child);
        }
    }
    unhangElsewhere(top);
    for (sceneNode* p : std::vector<sceneNode*>(top.node->getParents()))
        p->mirrorRemoveChild(top.node);
    top.depth = 0;
    if (top.hasParent) {
        top.waiting = true;
        top.site->waiting[top.parent].insert(top.n);
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

void mirrorSet::attach(mirror& top, sceneNode* topParent, int topDepth) {
    struct step {
        mirror* m;
        sceneNode* parent;
        int depth;
        matrix4 parentWorld;
    };
    matrix4 start;
    if (topParent != world_.getRootNode())
        start = worldMatrix(*byNode_.at(topParent));
    std::vector<step> work{{&top, topParent, topDepth, start}};
    while (!work.empty()) {
        step s = work.back();
        work.pop_back();
        mirror& m = *s.m;
        matrix4 world = m.node->getMatrix();
        world.postMult(s.parentWorld);
        const bool finite =
            std::all_of(world.data(), world.data() + 16, [](float f) { return std::isfinite(f); });
        if (s.depth > maxDepth || !finite) {
            complain(m.site->id, m.site->name.user,
                     s.depth > maxDepth ? "deeper than 256 levels"
                                        : "its place in the scene is out of range");
            if (m.hasParent && !m.waiting) {
                m.waiting = true;
                m.site->waiting[m.parent].insert(m.n);
            }
            continue;
        }
        insertSorted(s.parent, m);
        m.depth = static_cast<std::uint16_t>(s.depth);
        auto w = m.site->waiting.find(m.n);
        if (w == m.site->waiting.end())
            continue;
        std::vector<std::uint64_t> children(w->second.begin(), w->second.end());
        m.site->waiting.erase(w);
        for (std::uint64_t n : children) {
            mirror& c = m.site->nodes.at(n);
            c.waiting = false;
            work.push_back({&c, m.node, s.depth + 1, world});
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

void mirrorSet::showMesh(mirror& m) {
    std::vector<std::unique_ptr<xstd::attr>> geometry;
    m.meshShown = true;
    if (!m.mesh.empty()) {
        if (sceneRef scene = findAsset_(m.mesh)) {
            for (std::uint32_t i : m.meshes)
                if (auto g = world::makeSceneGeometry(scene, i))
                    geometry.push_back(std::move(g));
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
        for (std::uint32_t i : m->meshes)
            if (auto g = world::makeSceneGeometry(scene, i))
                geometry.push_back(std::move(g));
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
    if (!decodePresence(*key, value, reason)) {
        complain(key->id(), key->user, reason);
        return;
    }
    siteState& s = siteOf(*key);
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
    s.present = present;
    if (!present) {
        s.absentSince = clock::now();
        for (std::uint64_t n : s.roots)
            detach(s.nodes.at(n));
        for (auto& [n, m] : s.nodes)
            unhangElsewhere(m);
    } else {
        for (std::uint64_t n : s.roots)
            place(s.nodes.at(n));
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
            out.push_back({id, s.name.user, s.self});
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
