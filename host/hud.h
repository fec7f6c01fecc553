// The world as the viewer shows it: the renderer's frame of the scene graph and the windows, with
// the host's heads-up line about the placed model.
#pragma once

#include "placed_model.h"

#include <zel/math.h>
#include <zel/render/frame.h>
#include <zel/scenegraph.h>
#include <zel/share/shared_scene.h>
#include <zel/world/world.h>
#include <zel/world_render/world_frames.h>

#include <string>
#include <vector>

namespace zel::host {

// The angles, in degrees, that setEuler turns back into the rotation of the unit quaternion q
// (M = Rx * Ry * Rz): x and z in (-180, 180], y in [-90, 90]. At y = +-90 only x + z or x - z is
// determined; z is then 0.
vec3 eulerDegrees(const quat& q);

// "NAME  position (x, y, z)  rotation (x, y, z) deg  scale (x, y, z)  size X x Y x Z m  N
// triangles" of the placed model: the transform as its node's getXform reads it now; the size of
// its bounding box in the scene's axes, in metres, with every transform applied (so its current
// scale too); the triangles drawn through its nodes. "no model placed" when there is none. extent:
// the placed model as a modelMeter measured it just now.
std::string hudLine(const modelExtent& extent);
std::string hudLine(const world::world& w);

// The near and far planes of the camera `view` so that it shows the whole placed model with depth
// detail to match its size: the renderer's defaults, farther as the model's bounding sphere
// needs, and the near plane nearer for a model close by, farther for a large one seen from afar
// (never past the model's front).
void fitDepthRange(render::camera& view, const modelExtent& model);

// "shared scene NAME: N sites", or "shared scene: reconnecting" while the broker is away.
std::string shareHudLine(const share::sharedScene& s);

// The half-diagonal of an avatar's head, in metres.
inline constexpr double avatarHeadRadius = 0.17;

// The near plane, raised for the placed model by fitDepthRange, brought back (never nearer than
// `nearest`) so that it stays at most half way to the front of each head ahead of the camera: a
// head framed close by ("view site" of a site without a model) is drawn, not cut away.
void keepHeadsPastNearPlane(render::camera& view, float nearest,
                            const std::vector<share::avatar>& avatars);

// Each avatar as a head in its user's colour where its navigator stands, with the user's name
// above it in the same colour; none where the camera (f.view) is inside the head or within its
// near distance of it.
void addAvatars(render::frame& f, const std::vector<share::avatar>& avatars);

// One frame of the world per build: one walk over its graph (a mesh uploaded once, freed when no
// node uses it any more), the camera at "head" (its depth range fitted to the placed model), the
// live windows, and the HUD line. The frame's
// arrays point into the world's meshes: draw it before the world changes again.
class hudFrames {
public:
    explicit hudFrames(const world::world& w) : world_(w), frames_(w) {}
    render::frame build();
    void setShare(const share::sharedScene* s) { share_ = s; }

private:
    const world::world& world_;
    const share::sharedScene* share_ = nullptr;
    worldRender::worldFrames frames_;
    modelMeter meter_;
};

} // namespace zel::host
