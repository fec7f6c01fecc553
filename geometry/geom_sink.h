// The holder of the one placed model.
//
// It reads a geometry file through the scene-graph reader, hangs the node as the first child of an
// attach point under the name "geomSink -> " and the file name, records the node's position, scale
// and rotation right after the load as its home transform, and takes over the model's animation
// when the file carried one. A first child whose name begins with "geomSink" counts as a placed
// model; only such a child is ever removed.
//
// The holder owns no scene object: the reader, the nodes, the navigator's node, the animation and
// the player are the framework's and are held by plain pointers. Deleting the holder leaves the
// model in the scene. While no model is held (nothing loaded yet, or the last read failed) every
// operation that acts on the model does nothing.
#pragma once

#include <zel/anim.h>
#include <zel/math.h>
#include <zel/polymath.h>
#include <zel/reader.h>
#include <zel/scenegraph.h>
#include <zel/types.h>

#include <cstdint>

namespace propplacer {

// The start of every placed model's name; the file's name follows.
inline const zel::wstring modelNamePrefix = u"geomSink -> ";

class geomSink {
public:
    // reader may be null: every load then fails. Takes the navigator's node as the default parent
    // and an animation from the class registry, each null when the service is missing.
    explicit geomSink(zel::sceneGraph::reader::iSgReader* reader);
    geomSink(const geomSink&) = delete;
    geomSink& operator=(const geomSink&) = delete;
    virtual ~geomSink();

    // Reads the file and hangs the new node as parent's first child, moved by position. Writes
    // "|> in loadGeom" first. False, with nothing changed but the model (now none after a failed
    // read), when there is no reader, no parent or the file cannot be read; a model hung earlier
    // then stays in the scene.
    bool loadGeom(zel::wstring file, const zel::vec3& position,
                  zel::sceneGraph::iSceneNode* parent);
    // At (0, 0, 0) under parent.
    bool loadGeom(zel::wstring file, zel::sceneGraph::iSceneNode* parent);
    // Under the navigator's node.
    bool loadGeom(zel::wstring file, const zel::vec3& position);
    bool loadGeom(zel::wstring file, float x, float y, float z);

    // Removes the placed model from the attach point, then loads the file at (0, 0, 0) under the
    // same attach point. When no placed model was found there, the file goes under the attach point
    // all the same if the previous read failed, and under the navigator's node otherwise.
    bool replaceGeom(zel::wstring file);
    // Removes the attach point's first child when it is a placed model; true when one was removed.
    // The held model and attach point are kept.
    bool detachGeom();
    // Hangs the model first under newParent and takes it away from the old attach point. When
    // newParent refuses the model (null, or the model would become its own ancestor) nothing
    // changes.
    void setAttachPoint(zel::sceneGraph::iSceneNode* newParent);
    // Starts (on nonzero) or stops the animation on player; nothing without an animation or player.
    void setAnimation(int on, zel::anim::iAnimPlayer* player);
    // Rebuilds the node's transform from the home rotation, scale and position.
    void resetXform();
    // Composes the translation onto the node and reads its position back as the home position.
    void moveBy(const zel::vec3& position);
    void moveBy(float x, float y, float z);
    // Composes the scale onto the node and reads its scale back as the home scale.
    void scaleBy(const zel::vec3& scale);
    void scaleBy(float x, float y, float z);
    // The home position and scale, not the node's current ones.
    zel::vec3 getPosition() const;
    zel::vec3 getScale() const;
    void setReader(zel::sceneGraph::reader::iSgReader* newReader);

    // Transform operations. axis: 0 X, 1 Y, 2 Z, 3 all three; any other axis changes nothing. None
    // of them changes the home transform, so resetXform undoes them.

    // Along one axis; axis 3 does nothing.
    void translate(float amount, std::int32_t axis);
    // Along one axis, or uniformly for axis 3.
    void scale(float factor, std::int32_t axis);
    // Turns the node's whole matrix by an Euler rotation about one axis (angle as setEuler takes
    // it); axis 3 does nothing.
    void rotate(float angle, std::int32_t axis);
    // Turns by angle degrees about one axis, or for axis 3 about an axis steered by the pointer's
    // window position relative to the home position's x and y.
    void trackballRotate(float angle, std::int32_t axis, int mouseX, int mouseY);
    // Turns the node's whole matrix by the Euler rotation.
    void rotateBy(const zel::vec3& euler);
    void rotateBy(float x, float y, float z);

protected:
    zel::anim::iAnim* anim = nullptr;
    zel::polyMath::quatXform homeRotation;
    zel::polyMath::scaleXform homeScale;
    zel::polyMath::point3Xform homePosition;
    zel::sceneGraph::iSceneNode* defaultParent = nullptr;
    zel::sceneGraph::iSceneNode* attachPoint = nullptr;
    zel::sceneGraph::iSceneNode* model = nullptr;
    zel::sceneGraph::reader::iSgReader* reader = nullptr;

private:
    void turn(const zel::vec3& euler);
    void turn(const zel::quat& q);
};

} // namespace propplacer
