// The model the package placed, as the viewer finds and measures it in the world.
#pragma once

#include <zel/math.h>
#include <zel/scenegraph.h>
#include <zel/world/world.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace zel::host {

// How the package names the root of every model it loads: this, then the file's name.
inline const wstring placedModelPrefix = u"geomSink -> ";

// The model the package placed: the first node under the navigator, depth first, whose name starts
// with placedModelPrefix (the package puts the newest model first under its attach point). Null
// when there is none.
sceneGraph::iSceneNode* findPlacedModel(const world::world& w);
// The same under any navigator (another site's mirrored one too).
sceneGraph::iSceneNode* findPlacedModelUnder(sceneGraph::iSceneNode* navigator);

// The world transform of node where the walk from the scene's root first meets it; a node under a
// navigator that hangs outside the scene is placed by the navigator's own matrix. False when the
// node is in neither.
bool worldMatrixOf(const world::world& w, const sceneGraph::iSceneNode* node, matrix4& out);

// What the placed model draws, in the scene's axes (world coordinates, metres), every transform
// down to its vertices applied: its current scale, rotation and position, the attach point's and
// the navigator's.
struct modelExtent {
    sceneGraph::iSceneNode* model = nullptr; // null: no model placed
    bool hasVertices = false;                // false: nothing to measure (low/high/sphere unset)
    vec3 low, high;                          // the axis-aligned bounding box
    vec3 centre;                             // the bounding sphere: the box's centre and the
    float radius = 0.0f;                     // farthest vertex from it
    std::uint64_t triangles = 0;             // drawn triangles: a shared mesh counts per node
    vec3 size() const { return vec3(high[0] - low[0], high[1] - low[1], high[2] - low[2]); }
};

// Measures what model draws, the model placed in the world by `placed`.
modelExtent measureModel(sceneGraph::iSceneNode* model, const matrix4& placed);

// Measures the placed model. A model that has not moved since the last call is not measured again
// (a model of a million triangles costs a pass over its vertices only when it moves).
class modelMeter {
public:
    modelExtent measure(const world::world& w);

private:
    // Each drawn mesh with its world transform, in walk order: the same list means the same extent.
    std::vector<std::pair<const void*, matrix4>> key_;
    const sceneGraph::iSceneNode* model_ = nullptr;
    modelExtent last_;
};

} // namespace zel::host
