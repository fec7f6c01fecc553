#include "geom_sink.h"

#include "attr_finder.h"
#include "services.h"

#include <zel/xstd.h>

#include <iostream>

namespace propplacer {

namespace {

const zel::wstring placedMark = u"geomSink";

using floats = zel::FloatTrait<float>;

bool isPlacedModel(const zel::wstring& name) {
    return name.size() >= placedMark.size() && name.compare(0, placedMark.size(), placedMark) == 0;
}

// The step along one axis (0, 1 or 2): `amount` there and `rest` on the other two. Any other axis
// gives the zero vector, which the callers take for "no step".
zel::vec3 alongAxis(std::int32_t axis, float amount, float rest) {
    if (axis < 0 || axis > 2)
        return {};
    zel::vec3 v(rest, rest, rest);
    v[static_cast<std::size_t>(axis)] = amount;
    return v;
}

} // namespace

geomSink::geomSink(zel::sceneGraph::reader::iSgReader* sgReader) {
    if (zel::workspace::iNavigator* navigator = getNavigator())
        defaultParent = navigator->getNode();
    anim = getAnimInstance();
    reader = sgReader;
}

geomSink::~geomSink() = default;

bool geomSink::loadGeom(zel::wstring file, const zel::vec3& position,
                        zel::sceneGraph::iSceneNode* parent) {
    std::wcout << L"|> in loadGeom" << std::endl;
    if (!reader || !parent)
        return false;
    model = reader->readFile(file);
    if (!model) {
        // A first read that fails still settles where models go, so that the next one lands where
        // the user (and the status window) expects it, not at the navigator.
        if (!attachPoint)
            attachPoint = parent;
        return false;
    }
    attachPoint = parent;
    attachPoint->insertChild(model, 0);
    moveBy(position);
    model->setName(modelNamePrefix + file);
    model->getXform(homePosition);
    model->getXform(homeScale);
    model->getXform(homeRotation);

    attrFinder<zel::anim::animAttr> finder(model->getAttributes());
    if (finder.isValid()) {
        std::wcout << L"|> Found Animation on geomSink: " << zel::xstd::toWide(model->getName())
                   << std::endl;
        anim = finder.getFound()->getAnim();
        if (anim)
            anim->setAnimFlag(true);
    }
    return true;
}

bool geomSink::loadGeom(zel::wstring file, zel::sceneGraph::iSceneNode* parent) {
    return loadGeom(std::move(file), zel::vec3(0.0f, 0.0f, 0.0f), parent);
}

bool geomSink::loadGeom(zel::wstring file, const zel::vec3& position) {
    return loadGeom(std::move(file), position, defaultParent);
}

bool geomSink::loadGeom(zel::wstring file, float x, float y, float z) {
    return loadGeom(std::move(file), zel::vec3(x, y, z));
}

bool geomSink::replaceGeom(zel::wstring file) {
    const bool removed = detachGeom();
    // After a failed read the model is gone from the scene but the attach point is still the one
    // the user chose; falling back to the navigator's node would put every later model at the
    // viewer's own eye.
    if (removed || (!model && attachPoint))
        return loadGeom(std::move(file), attachPoint);
    return loadGeom(std::move(file), 0.0f, 0.0f, 0.0f);
}

bool geomSink::detachGeom() {
    if (!attachPoint)
        return false;
    zel::sceneGraph::iSceneNode* first = attachPoint->getChild(0);
    if (!first || !isPlacedModel(first->getName()))
        return false;
    return attachPoint->removeChild(0);
}

void geomSink::setAttachPoint(zel::sceneGraph::iSceneNode* newParent) {
    if (!model || !newParent)
        return;
    // A parent that refuses the model (one inside the model itself would make a cycle) must not
    // cost the model its place in the scene, so the old attach point keeps it.
    if (!newParent->insertChild(model, 0))
        return;
    detachGeom();
    attachPoint = newParent;
}

void geomSink::setAnimation(int on, zel::anim::iAnimPlayer* player) {
    if (!anim || !player)
        return;
    if (on != 0)
        player->startAnim(anim, 0);
    else
        player->stopAnim(anim);
}

void geomSink::resetXform() {
    if (!model)
        return;
    model->setXform(homeRotation);
    model->applyXform(homeScale);
    model->applyXform(homePosition);
}

void geomSink::moveBy(const zel::vec3& position) {
    if (!model)
        return;
    zel::polyMath::point3Xform step;
    step.setData(position);
    model->applyXform(step);
    model->getXform(homePosition);
}

void geomSink::moveBy(float x, float y, float z) {
    moveBy(zel::vec3(x, y, z));
}

void geomSink::scaleBy(const zel::vec3& factors) {
    if (!model)
        return;
    zel::polyMath::scaleXform step;
    step.setData(factors);
    model->applyXform(step);
    model->getXform(homeScale);
}

void geomSink::scaleBy(float x, float y, float z) {
    scaleBy(zel::vec3(x, y, z));
}

zel::vec3 geomSink::getPosition() const {
    return homePosition.getData();
}

zel::vec3 geomSink::getScale() const {
    return homeScale.getData();
}

void geomSink::setReader(zel::sceneGraph::reader::iSgReader* newReader) {
    reader = newReader;
}

void geomSink::translate(float amount, std::int32_t axis) {
    if (!model)
        return;
    const zel::vec3 offset = alongAxis(axis, amount, 0.0f);
    if (offset.isIdentity())
        return;
    zel::polyMath::point3Xform step;
    step.setData(offset);
    model->applyXform(step);
}

void geomSink::scale(float factor, std::int32_t axis) {
    if (!model)
        return;
    // Axis 3 scales uniformly.
    const zel::vec3 factors =
        axis == 3 ? zel::vec3(factor, factor, factor) : alongAxis(axis, factor, 1.0f);
    if (factors.isIdentity())
        return;
    zel::polyMath::scaleXform step;
    step.setData(factors);
    model->applyXform(step);
}

void geomSink::rotate(float angle, std::int32_t axis) {
    if (!model)
        return;
    turn(alongAxis(axis, angle, 0.0f));
}

void geomSink::trackballRotate(float angle, std::int32_t axis, int mouseX, int mouseY) {
    if (!model)
        return;
    const float h = floats::d2r(angle) / 2.0f;
    const float hc = floats::cos(h);
    const float hs = floats::sin(h);
    zel::quat q;
    if (axis == 0) {
        q.set(hs, 0.0f, 0.0f, hc);
    } else if (axis == 1) {
        q.set(0.0f, hs, 0.0f, hc);
    } else if (axis == 2) {
        q.set(0.0f, 0.0f, hs, hc);
    } else if (axis == 3) {
        // Window pixels and scene units are mixed on purpose: the pointer only steers the axis, the
        // amount of the turn is always the given angle.
        const zel::vec3 home = homePosition.getData();
        const float dx = static_cast<float>(mouseX) - home[0];
        const float dy = static_cast<float>(mouseY) - home[1];
        const float d2 = dx * dx + dy * dy;
        if (d2 > 1.0f) {
            const float k = 1.0f / floats::sqrt(d2);
            q.set(hs * k * dx, hs * k * dy, 0.0f, hc);
        } else {
            q.set(hs * dx, hs * dy, hs * floats::sqrt(1.0f - d2), hc);
        }
    }
    turn(q);
}

void geomSink::rotateBy(const zel::vec3& euler) {
    if (!model)
        return;
    turn(euler);
}

void geomSink::rotateBy(float x, float y, float z) {
    rotateBy(zel::vec3(x, y, z));
}

void geomSink::turn(const zel::vec3& euler) {
    if (euler.isIdentity())
        return;
    zel::polyMath::matrix4Xform whole;
    model->getXform(whole);
    zel::matrix4 m = whole.getData();
    zel::matrix4 r;
    r.setEuler(euler);
    m.preMult(r);
    whole.setData(m);
    model->setXform(whole);
}

void geomSink::turn(const zel::quat& q) {
    if (q.isIdentity())
        return;
    zel::polyMath::matrix4Xform whole;
    model->getXform(whole);
    zel::matrix4 m = whole.getData();
    m.preQuat(q);
    whole.setData(m);
    model->setXform(whole);
}

} // namespace propplacer
