// zel::sceneGraph: scene nodes, the node factory, the scene context, and mouse events.
#pragma once

#include <zel/polymath.h>
#include <zel/types.h>
#include <zel/xstd.h>

#include <cstdint>

namespace zel::sceneGraph {

// A node: a name, an ordered list of children, an ordered list of attributes and a local transform
// (identity by default). A node may hang under several parents, and twice under one. Nodes belong
// to their scene context: taking one out of the graph never frees it.
class iSceneNode {
public:
    virtual ~iSceneNode() {}
    virtual wstring getName() const { return {}; }
    virtual bool setName(const wstring&) { return false; }
    // The node's attributes, in the order added.
    virtual xstd::iterator<xstd::attr*> getAttributes() const { return {}; }
    // Takes ownership of a; null is refused.
    virtual bool addAttribute(xstd::attr*) { return false; }
    // Replaces the transform with the object's matrix.
    virtual bool setXform(const polyMath::xform&) { return false; }
    // Composes the object onto the transform: a translation after everything (along the parent's
    // axes), a scale, rotation or matrix in front (in the node's own frame).
    virtual bool applyXform(const polyMath::xform&) { return false; }
    // Reads the transform in the object's form: position, scale, rotation or the whole matrix.
    virtual bool getXform(polyMath::xform&) const { return false; }
    virtual std::int32_t getNumChildren() const { return 0; }
    // Null past the end.
    virtual iSceneNode* getChild(std::int32_t) const { return nullptr; }
    virtual bool addChild(iSceneNode*) { return false; }
    // Inserts before position i (0 puts the child first, a second time if it is a child already).
    virtual bool insertChild(iSceneNode*, std::int32_t) { return false; }
    // Removes that one entry.
    virtual bool removeChild(std::int32_t) { return false; }
    // The node itself first, then every descendant, depth first, children in order.
    virtual xstd::iterator<iSceneNode*> getNodeIterator() { return {}; }
};

// What the node factory makes: a node whose iSceneNode side is a virtual base.
class iGroupNode : public virtual iSceneNode {
public:
    ~iGroupNode() override {}
};

class iNodeFactory {
public:
    virtual ~iNodeFactory() {}
    // A new, unnamed node with the identity transform, owned by the scene context.
    virtual iGroupNode* createNode() { return nullptr; }
};

class iContext {
public:
    static constexpr xstd::uuid IID{0x1B746278, 0x1285, 0x4CD2, 0x8A, 0xCD, 0x9C,
                                    0xB2,       0xC5,   0x2B,   0xE0, 0xC8};
    virtual ~iContext() {}
    virtual iNodeFactory* getNodeFactory() { return nullptr; }
    // The root of the scene.
    virtual iSceneNode* getRoot() { return nullptr; }
};

enum MouseEvents { MOVE = 0, DOWN = 1, UP = 2, DRAG = 3, WHEEL = 4 };
enum MouseButtons { NONE = 0, LEFT = 1, MIDDLE = 2, RIGHT = 3 };
enum MouseWheels { HORIZONTAL = 1, VERTICAL = 2 };

class ZEL_API mouseEvent {
public:
    mouseEvent(MouseEvents type, MouseButtons button);
    // With a window position in pixels from the top-left corner.
    mouseEvent(MouseEvents type, MouseButtons button, int x, int y);
    // A wheel turn: 120 per notch, positive away from the user.
    static mouseEvent wheel(MouseWheels wheel, int delta);

    MouseEvents getEventType() const { return type_; }
    MouseButtons getEventButton() const { return button_; }
    // False (and x, y untouched) for an event that carries no position.
    bool getMouseWinPos(int& x, int& y) const;
    // The delta of that wheel; 0 for any other wheel.
    int getMouseWheelDelta(MouseWheels wheel) const;

private:
    MouseEvents type_;
    MouseButtons button_;
    bool hasPos_ = false;
    int x_ = 0;
    int y_ = 0;
    MouseWheels wheel_ = VERTICAL;
    int delta_ = 0;
};

class iMouseObserver {
public:
    virtual ~iMouseObserver() {}
    virtual void onMouseMove(mouseEvent*) {}
    virtual void onMouseDown(mouseEvent*) {}
    virtual void onMouseDrag(mouseEvent*) {}
    virtual void onMouseWheelDelta(mouseEvent*) {}
};

class iMouseSource {
public:
    virtual ~iMouseSource() {}
    // Each returns false when there was nothing to do (already added, not there, null).
    virtual bool addMouseObserver(iMouseObserver*) { return false; }
    virtual bool removeMouseObserver(iMouseObserver*) { return false; }
    virtual bool hasMouseObserver(iMouseObserver*) const { return false; }
};

} // namespace zel::sceneGraph
