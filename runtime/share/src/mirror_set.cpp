#include "mirror_set.h"

#include <zel/world/geometry.h>

#include <algorithm>
#include <utility>

namespace zel::share::detail {

mirrorSet::mirrorSet(world::world& w, world::nodeHooks* hooks, std::ostream& log, siteName self,
                     std::function<sceneRef(const std::string&)> findAsset)
    : findAsset_(std::move(findAsset)), complaints_(log), roster_(std::move(self)),
      tree_(w, hooks, complaints_) {}

mirrorSet::~mirrorSet() = default;

std::size_t mirrorSet::waitingCount() const {
    std::size_t n = 0;
    for (const auto& [id, s] : roster_.all())
        for (const auto& [parent, children] : s.waiting)
            n += children.size();
    return n;
}

// ---- nodes ------------------------------------------------------------------------------------

void mirrorSet::applyNode(std::string_view keyText, std::string_view value, bool erased) {
    const std::optional<nodeKey> key = parseNodeKey(keyText);
    if (!key) {
        const std::string prefix(keyText.substr(0, std::min<std::size_t>(keyText.find('.'), 32)));
        complain(prefix, prefix, "bad key " + printable(keyText, 64));
        return;
    }
    if (key->site == roster_.self())
        return;
    siteState* heard = roster_.find(key->site.id());
    if (erased) {
        if (!heard)
            return;
        auto m = heard->nodes.find(key->n);
        if (m != heard->nodes.end())
            remove(*heard, m->second);
        roster_.forgetIfEmpty(key->site.id());
        return;
    }
    std::string reason;
    std::optional<nodeRecord> record = decodeRecord(*key, value, reason);
    if (!record) {
        complain(key->site.id(), key->site.user, reason);
        return;
    }
    siteState& s = heard ? *heard : roster_.siteOf(key->site);
    auto existing = s.nodes.find(key->n);
    mirror* m = existing != s.nodes.end() ? &existing->second : nullptr;
    // Every node and every mesh it shows costs its user: a record names up to 65,536 meshes.
    const std::size_t charge = 1 + record->meshes.size();
    if (s.user->live - (m ? m->charge : 0) + charge > maxNodesPerUser) {
        complain(key->site.id(), key->site.user, "more than 100000 nodes and meshes");
        roster_.forgetIfEmpty(s.id);
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
                    roster_.forgetIfEmpty(s.id);
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
        if (p != s.nodes.end() && p->second.depth > 0 && tree_.closesCycle(*m, p->second)) {
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
            composed.postMult(tree_.worldMatrix(s.nodes.at(m->parent)));
        if (!finite(composed)) {
            complain(key->site.id(), key->site.user, "its place in the scene is out of range");
            return;
        }
    }
    if (!m)
        m = &tree_.add(s, key->n);
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
        tree_.reparent(*m, parent, record->order);
    } else {
        if (orderChanged)
            tree_.reorder(*m, record->order);
        if (matrixChanged)
            tree_.matrixChanged(*m);
    }
}

void mirrorSet::remove(siteState& s, mirror& m) {
    stopAwaiting(m);
    s.user->live -= m.charge;
    tree_.remove(s, m);
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

// ---- models -----------------------------------------------------------------------------------

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
        if (siteState* gone = roster_.deleted(id)) {
            tree_.hide(*gone);
            roster_.forgetIfEmpty(id);
        }
        return;
    }
    std::string reason;
    const std::optional<presenceRecord> record = decodePresence(*key, value, reason);
    if (!record) {
        complain(key->id(), key->user, reason);
        return;
    }
    siteState* came = nullptr;
    if (!roster_.heard(*key, record->joined, now, came)) {
        complain(id, key->user,
                 "user " + printable(key->user) + " has " + std::to_string(maxSitesPerUser) +
                     " sites present already");
        return;
    }
    if (came)
        tree_.show(*came);
}

void mirrorSet::expire(clock::time_point now) {
    for (siteState* s : roster_.expire(now)) {
        const std::string id = s->id;
        tree_.hide(*s);
        roster_.forgetIfEmpty(id);
    }
}

std::vector<avatar> mirrorSet::avatars() const {
    std::vector<avatar> out;
    for (const auto& [id, s] : roster_.all())
        if (s.navigator && s.navigator->depth > 0)
            out.push_back({s.name.user, tree_.worldMatrix(*s.navigator)});
    return out;
}

} // namespace zel::share::detail
