#include "placed_model.h"

#include <zel/world/geometry.h>
#include <zel/world/scene_node.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace zel::host {

namespace {

// Calls use(geometry) for each mesh the node carries (the reader gives a node one per mesh).
template <class F> void eachGeometry(const sceneGraph::iSceneNode& node, F use) {
    for (auto it = node.getAttributes(); it.isValid(); it.advance())
        if (auto* g = dynamic_cast<const world::geometryAttr*>(it.getCurrent()))
            use(*g);
}

// Calls visit(node, worldMatrix) for root and everything below it, root placed by rootWorld.
template <class F>
void walkPlaced(sceneGraph::iSceneNode* root, const matrix4& rootWorld, F visit) {
    std::vector<matrix4> path;
    world::walkGraph(root, [&](sceneGraph::iSceneNode* node, int depth) {
        path.resize(std::size_t(depth) + 1);
        path[std::size_t(depth)] =
            depth == 0 ? rootWorld : world::localMatrix(*node) * path[std::size_t(depth) - 1];
        visit(*node, path[std::size_t(depth)]);
        return true;
    });
}

// v * M for a row vector, M row-major.
inline void transform(const float* m, const float* p, double out[3]) {
    for (int c = 0; c < 3; ++c)
        out[c] =
            double(p[0]) * m[c] + double(p[1]) * m[4 + c] + double(p[2]) * m[8 + c] + m[12 + c];
}

} // namespace

sceneGraph::iSceneNode* findPlacedModel(const world::world& w) {
    return findPlacedModelUnder(w.getNavigatorNode());
}

sceneGraph::iSceneNode* findPlacedModelUnder(sceneGraph::iSceneNode* navigator) {
    sceneGraph::iSceneNode* found = nullptr;
    if (!navigator)
        return nullptr;
    world::walkGraph(navigator, [&](sceneGraph::iSceneNode* node, int) {
        if (found)
            return false;
        if (node->getName().rfind(placedModelPrefix, 0) == 0) {
            found = node;
            return false;
        }
        return true;
    });
    return found;
}

bool worldMatrixOf(const world::world& w, const sceneGraph::iSceneNode* node, matrix4& out) {
    auto search = [&](sceneGraph::iSceneNode* root) {
        bool found = false;
        std::vector<matrix4> path;
        world::walkGraph(root, [&](sceneGraph::iSceneNode* n, int depth) {
            if (found)
                return false;
            const matrix4 local = world::localMatrix(*n);
            path.resize(std::size_t(depth) + 1);
            path[std::size_t(depth)] = depth == 0 ? local : local * path[std::size_t(depth) - 1];
            if (n == node) {
                found = true;
                out = path[std::size_t(depth)];
                return false;
            }
            return true;
        });
        return found;
    };
    return node && (search(w.getRoot()) || search(w.getNavigatorNode()));
}

modelExtent modelMeter::measure(const world::world& w) {
    sceneGraph::iSceneNode* model = findPlacedModel(w);
    matrix4 placed;
    if (!model || !worldMatrixOf(w, model, placed)) {
        model_ = nullptr;
        key_.clear();
        last_ = modelExtent();
        return last_;
    }

    std::vector<std::pair<const void*, matrix4>> key;
    walkPlaced(model, placed, [&](const sceneGraph::iSceneNode& node, const matrix4& m) {
        eachGeometry(node, [&](const world::geometryAttr& g) {
            if (g.getVertexCount() > 0)
                key.emplace_back(g.getMesh(), m);
        });
    });
    if (model == model_ && key == key_)
        return last_;
    model_ = model;
    key_ = std::move(key);
    last_ = measureModel(model, placed);
    return last_;
}

modelExtent measureModel(sceneGraph::iSceneNode* model, const matrix4& placed) {
    modelExtent e;
    e.model = model;
    double low[3], high[3];
    std::fill(low, low + 3, std::numeric_limits<double>::infinity());
    std::fill(high, high + 3, -std::numeric_limits<double>::infinity());
    auto eachVertex = [&](auto&& use) {
        walkPlaced(model, placed, [&](const sceneGraph::iSceneNode& node, const matrix4& m) {
            eachGeometry(node, [&](const world::geometryAttr& g) {
                const std::span<const float> p = g.getPositions();
                for (std::size_t i = 0; i + 2 < p.size(); i += 3) {
                    double v[3];
                    transform(m.data(), p.data() + i, v);
                    use(v);
                }
            });
        });
    };
    walkPlaced(model, placed, [&](const sceneGraph::iSceneNode& node, const matrix4&) {
        eachGeometry(node,
                     [&](const world::geometryAttr& g) { e.triangles += g.getTriangleCount(); });
    });
    eachVertex([&](const double* v) {
        e.hasVertices = true;
        for (int c = 0; c < 3; ++c) {
            low[c] = std::min(low[c], v[c]);
            high[c] = std::max(high[c], v[c]);
        }
    });
    if (e.hasVertices) {
        double centre[3], farthest = 0.0;
        for (int c = 0; c < 3; ++c)
            centre[c] = (low[c] + high[c]) / 2.0;
        eachVertex([&](const double* v) {
            const double d = (v[0] - centre[0]) * (v[0] - centre[0]) +
                             (v[1] - centre[1]) * (v[1] - centre[1]) +
                             (v[2] - centre[2]) * (v[2] - centre[2]);
            farthest = std::max(farthest, d);
        });
        e.low = vec3(float(low[0]), float(low[1]), float(low[2]));
        e.high = vec3(float(high[0]), float(high[1]), float(high[2]));
        e.centre = vec3(float(centre[0]), float(centre[1]), float(centre[2]));
        e.radius = float(std::sqrt(farthest));
    }
    return e;
}

} // namespace zel::host
