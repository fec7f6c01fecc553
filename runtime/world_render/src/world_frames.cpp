#include <zel/world_render/world_frames.h>

#include <zel/world/geometry.h>

#include <zel/import/imported_scene.h>
#include <zel/world/scene_node.h>
#include <zel/world/widgets.h>
#include <zel/world/world.h>
#include <zel/xstd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace zel::worldRender {

using namespace zel::render;

namespace {

matrix toMatrix(const zel::matrix4& m) {
    matrix r;
    std::copy(m.data(), m.data() + 16, r.begin());
    return r;
}

// Every mesh the node carries: the reader gives a node one geometry attribute per mesh of the
// file's node (a mesh per material).
std::vector<const zel::world::geometryAttr*> geometryOf(const sceneGraph::iSceneNode& node) {
    std::vector<const zel::world::geometryAttr*> found;
    for (auto it = node.getAttributes(); it.isValid(); it.advance()) {
        if (auto* g = dynamic_cast<const zel::world::geometryAttr*>(it.getCurrent())) {
            found.push_back(g);
        }
    }
    return found;
}

sceneGraph::iSceneNode* childNamed(sceneGraph::iSceneNode* parent, const wstring& name) {
    if (!parent) {
        return nullptr;
    }
    for (std::int32_t i = 0; i < parent->getNumChildren(); ++i) {
        sceneGraph::iSceneNode* c = parent->getChild(i);
        if (c && c->getName() == name) {
            return c;
        }
    }
    return nullptr;
}

} // namespace

frame worldFrames::build() {
    frame f;
    sceneGraph::iSceneNode* head = childNamed(world_.getNavigatorNode(), u"head");
    bool headSeen = false;
    std::map<const void*, std::shared_ptr<const void>> keys;

    // World transform of the node at each depth of the walk's current path.
    std::vector<zel::matrix4> path;
    zel::world::walkGraph(world_.getRoot(), [&](sceneGraph::iSceneNode* node, int depth) {
        const zel::matrix4 local = zel::world::localMatrix(*node);
        path.resize(static_cast<std::size_t>(depth) + 1);
        path[std::size_t(depth)] = depth == 0 ? local : local * path[std::size_t(depth) - 1];
        const zel::matrix4& world = path[std::size_t(depth)];
        if (node == head && !headSeen) {
            headSeen = true;
            f.view.world = toMatrix(world);
        }
        for (const zel::world::geometryAttr* g : geometryOf(*node)) {
            if (g->getTriangleCount() == 0) {
                continue;
            }
            const void* mesh = g->getMesh();
            auto& key = keys[mesh];
            if (!key) {
                const auto old = keys_.find(mesh);
                key = old != keys_.end() ? old->second : std::make_shared<char>(0);
            }
            drawItem d;
            d.key = key;
            d.positions = g->getPositions().data();
            d.normals = g->getNormals().empty() ? nullptr : g->getNormals().data();
            d.uvs = g->getTexCoords().empty() ? nullptr : g->getTexCoords().data();
            d.vertexCount = static_cast<std::uint32_t>(g->getVertexCount());
            d.indices = g->getIndices().data();
            d.indexCount = static_cast<std::uint32_t>(g->getIndices().size());
            d.world = toMatrix(world);
            d.diffuse = g->getColor();
            d.specular = g->getSpecular();
            d.shininess = g->getShininess();
            if (const std::shared_ptr<const zel::import::texture>& t = g->getTexture()) {
                d.textureKey = t;
                d.texture = {t->rgba.data(), t->width, t->height, t->hasAlpha};
            }
            f.items.push_back(std::move(d));
        }
        return true;
    });
    // Keys of meshes no longer in the graph go here; the renderer sees them expire.
    keys_ = std::move(keys);

    if (!headSeen && head) {
        // The navigator hangs outside the scene: its own frame still places the camera.
        f.view.world = toMatrix(zel::world::localMatrix(*head) *
                                zel::world::localMatrix(*world_.getNavigatorNode()));
    }

    for (zel::world::windowFrame* w : world_.getWindows()) {
        uiWindow u;
        u.id = reinterpret_cast<std::uintptr_t>(w);
        u.title = xstd::toUtf8(w->getTitle());
        const zel::world::packSize size = w->getSize();
        u.width = size.width;
        u.height = size.height;
        for (const auto& c : w->getChildren()) {
            if (c.kind == zel::world::widgetKind::window) {
                continue;
            }
            uiElement e;
            e.type = c.kind == zel::world::widgetKind::entry ? uiElement::kind::entry
                                                             : uiElement::kind::label;
            e.text = xstd::toUtf8(c.text);
            e.x = c.rect.x;
            e.y = c.rect.y;
            e.w = c.rect.width;
            e.h = c.rect.height;
            u.children.push_back(std::move(e));
        }
        f.windows.push_back(std::move(u));
    }
    return f;
}

} // namespace zel::worldRender
