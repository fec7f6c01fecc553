#include <zel/world/scene_node.h>

#include <algorithm>
#include <cmath>
#include <unordered_set>

namespace zel::world {

namespace {

float rowLength(const matrix4& m, int row) {
    return std::sqrt(m(row, 0) * m(row, 0) + m(row, 1) * m(row, 1) + m(row, 2) * m(row, 2));
}

float det3(const matrix4& m) {
    return m(0, 0) * (m(1, 1) * m(2, 2) - m(1, 2) * m(2, 1)) -
           m(0, 1) * (m(1, 0) * m(2, 2) - m(1, 2) * m(2, 0)) +
           m(0, 2) * (m(1, 0) * m(2, 1) - m(1, 1) * m(2, 0));
}

// The matrix a transform object stands for, or false for a kind no node knows.
bool matrixOf(const polyMath::xform& x, matrix4& out) {
    if (auto* p = dynamic_cast<const polyMath::point3Xform*>(&x)) {
        out.setTranslate(p->getData());
    } else if (auto* s = dynamic_cast<const polyMath::scaleXform*>(&x)) {
        out.setScale(s->getData());
    } else if (auto* q = dynamic_cast<const polyMath::quatXform*>(&x)) {
        out.setQuat(q->getData());
    } else if (auto* m = dynamic_cast<const polyMath::matrix4Xform*>(&x)) {
        out = m->getData();
    } else {
        return false;
    }
    return true;
}

} // namespace

vec3 translationOf(const matrix4& m) {
    return vec3(m(3, 0), m(3, 1), m(3, 2));
}

vec3 scaleOf(const matrix4& m) {
    return vec3(rowLength(m, 0), rowLength(m, 1), rowLength(m, 2));
}

quat rotationOf(const matrix4& m) {
    const vec3 s = scaleOf(m);
    // A flattened axis leaves no rotation to recover.
    if (!(s[0] > 0.0f && s[1] > 0.0f && s[2] > 0.0f) || !std::isfinite(s[0] + s[1] + s[2]))
        return quat();
    // A mirror is not a rotation: read the rotation of its mirror image (-R is proper).
    const float sign = det3(m) < 0.0f ? -1.0f : 1.0f;
    float r[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            r[i][j] = sign * m(i, j) / s[i];
    // Row vectors: r is the transpose of the column-vector rotation, so the off-diagonal
    // differences swap their order relative to the usual column-vector formulas.
    const float trace = r[0][0] + r[1][1] + r[2][2];
    float x, y, z, w;
    if (trace > 0.0f) {
        const float t = std::sqrt(trace + 1.0f) * 2.0f; // 4w
        w = 0.25f * t;
        x = (r[1][2] - r[2][1]) / t;
        y = (r[2][0] - r[0][2]) / t;
        z = (r[0][1] - r[1][0]) / t;
    } else if (r[0][0] > r[1][1] && r[0][0] > r[2][2]) {
        const float t = std::sqrt(1.0f + r[0][0] - r[1][1] - r[2][2]) * 2.0f; // 4x
        w = (r[1][2] - r[2][1]) / t;
        x = 0.25f * t;
        y = (r[0][1] + r[1][0]) / t;
        z = (r[2][0] + r[0][2]) / t;
    } else if (r[1][1] > r[2][2]) {
        const float t = std::sqrt(1.0f + r[1][1] - r[0][0] - r[2][2]) * 2.0f; // 4y
        w = (r[2][0] - r[0][2]) / t;
        x = (r[0][1] + r[1][0]) / t;
        y = 0.25f * t;
        z = (r[1][2] + r[2][1]) / t;
    } else {
        const float t = std::sqrt(1.0f + r[2][2] - r[0][0] - r[1][1]) * 2.0f; // 4z
        w = (r[0][1] - r[1][0]) / t;
        x = (r[2][0] + r[0][2]) / t;
        y = (r[1][2] + r[2][1]) / t;
        z = 0.25f * t;
    }
    // One sign for each rotation, so that reading the same matrix twice gives the same numbers.
    if (w < 0.0f) {
        x = -x;
        y = -y;
        z = -z;
        w = -w;
    }
    const float n = std::sqrt(x * x + y * y + z * z + w * w);
    return n > 0.0f ? quat(x / n, y / n, z / n, w / n) : quat();
}

matrix4 localMatrix(const sceneGraph::iSceneNode& node) {
    if (auto* own = dynamic_cast<const sceneNode*>(&node))
        return own->getMatrix();
    polyMath::matrix4Xform m;
    if (!node.getXform(m))
        return matrix4();
    return m.getData();
}

void walkGraph(sceneGraph::iSceneNode* root,
               const std::function<bool(sceneGraph::iSceneNode*, int)>& enter,
               const std::function<void(sceneGraph::iSceneNode*, int)>& leave) {
    struct frame {
        sceneGraph::iSceneNode* node;
        std::int32_t next; // the child to visit next
    };
    std::vector<frame> path;
    std::unordered_set<const sceneGraph::iSceneNode*> onPath;
    auto visit = [&](sceneGraph::iSceneNode* n) {
        if (!n || onPath.count(n))
            return;
        if (enter(n, static_cast<int>(path.size()))) {
            path.push_back({n, 0});
            onPath.insert(n);
        }
    };
    visit(root);
    while (!path.empty()) {
        frame& top = path.back();
        if (top.next < top.node->getNumChildren()) {
            visit(top.node->getChild(top.next++));
            continue;
        }
        sceneGraph::iSceneNode* done = top.node;
        path.pop_back();
        onPath.erase(done);
        if (leave)
            leave(done, static_cast<int>(path.size()));
    }
}

bool reaches(sceneGraph::iSceneNode* node, const sceneGraph::iSceneNode* target) {
    if (!node || !target)
        return false;
    // Each node is looked into once: a graph where nodes hang in many places stays linear.
    std::unordered_set<const sceneGraph::iSceneNode*> seen;
    std::vector<sceneGraph::iSceneNode*> todo{node};
    while (!todo.empty()) {
        sceneGraph::iSceneNode* n = todo.back();
        todo.pop_back();
        if (n == target)
            return true;
        if (!seen.insert(n).second)
            continue;
        for (std::int32_t i = 0, count = n->getNumChildren(); i < count; ++i)
            if (sceneGraph::iSceneNode* c = n->getChild(i))
                todo.push_back(c);
    }
    return false;
}

sceneNode::sceneNode(wstring name) : name_(std::move(name)) {}

sceneNode::~sceneNode() = default;

bool sceneNode::refuse() {
    if (!share_.mirror)
        return false;
    if (hooks_)
        hooks_->refused(*this);
    return true;
}

void sceneNode::reportChanged() {
    if (hooks_)
        hooks_->changed(*this);
}

void sceneNode::reportShifted(std::size_t from) {
    if (!hooks_)
        return;
    for (std::size_t i = from; i < children_.size(); ++i)
        if (auto* c = dynamic_cast<sceneNode*>(children_[i]))
            hooks_->changed(*c);
}

void sceneNode::setMatrix(const matrix4& m) {
    if (hooks_)
        hooks_->matrixChanging(*this);
    matrix_ = m;
    reportChanged();
}

void sceneNode::mirrorInsertChild(sceneNode* child, std::int32_t i) {
    if (!child || i < 0 || i > getNumChildren())
        return;
    children_.insert(children_.begin() + i, child);
    child->parents_.push_back(this);
}

void sceneNode::mirrorRemoveChild(sceneNode* child) {
    for (std::size_t i = children_.size(); i-- > 0;)
        if (children_[i] == child) {
            children_.erase(children_.begin() + static_cast<std::ptrdiff_t>(i));
            if (auto it = std::find(child->parents_.begin(), child->parents_.end(), this);
                it != child->parents_.end())
                child->parents_.erase(it);
        }
}

wstring sceneNode::getName() const {
    return name_;
}

bool sceneNode::setName(const wstring& name) {
    if (refuse())
        return false;
    name_ = name;
    reportChanged();
    return true;
}

xstd::iterator<xstd::attr*> sceneNode::getAttributes() const {
    std::vector<xstd::attr*> items;
    items.reserve(attrs_.size());
    for (const auto& a : attrs_)
        items.push_back(a.get());
    return xstd::makeIterator(std::move(items));
}

bool sceneNode::addAttribute(xstd::attr* a) {
    if (!a || refuse())
        return false;
    attrs_.emplace_back(a);
    reportChanged();
    return true;
}

bool sceneNode::setXform(const polyMath::xform& x) {
    matrix4 m;
    if (refuse() || !matrixOf(x, m))
        return false;
    if (hooks_)
        hooks_->matrixChanging(*this);
    matrix_ = m;
    reportChanged();
    return true;
}

bool sceneNode::applyXform(const polyMath::xform& x) {
    matrix4 m;
    if (refuse() || !matrixOf(x, m))
        return false;
    if (hooks_)
        hooks_->matrixChanging(*this);
    if (dynamic_cast<const polyMath::point3Xform*>(&x))
        matrix_.postMult(m);
    else
        matrix_.preMult(m);
    reportChanged();
    return true;
}

bool sceneNode::getXform(polyMath::xform& x) const {
    if (auto* p = dynamic_cast<polyMath::point3Xform*>(&x))
        return p->setData(translationOf(matrix_));
    if (auto* s = dynamic_cast<polyMath::scaleXform*>(&x))
        return s->setData(scaleOf(matrix_));
    if (auto* q = dynamic_cast<polyMath::quatXform*>(&x))
        return q->setData(rotationOf(matrix_));
    if (auto* m = dynamic_cast<polyMath::matrix4Xform*>(&x))
        return m->setData(matrix_);
    return false;
}

std::int32_t sceneNode::getNumChildren() const {
    return static_cast<std::int32_t>(children_.size());
}

sceneGraph::iSceneNode* sceneNode::getChild(std::int32_t i) const {
    if (i < 0 || i >= getNumChildren())
        return nullptr;
    return children_[static_cast<std::size_t>(i)];
}

bool sceneNode::addChild(sceneGraph::iSceneNode* child) {
    return insertChild(child, getNumChildren());
}

bool sceneNode::insertChild(sceneGraph::iSceneNode* child, std::int32_t i) {
    if (!child || i < 0 || i > getNumChildren())
        return false;
    // Hanging an ancestor below its descendant would make every walk endless.
    if (reaches(child, this))
        return false;
    if (refuse())
        return false;
    children_.insert(children_.begin() + i, child);
    if (auto* own = dynamic_cast<sceneNode*>(child)) {
        own->parents_.push_back(this);
        if (hooks_)
            hooks_->moved(*own);
    }
    reportShifted(static_cast<std::size_t>(i) + 1);
    return true;
}

bool sceneNode::removeChild(std::int32_t i) {
    if (i < 0 || i >= getNumChildren())
        return false;
    if (refuse())
        return false;
    sceneGraph::iSceneNode* gone = children_[static_cast<std::size_t>(i)];
    children_.erase(children_.begin() + i);
    if (auto* own = dynamic_cast<sceneNode*>(gone)) {
        if (auto it = std::find(own->parents_.begin(), own->parents_.end(), this);
            it != own->parents_.end())
            own->parents_.erase(it);
        if (hooks_)
            hooks_->moved(*own);
    }
    reportShifted(static_cast<std::size_t>(i));
    return true;
}

xstd::iterator<sceneGraph::iSceneNode*> sceneNode::getNodeIterator() {
    std::vector<sceneGraph::iSceneNode*> items;
    walkGraph(this, [&](sceneGraph::iSceneNode* n, int) {
        items.push_back(n);
        return true;
    });
    return xstd::makeIterator(std::move(items));
}

} // namespace zel::world
