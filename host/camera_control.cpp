#include "camera_control.h"

#include "arrival.h"

#include <zel/world/scene_node.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace zel::host {

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double toRadians = pi / 180.0;
// Without a placed model the camera turns round, and zooms towards, a point this far ahead.
constexpr float pointAhead = 2.0f;
constexpr double nearest = 1e-3;  // metres between the camera and the centre, at least
constexpr double farthest = 1e5;  // and at most
constexpr double steepest = 89.0; // degrees of elevation

vec3 operator+(const vec3& a, const vec3& b) {
    return vec3(a[0] + b[0], a[1] + b[1], a[2] + b[2]);
}
vec3 operator-(const vec3& a, const vec3& b) {
    return vec3(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
}
vec3 operator*(const vec3& a, double s) {
    return vec3(float(a[0] * s), float(a[1] * s), float(a[2] * s));
}
double dot(const vec3& a, const vec3& b) {
    return double(a[0]) * b[0] + double(a[1]) * b[1] + double(a[2]) * b[2];
}
vec3 cross(const vec3& a, const vec3& b) {
    return vec3(a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]);
}
double length(const vec3& a) {
    return std::sqrt(dot(a, a));
}
vec3 normalised(const vec3& a) {
    const double l = length(a);
    return l > 0.0 ? a * (1.0 / l) : a;
}

vec3 row(const matrix4& m, int r) {
    return vec3(m(r, 0), m(r, 1), m(r, 2));
}
void setRow(matrix4& m, int r, const vec3& v) {
    for (int c = 0; c < 3; ++c)
        m(r, c) = v[std::size_t(c)];
}

// The right-handed turn by degrees about a unit axis through the origin.
matrix4 turn(const vec3& axis, double degrees) {
    const double half = degrees * toRadians / 2.0;
    const double s = std::sin(half);
    matrix4 m;
    m.setQuat(
        quat(float(axis[0] * s), float(axis[1] * s), float(axis[2] * s), float(std::cos(half))));
    return m;
}

matrix4 translate(const vec3& t) {
    matrix4 m;
    m.setTranslate(t);
    return m;
}

// The camera looks along -Z of "head" (row 2) with +Y up.
vec3 forwardOf(const matrix4& m) {
    return normalised(row(m, 2)) * -1.0;
}

// Rows 0 to 2 rebuilt as an upright frame looking along forward, so that rounding over many moves
// never tilts the horizon. A camera looking straight up or down keeps its rows.
void keepUpright(matrix4& m) {
    const vec3 forward = forwardOf(m);
    const vec3 right = cross(forward, vec3(0, 1, 0));
    if (length(right) < 1e-6)
        return;
    const vec3 r = normalised(right);
    setRow(m, 0, r);
    setRow(m, 1, normalised(cross(r, forward)));
    setRow(m, 2, forward * -1.0);
}

bool finite(double v) {
    return std::isfinite(v);
}

} // namespace

cameraControl::cameraControl(world::world& w) : world_(w) {
    if (sceneGraph::iSceneNode* nav = w.getNavigatorNode())
        for (std::int32_t i = 0; i < nav->getNumChildren(); ++i)
            if (auto* c = dynamic_cast<world::sceneNode*>(nav->getChild(i));
                c && c->getName() == u"head") {
                head_ = c;
                break;
            }
    if (head_)
        home_ = head_->getMatrix();
}

bool cameraControl::refuse(std::string why) {
    refusal_ = std::move(why);
    return false;
}

bool cameraControl::findPivot(pivot& p) {
    if (!head_)
        return refuse("the navigator has no \"head\" node");
    const modelExtent e = meter_.measure(world_);
    if (e.model && e.hasVertices) {
        if (world::reaches(head_, e.model))
            return refuse("the placed model hangs on the camera's own \"head\" node");
        matrix4 navigator;
        if (!worldMatrixOf(world_, world_.getNavigatorNode(), navigator))
            return refuse("the navigator is not in the scene");
        const matrix4 toNavigator = navigator.inverseAffine();
        p.centre = toNavigator.transformPoint(e.centre);
        p.radius = float(e.radius * length(row(toNavigator, 0)));
        p.model = true;
    } else {
        const matrix4& h = head_->getMatrix();
        p.centre = h.getTranslate() + forwardOf(h) * pointAhead;
        p.radius = 0.0f;
        p.model = false;
    }
    if (!finite(p.centre[0]) || !finite(p.centre[1]) || !finite(p.centre[2]) || !finite(p.radius))
        return refuse("the placed model's extent is not a number");
    refusal_.clear();
    return true;
}

bool cameraControl::frame() {
    pivot p;
    if (!findPivot(p))
        return false;
    if (!p.model)
        return refuse("no model is placed");
    const double halfY = fovY / 2.0 * toRadians;
    const double halfX = std::atan(std::max(aspect, 1e-6) * std::tan(halfY));
    const double half = std::min(halfX, halfY);
    const double seen = std::atan(frameShare * std::tan(half));
    const double distance =
        std::clamp(std::max(double(p.radius), nearest) / std::sin(seen), nearest, farthest);
    matrix4 h = head_->getMatrix();
    const vec3 position = p.centre - forwardOf(h) * distance;
    setRow(h, 3, position);
    head_->setMatrix(h);
    return true;
}

bool cameraControl::home() {
    if (!head_)
        return refuse("the navigator has no \"head\" node");
    head_->setMatrix(home_);
    if (arrival_)
        arrival_->returnHome();
    refusal_.clear();
    return true;
}

bool cameraControl::lookAtSphere(const vec3& centre, double radius) {
    if (!head_)
        return refuse("the navigator has no \"head\" node");
    matrix4 navigator;
    if (!worldMatrixOf(world_, world_.getNavigatorNode(), navigator))
        return refuse("the navigator is not in the scene");
    const matrix4 toNavigator = navigator.inverseAffine();
    const vec3 c = toNavigator.transformPoint(centre);
    const double r = radius * length(row(toNavigator, 0));
    if (!finite(c[0]) || !finite(c[1]) || !finite(c[2]) || !finite(r))
        return refuse("the other site's place is not a number");
    matrix4 h = head_->getMatrix();
    // Turned towards the centre from where the camera is; straight above or below it, or on it,
    // the camera keeps its direction.
    const vec3 towards = c - h.getTranslate();
    vec3 forward = forwardOf(h);
    if (length(towards) > 1e-6 && length(cross(normalised(towards), vec3(0, 1, 0))) > 1e-3)
        forward = normalised(towards);
    setRow(h, 2, forward * -1.0);
    keepUpright(h);
    const double halfY = fovY / 2.0 * toRadians;
    const double halfX = std::atan(std::max(aspect, 1e-6) * std::tan(halfY));
    const double seen = std::atan(frameShare * std::tan(std::min(halfX, halfY)));
    const double distance = std::clamp(std::max(r, nearest) / std::sin(seen), nearest, farthest);
    setRow(h, 3, c - forwardOf(h) * distance);
    head_->setMatrix(h);
    refusal_.clear();
    return true;
}

bool cameraControl::frameSite(const std::string& site) {
    // The site's navigator is a mirror under the root. A desktop site's model hangs under its
    // navigator; a page places its models beside it, at the top of the scene, newest last.
    world::sceneNode* navigator = nullptr;
    std::vector<sceneGraph::iSceneNode*> beside;
    if (world::sceneNode* root = world_.getRootNode())
        for (std::int32_t i = 0; i < root->getNumChildren(); ++i)
            if (auto* n = dynamic_cast<world::sceneNode*>(root->getChild(i));
                n && n->share().mirror && n->share().owner == site) {
                if (!n->share().navigator)
                    beside.push_back(n);
                else if (!navigator)
                    navigator = n;
            }
    matrix4 at;
    if (!navigator || !worldMatrixOf(world_, navigator, at))
        return refuse("site " + site + " has not shown where it stands yet");
    // The avatar's head: a sphere round the navigator's place, a little more than a head.
    vec3 centre = at.getTranslate();
    double radius = 0.25;
    // The site's model: the one under its navigator, else the newest beside it that draws.
    modelExtent e;
    auto measured = [&](sceneGraph::iSceneNode* model) {
        matrix4 placed;
        if (model && worldMatrixOf(world_, model, placed))
            e = measureModel(model, placed);
        return e.hasVertices;
    };
    if (!measured(findPlacedModelUnder(navigator)))
        for (auto it = beside.rbegin(); it != beside.rend(); ++it)
            if (measured(*it))
                break;
    if (e.hasVertices && finite(e.radius)) {
        // The smallest sphere round both spheres.
        const vec3 d = e.centre - centre;
        const double gap = length(d);
        if (gap + e.radius <= radius) {
            // the model lies inside the head's sphere
        } else if (gap + radius <= e.radius) {
            centre = e.centre;
            radius = e.radius;
        } else {
            const double r = (gap + radius + e.radius) / 2.0;
            centre = centre + d * ((r - radius) / gap);
            radius = r;
        }
    }
    if (!lookAtSphere(centre, radius))
        return false;
    lastSite_ = site;
    return true;
}

bool cameraControl::frameUser(const std::string& user) {
    if (!share_)
        return refuse("not in a shared scene (no --share)");
    for (const share::siteEntry& e : share_->sites())
        if (!e.self && e.user == user)
            return frameSite(e.site);
    return refuse("no other site of user " + user + " is present");
}

bool cameraControl::frameNextSite(int step) {
    if (!share_)
        return refuse("not in a shared scene (no --share)");
    std::vector<std::string> others;
    for (const share::siteEntry& e : share_->sites())
        if (!e.self)
            others.push_back(e.site);
    if (others.empty())
        return refuse("no other site is present");
    // After the one framed last, in site order; from the first (or last) when it left.
    const auto n = static_cast<std::ptrdiff_t>(others.size());
    std::ptrdiff_t i = step > 0 ? 0 : n - 1;
    if (const auto it = std::lower_bound(others.begin(), others.end(), lastSite_);
        !lastSite_.empty()) {
        const std::ptrdiff_t at = it - others.begin();
        const bool present = it != others.end() && *it == lastSite_;
        i = step > 0 ? (present ? at + 1 : at) % n : ((at - 1) % n + n) % n;
    }
    // A site whose navigator has not arrived yet is passed over.
    for (std::ptrdiff_t tried = 0; tried < n; ++tried) {
        if (frameSite(others[std::size_t(i)]))
            return true;
        i = ((i + (step > 0 ? 1 : -1)) % n + n) % n;
    }
    return false;
}

bool cameraControl::orbit(double dx, double dy) {
    pivot p;
    if (!findPivot(p))
        return false;
    matrix4 h = head_->getMatrix();
    const vec3 forward = forwardOf(h);
    const double pitch = std::asin(std::clamp(double(forward[1]), -1.0, 1.0)) / toRadians;
    const double wanted = std::clamp(pitch - dy, -steepest, steepest);
    // Rising (dy > 0) turns the camera about its right axis the left-handed way.
    const matrix4 rise = turn(normalised(row(h, 0)), wanted - pitch);
    const matrix4 round = turn(vec3(0, 1, 0), dx);
    h = h * translate(p.centre * -1.0) * rise * round * translate(p.centre);
    keepUpright(h);
    head_->setMatrix(h);
    return true;
}

bool cameraControl::zoom(double factor) {
    if (!finite(factor) || factor <= 0.0)
        return refuse("the zoom factor must be a number above 0");
    pivot p;
    if (!findPivot(p))
        return false;
    matrix4 h = head_->getMatrix();
    const vec3 away = h.getTranslate() - p.centre;
    const double distance = length(away);
    const vec3 direction = distance > 0.0 ? away * (1.0 / distance) : forwardOf(h) * -1.0;
    const double wanted = std::clamp(distance / factor, nearest, farthest);
    setRow(h, 3, p.centre + direction * wanted);
    head_->setMatrix(h);
    return true;
}

bool cameraControl::pan(double dx, double dy, double height) {
    pivot p;
    if (!findPivot(p))
        return false;
    matrix4 h = head_->getMatrix();
    const double depth = std::max(dot(p.centre - h.getTranslate(), forwardOf(h)), nearest);
    const double metresPerPixel =
        2.0 * depth * std::tan(fovY / 2.0 * toRadians) / std::max(height, 1.0);
    const vec3 shift = normalised(row(h, 0)) * (-dx * metresPerPixel) +
                       normalised(row(h, 1)) * (dy * metresPerPixel);
    setRow(h, 3, h.getTranslate() + shift);
    head_->setMatrix(h);
    return true;
}

// ---- input ----------------------------------------------------------------------------------

void cameraInput::keyDown(unsigned int code) {
    if (isFrameKey(code))
        camera_.frame();
    else
        next_.keyDown(code);
}

void cameraInput::keyRepeat(unsigned int code) {
    if (!isFrameKey(code))
        next_.keyRepeat(code);
}

void cameraInput::keyUp(unsigned int code) {
    if (!isFrameKey(code))
        next_.keyUp(code);
}

void cameraInput::viewerKeyDown(render::viewerKey key, bool repeat) {
    if (key == render::viewerKey::home) {
        if (!repeat)
            camera_.home();
        return;
    }
    if (key == render::viewerKey::tab || key == render::viewerKey::backTab) {
        camera_.frameNextSite(key == render::viewerKey::tab ? 1 : -1);
        return;
    }
    next_.viewerKeyDown(key, repeat);
}

void cameraInput::buttonEvent(render::mouseButton button, bool pressed, int x, int y) {
    if (pressed) {
        if (button != render::mouseButton::none && !camera_.getWorld().hasMouseObservers()) {
            drags_[button] = {x, y};
            return;
        }
    } else if (drags_.erase(button)) {
        return;
    }
    next_.buttonEvent(button, pressed, x, y);
}

void cameraInput::mouseMove(int x, int y, render::mouseButton held) {
    const auto it = drags_.find(held);
    if (it == drags_.end()) {
        next_.mouseMove(x, y, held);
        return;
    }
    const int dx = x - it->second.x;
    const int dy = y - it->second.y;
    it->second = {x, y};
    if (dx == 0 && dy == 0)
        return;
    switch (held) {
    case render::mouseButton::left:
        // The model follows the pointer: dragging right shows its left side.
        camera_.orbit(-dx * orbitDegreesPerPixel, dy * orbitDegreesPerPixel);
        break;
    case render::mouseButton::right:
        camera_.zoom(std::pow(zoomPerPixel, -dy));
        break;
    case render::mouseButton::middle:
        camera_.pan(dx, dy, viewHeight);
        break;
    default:
        break;
    }
}

void cameraInput::wheel(int delta, bool horizontal) {
    if (horizontal || camera_.getWorld().hasMouseObservers()) {
        next_.wheel(delta, horizontal);
        return;
    }
    camera_.zoom(std::pow(zoomPerNotch, delta / 120.0));
}

} // namespace zel::host
