// Frames for the renderer built from the framework's world: its scene graph and its windows.
#pragma once

#include <zel/render/frame.h>

#include <map>
#include <memory>

namespace zel::world {
class world;
}

namespace zel::worldRender {

// Builds frames from a world: one walk over the scene graph from its root with world transforms,
// a draw item per mesh of each node (a node carries one per mesh of the file's node; a mesh that
// several nodes use is one GPU copy), the camera at the world transform of the "head" node under
// the navigator, and the live windows with their widgets at the packer's layout (a window's id is
// its address). The HUD is the caller's.
class worldFrames {
public:
    explicit worldFrames(const zel::world::world& w) : world_(w) {}

    // The frame's arrays point into the world's meshes: valid while the world lives.
    render::frame build();

private:
    const zel::world::world& world_;
    // One key per mesh in the graph at the last build. A mesh that left the graph loses its key, so
    // the renderer frees its GPU copy.
    std::map<const void*, std::shared_ptr<const void>> keys_;
};

} // namespace zel::worldRender
