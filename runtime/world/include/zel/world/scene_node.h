// The world's scene node and the walk that the node iterator, the dump and the viewer share.
//
// Transforms use the row-vector convention of zel math (v' = v * M, translation in row 3). A node's
// local matrix M composes as follows:
// clang-format off
//   applyXform  point3Xform T: M <- M * T   (moves along the parent's axes)
//               scaleXform S:  M <- S * M   (in the node's own frame)
//               quatXform R:   M <- R * M
//               matrix4Xform X: M <- X * M
//   setXform    M <- the object's matrix
//   getXform    point3Xform: row 3; scaleXform: the lengths of rows 0..2;
//               quatXform: the rotation of the upper 3x3 with that scale divided out;
//               matrix4Xform: M.
// clang-format on
// So setXform(rotation), applyXform(scale), applyXform(position) rebuilds M = S * R * T from what
// getXform read. A mirrored matrix (negative determinant) reads back the rotation of its mirror
// image: rebuilding it loses the mirror.
#pragma once

#include <zel/math.h>
#include <zel/polymath.h>
#include <zel/scenegraph.h>
#include <zel/types.h>
#include <zel/xstd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zel::world {

class sceneNode;

// What a shared scene hears from the nodes of the world, on the thread that owns the world. A
// world without sharing has none and its nodes behave as they always did.
class nodeHooks {
public:
    virtual ~nodeHooks() = default;
    // The node's own state changed (name, matrix, attributes, or its place among its parent's
    // children).
    virtual void changed(sceneNode& node) = 0;
    // The node was hung somewhere or taken out: it and everything below it may have entered or
    // left the scene.
    virtual void moved(sceneNode& node) = 0;
    // A change to a mirror was refused.
    virtual void refused(sceneNode& node) = 0;
    // The node's matrix is about to change: it still holds the old one.
    virtual void matrixChanging(sceneNode& /*node*/) {}
};

// A node's part in a shared scene.
struct shareState {
    // The site that writes the node; empty for a node that is nobody's (local, never published).
    std::string owner;
    // Another site's node: read-only here.
    bool mirror = false;
    // False for the nodes every site has of its own (the root and the ground).
    bool publishable = true;
    // For a mirror of a node that carries an animation: whether it plays at its owner (-1 none).
    int mirrorAnim = -1;
    // For a mirror: whether it stands for another site's navigator (drawn as an avatar).
    bool navigator = false;
    // The owner's user name, for avatars.
    std::string user;
};

class sceneNode final : public sceneGraph::iGroupNode {
public:
    explicit sceneNode(wstring name = {});
    ~sceneNode() override;
    sceneNode(const sceneNode&) = delete;
    sceneNode& operator=(const sceneNode&) = delete;

    wstring getName() const override;
    bool setName(const wstring& name) override;
    xstd::iterator<xstd::attr*> getAttributes() const override;
    bool addAttribute(xstd::attr* a) override;
    // False for a transform object of a kind the node does not know (nothing changes then).
    bool setXform(const polyMath::xform& x) override;
    bool applyXform(const polyMath::xform& x) override;
    bool getXform(polyMath::xform& x) const override;
    std::int32_t getNumChildren() const override;
    sceneGraph::iSceneNode* getChild(std::int32_t i) const override;
    // Both refuse (false) null and a child that would close a cycle: the node itself or any of its
    // ancestors. A node may otherwise hang here several times.
    bool addChild(sceneGraph::iSceneNode* child) override;
    // i from 0 to getNumChildren(); anything else is refused.
    bool insertChild(sceneGraph::iSceneNode* child, std::int32_t i) override;
    // False past the end.
    bool removeChild(std::int32_t i) override;
    // A snapshot taken now: the node, then its descendants depth first, children in order; a node
    // that hangs in several places comes once per place.
    xstd::iterator<sceneGraph::iSceneNode*> getNodeIterator() override;

    const matrix4& getMatrix() const { return matrix_; }
    // Internal change (reader, animation player, viewer): never refused, but reported to the hooks.
    void setMatrix(const matrix4& m);
    const std::vector<sceneGraph::iSceneNode*>& getChildren() const { return children_; }
    // The nodes of this world this node hangs under, once per place, oldest first.
    const std::vector<sceneNode*>& getParents() const { return parents_; }

    void setHooks(nodeHooks* hooks) { hooks_ = hooks; }
    const shareState& share() const { return share_; }
    shareState& share() { return share_; }

    // What a shared scene does to its mirrors: never refused, never reported.
    void mirrorSetName(const wstring& name) { name_ = name; }
    void mirrorSetMatrix(const matrix4& m) { matrix_ = m; }
    void mirrorInsertChild(sceneNode* child, std::int32_t i);
    // Takes out every place where child hangs here.
    void mirrorRemoveChild(sceneNode* child);
    // Takes out, in one pass, every child of this world for which which(child) is true: a shared
    // scene hides a site of many thousand nodes at once.
    template <class F> void mirrorRemoveChildren(F&& which) {
        std::erase_if(children_, [&](sceneGraph::iSceneNode* c) {
            auto* own = dynamic_cast<sceneNode*>(c);
            if (!own || !which(own))
                return false;
            if (auto it = std::find(own->parents_.begin(), own->parents_.end(), this);
                it != own->parents_.end())
                own->parents_.erase(it);
            return true;
        });
    }
    // Hangs the nodes of fresh, which are in order, among the present children in one pass:
    // fresh[i] goes before the first present child c for which before(i, c) is true and after
    // the others, as one insertion after another at those places would put them.
    template <class Less>
    void mirrorMergeChildren(const std::vector<sceneNode*>& fresh, Less&& before) {
        if (fresh.empty())
            return;
        std::vector<sceneGraph::iSceneNode*> merged;
        merged.reserve(children_.size() + fresh.size());
        std::size_t next = 0;
        for (sceneGraph::iSceneNode* c : children_) {
            while (next < fresh.size() && before(next, c))
                merged.push_back(fresh[next++]);
            merged.push_back(c);
        }
        merged.insert(merged.end(), fresh.begin() + static_cast<std::ptrdiff_t>(next), fresh.end());
        children_ = std::move(merged);
        for (sceneNode* f : fresh)
            f->parents_.push_back(this);
    }
    // Replaces every attribute of type A by the given ones.
    template <class A> void mirrorReplaceAttributes(std::vector<std::unique_ptr<xstd::attr>> with) {
        std::erase_if(attrs_, [](const auto& a) { return dynamic_cast<A*>(a.get()) != nullptr; });
        for (auto& a : with)
            attrs_.push_back(std::move(a));
    }
    // The first attribute of type A, or null.
    template <class A> A* findAttribute() const {
        for (const auto& a : attrs_)
            if (auto* found = dynamic_cast<A*>(a.get()))
                return found;
        return nullptr;
    }

private:
    // True (and the hooks told) when this node is a mirror and may not change.
    bool refuse();
    void reportChanged();
    // The children from index i on moved along.
    void reportShifted(std::size_t from);

    wstring name_;
    matrix4 matrix_;
    std::vector<sceneGraph::iSceneNode*> children_;
    std::vector<std::unique_ptr<xstd::attr>> attrs_;
    std::vector<sceneNode*> parents_;
    nodeHooks* hooks_ = nullptr;
    shareState share_;
};

// The node's local matrix through its interface: sceneNode's own, or whatever getXform gives for a
// node implemented elsewhere (identity when it gives nothing).
matrix4 localMatrix(const sceneGraph::iSceneNode& node);

// The parts of a matrix as getXform reads them.
vec3 translationOf(const matrix4& m);
vec3 scaleOf(const matrix4& m);
quat rotationOf(const matrix4& m);

// Visits root and its descendants depth first, children in order, without recursion. enter(node,
// depth) returns false to skip the node's children; leave(node, depth) follows each enter that
// returned true, after the children. A node met again on its own path (a cycle that only a foreign
// node implementation can make) is not entered.
void walkGraph(sceneGraph::iSceneNode* root,
               const std::function<bool(sceneGraph::iSceneNode*, int)>& enter,
               const std::function<void(sceneGraph::iSceneNode*, int)>& leave = {});

// True when target is node itself or hangs somewhere below it.
bool reaches(sceneGraph::iSceneNode* node, const sceneGraph::iSceneNode* target);

} // namespace zel::world
