#include "hud.h"

#include "sites.h"

#include <zel/polymath.h>
#include <zel/world/scene_node.h>
#include <zel/xstd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zel::host {

namespace {

// Three numbers as "(a, b, c)"; a value that prints as zero prints without a minus sign.
std::string triple(const vec3& v, int decimals) {
    const double unit = std::pow(10.0, -decimals) / 2.0;
    char text[3][32];
    for (int i = 0; i < 3; ++i) {
        double x = v[std::size_t(i)];
        if (std::fabs(x) < unit)
            x = 0.0;
        std::snprintf(text[i], sizeof text[i], "%.*f", decimals, x);
    }
    return std::string("(") + text[0] + ", " + text[1] + ", " + text[2] + ")";
}

std::string sizeText(const modelExtent& e) {
    if (!e.hasVertices)
        return "no geometry";
    const vec3 size = e.size();
    char text[96];
    std::snprintf(text, sizeof text, "size %.3f x %.3f x %.3f m  %llu triangles", double(size[0]),
                  double(size[1]), double(size[2]), static_cast<unsigned long long>(e.triangles));
    return text;
}

} // namespace

vec3 eulerDegrees(const quat& q) {
    matrix4 m;
    m.setQuat(q);
    // M = Rx(a) * Ry(b) * Rz(c) in row-vector form has
    //   row 0 = (cb cc, cb sc, -sb), row 1 = (.., .., sa cb), row 2 = (.., .., ca cb).
    const double sb = std::clamp(-double(m(0, 2)), -1.0, 1.0);
    double a = 0, b = std::asin(sb), c = 0;
    if (std::fabs(sb) < 0.999999) {
        a = std::atan2(m(1, 2), m(2, 2));
        c = std::atan2(m(0, 1), m(0, 0));
    } else {
        // Gimbal lock: with c = 0, row 1 = (.., ca, ..) and row 2 = (.., -sa, ..).
        a = std::atan2(-double(m(2, 1)), double(m(1, 1)));
    }
    const double toDegrees = 180.0 / 3.14159265358979323846;
    // A half turn comes out of atan2 as +-180 depending on rounding: show it as +180.
    auto wrap = [](double d) { return std::min(d <= -180.0 + 1e-3 ? d + 360.0 : d, 180.0); };
    return vec3(float(wrap(a * toDegrees)), float(b * toDegrees), float(wrap(c * toDegrees)));
}

std::string hudLine(const world::world& w) {
    return hudLine(modelMeter().measure(w));
}

std::string hudLine(const modelExtent& extent) {
    sceneGraph::iSceneNode* model = extent.model;
    if (!model)
        return "no model placed";
    polyMath::point3Xform position;
    polyMath::quatXform rotation;
    polyMath::scaleXform scale;
    model->getXform(position);
    model->getXform(rotation);
    model->getXform(scale);
    return xstd::toDisplayUtf8(model->getName().substr(placedModelPrefix.size())) + "  position " +
           triple(position.getData(), 3) + "  rotation " +
           triple(eulerDegrees(rotation.getData()), 1) + " deg  scale " +
           triple(scale.getData(), 3) + "  " + sizeText(extent);
}

void fitDepthRange(render::camera& view, const modelExtent& model) {
    if (!model.hasVertices)
        return;
    const matrix4 eye(view.world.data());
    const vec3 at = eye.getTranslate();
    double d2 = 0;
    for (std::size_t i = 0; i < 3; ++i)
        d2 += double(at[i] - model.centre[i]) * double(at[i] - model.centre[i]);
    const double distance = std::sqrt(d2);
    const double r = model.radius;
    const double back = distance + r;
    view.farPlane = float(std::max(double(view.farPlane), back * 1.5));
    // Near enough to cut nothing off the model's front.
    const double front = std::max((distance - r) * 0.5, distance * 1e-4);
    // A 24-bit depth buffer tells apart, at depth z, surfaces z * z / (near * 2^24) apart: the near
    // plane rises until that is a hundred-thousandth of the model's radius at its back, so that a
    // model of any size keeps the depth detail of one a metre across. It stays at the default
    // where that suffices, so that little near the camera is cut off.
    const double needed = back * back / (std::max(r, 1e-6) * 1e-5 * double(1 << 24));
    const double wanted = std::max(double(view.nearPlane), needed);
    view.nearPlane = float(std::max(std::min(front, wanted), 1e-4));
}

std::string shareHudLine(const share::sharedScene& s) {
    if (s.reconnecting())
        return "shared scene: reconnecting";
    const std::size_t n = s.sites().size();
    return "shared scene " + s.sceneName() + ": " + std::to_string(n) +
           (n == 1 ? " site" : " sites") + (s.viewerOnly() ? " (viewing only)" : "");
}

namespace {

// A head for avatars, of a person's size: 0.16 m wide, 0.23 m high, 0.2 m deep, the user's colour,
// with a nose towards -z (where the user looks).
struct headMesh {
    std::vector<float> positions;
    std::vector<std::uint32_t> indices;
    headMesh() {
        auto box = [&](float x0, float y0, float z0, float x1, float y1, float z1) {
            const std::uint32_t base = static_cast<std::uint32_t>(positions.size() / 3);
            for (int i = 0; i < 8; ++i) {
                positions.push_back(i & 1 ? x1 : x0);
                positions.push_back(i & 2 ? y1 : y0);
                positions.push_back(i & 4 ? z1 : z0);
            }
            const std::uint32_t faces[12][3] = {{0, 2, 1}, {1, 2, 3}, {4, 5, 6}, {5, 7, 6},
                                                {0, 1, 4}, {1, 5, 4}, {2, 6, 3}, {3, 6, 7},
                                                {0, 4, 2}, {2, 4, 6}, {1, 3, 5}, {3, 7, 5}};
            for (const auto& f : faces)
                for (std::uint32_t v : f)
                    indices.push_back(base + v);
        };
        box(-0.08f, -0.115f, -0.1f, 0.08f, 0.115f, 0.1f);
        box(-0.015f, -0.03f, -0.135f, 0.015f, 0.01f, -0.1f);
    }
};

} // namespace

void keepHeadsPastNearPlane(render::camera& view, float nearest,
                            const std::vector<share::avatar>& avatars) {
    const float* eye = view.world.data() + 12;
    const float* back = view.world.data() + 8; // the camera looks along -z
    for (const share::avatar& a : avatars) {
        const float* at = a.world.data() + 12;
        double d2 = 0, ahead = 0;
        for (int c = 0; c < 3; ++c) {
            const double d = double(at[c]) - double(eye[c]);
            d2 += d * d;
            ahead -= d * double(back[c]);
        }
        const double distance = std::sqrt(d2);
        // Behind the camera it is not seen; inside it, or within the default near distance of
        // it, it is not drawn whatever the near plane.
        if (!(ahead > 0.0) || !(distance > avatarHeadRadius + double(nearest)))
            continue;
        const double front = std::max((distance - avatarHeadRadius) * 0.5, double(nearest));
        view.nearPlane = float(std::min(double(view.nearPlane), front));
    }
}

void addAvatars(render::frame& f, const std::vector<share::avatar>& avatars) {
    static const auto head = std::make_shared<const headMesh>();
    const float* eye = f.view.world.data() + 12;
    for (const share::avatar& a : avatars) {
        const float* at = a.world.data() + 12;
        double d2 = 0;
        for (int c = 0; c < 3; ++c)
            d2 += double(at[c] - eye[c]) * double(at[c] - eye[c]);
        // A camera inside the head, or so close that the near plane cuts it, would see a wall of
        // colour: the head and its name are left out.
        if (!(std::sqrt(d2) > avatarHeadRadius + double(f.view.nearPlane)))
            continue;
        render::drawItem item;
        item.key = head;
        item.positions = head->positions.data();
        item.vertexCount = static_cast<std::uint32_t>(head->positions.size() / 3);
        item.indices = head->indices.data();
        item.indexCount = static_cast<std::uint32_t>(head->indices.size());
        std::copy(a.world.data(), a.world.data() + 16, item.world.begin());
        item.diffuse = userColour(a.user);
        f.items.push_back(item);
        f.labels.push_back({{at[0], at[1] + 0.2f, at[2]}, a.user, textColour(a.user)});
    }
}

render::frame hudFrames::build() {
    render::frame f = frames_.build();
    const modelExtent model = meter_.measure(world_);
    f.hud.push_back(hudLine(model));
    const float nearest = f.view.nearPlane;
    fitDepthRange(f.view, model);
    if (share_) {
        const std::vector<share::avatar> avatars = share_->avatars();
        keepHeadsPastNearPlane(f.view, nearest, avatars);
        addAvatars(f, avatars);
        f.hud.push_back(shareHudLine(*share_));
        f.shared = true;
        f.sites = presentSites(*share_);
    }
    return f;
}

} // namespace zel::host
