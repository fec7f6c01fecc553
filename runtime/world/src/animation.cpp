#include <zel/world/animation.h>
#include <zel/world/scene_node.h>

#include <zel/import/imported_scene.h>

#include <algorithm>
#include <cmath>

namespace zel::world {

namespace {

// A file that gives no tick rate (3DS gives none) counts frames at this rate.
constexpr double defaultTicksPerSecond = 30.0;

// The index of the last key at or before tick (0 before the first).
template <class Key> std::size_t keyBefore(const std::vector<Key>& keys, double tick) {
    const auto after = std::upper_bound(keys.begin(), keys.end(), tick,
                                        [](double t, const Key& k) { return t < k.time; });
    return after == keys.begin() ? 0 : static_cast<std::size_t>(after - keys.begin()) - 1;
}

// How far tick lies from key i to key i + 1, 0..1.
template <class Key> float fractionAt(const std::vector<Key>& keys, std::size_t i, double tick) {
    const double span = keys[i + 1].time - keys[i].time;
    if (!(span > 0.0))
        return 0.0f;
    return static_cast<float>(std::clamp((tick - keys[i].time) / span, 0.0, 1.0));
}

vec3 sample(const std::vector<import::vectorKey>& keys, double tick, const vec3& fallback) {
    if (keys.empty())
        return fallback;
    const std::size_t i = keyBefore(keys, tick);
    const float* a = keys[i].value;
    if (i + 1 >= keys.size() || tick <= keys[i].time)
        return vec3(a[0], a[1], a[2]);
    const float* b = keys[i + 1].value;
    const float f = fractionAt(keys, i, tick);
    return vec3(a[0] + (b[0] - a[0]) * f, a[1] + (b[1] - a[1]) * f, a[2] + (b[2] - a[2]) * f);
}

quat slerp(const float* a, const float* b, float f) {
    float bb[4] = {b[0], b[1], b[2], b[3]};
    float cosine = a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];
    // The short way round.
    if (cosine < 0.0f) {
        cosine = -cosine;
        for (float& c : bb)
            c = -c;
    }
    float wa = 1.0f - f;
    float wb = f;
    // Nearly the same rotation: sin() of the angle is too small to divide by.
    if (cosine < 0.9995f) {
        const float angle = std::acos(std::min(cosine, 1.0f));
        const float s = std::sin(angle);
        wa = std::sin((1.0f - f) * angle) / s;
        wb = std::sin(f * angle) / s;
    }
    float q[4];
    float n = 0.0f;
    for (int k = 0; k < 4; ++k) {
        q[k] = wa * a[k] + wb * bb[k];
        n += q[k] * q[k];
    }
    n = std::sqrt(n);
    if (!(n > 0.0f))
        return quat();
    return quat(q[0] / n, q[1] / n, q[2] / n, q[3] / n);
}

quat sample(const std::vector<import::quatKey>& keys, double tick, const quat& fallback) {
    if (keys.empty())
        return fallback;
    const std::size_t i = keyBefore(keys, tick);
    const float* a = keys[i].quat;
    if (i + 1 >= keys.size() || tick <= keys[i].time)
        return quat(a[0], a[1], a[2], a[3]);
    return slerp(a, keys[i + 1].quat, fractionAt(keys, i, tick));
}

matrix4 composeSRT(const vec3& s, const quat& r, const vec3& t) {
    matrix4 m;
    m.setQuat(r);
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            m(row, col) *= s[static_cast<std::size_t>(row)];
    m(3, 0) = t[0];
    m(3, 1) = t[1];
    m(3, 2) = t[2];
    return m;
}

} // namespace

animation::animation() = default;

animation::animation(std::shared_ptr<const import::animation> source, std::vector<binding> bindings)
    : source_(std::move(source)), bindings_(std::move(bindings)) {
    if (!source_)
        bindings_.clear();
    if (source_ && source_->ticksPerSecond > 0.0 && std::isfinite(source_->ticksPerSecond))
        ticksPerSecond_ = source_->ticksPerSecond;
    else
        ticksPerSecond_ = defaultTicksPerSecond;
    if (source_ && source_->duration > 0.0 && std::isfinite(source_->duration))
        duration_ = source_->duration / ticksPerSecond_;
}

animation::~animation() = default;

bool animation::setAnimFlag(bool loop) {
    loop_ = loop;
    return true;
}

void animation::applyAt(double seconds) const {
    if (bindings_.empty())
        return;
    if (!std::isfinite(seconds) || seconds < 0.0)
        seconds = 0.0;
    if (duration_ > 0.0)
        seconds = loop_ ? std::fmod(seconds, duration_) : std::min(seconds, duration_);
    const double tick = seconds * ticksPerSecond_;
    for (const binding& b : bindings_) {
        const vec3 s = sample(b.channel->scaling, tick, b.scale);
        const quat r = sample(b.channel->rotation, tick, b.rotation);
        const vec3 t = sample(b.channel->position, tick, b.position);
        b.node->setMatrix(composeSRT(s, r, t));
    }
}

animPlayer::animPlayer() = default;

animPlayer::~animPlayer() = default;

animation* animPlayer::adopt(std::unique_ptr<animation> a) {
    if (!a)
        return nullptr;
    owned_.push_back(std::move(a));
    return owned_.back().get();
}

bool animPlayer::owns(const anim::iAnim* a) const {
    return a &&
           std::any_of(owned_.begin(), owned_.end(), [a](const auto& o) { return o.get() == a; });
}

bool animPlayer::startAnim(anim::iAnim* a, double t) {
    // Compared by address before any cast: a foreign or stale pointer is never dereferenced.
    if (!owns(a))
        return false;
    auto* played = static_cast<animation*>(a);
    if (!std::isfinite(t) || t < 0.0)
        t = 0.0;
    const auto it = std::find_if(playing_.begin(), playing_.end(),
                                 [played](const playing& p) { return p.anim == played; });
    if (it != playing_.end())
        it->time = t;
    else
        playing_.push_back({played, t});
    played->applyAt(t);
    return true;
}

bool animPlayer::stopAnim(anim::iAnim* a) {
    const auto it = std::find_if(playing_.begin(), playing_.end(),
                                 [a](const playing& p) { return p.anim == a; });
    if (it == playing_.end())
        return false;
    playing_.erase(it);
    return true;
}

bool animPlayer::isPlaying(anim::iAnim* a) const {
    return a && std::any_of(playing_.begin(), playing_.end(),
                            [a](const playing& p) { return p.anim == a; });
}

void animPlayer::advance(double seconds) {
    if (!(seconds > 0.0) || !std::isfinite(seconds))
        return;
    clock_ += seconds;
    for (auto it = playing_.begin(); it != playing_.end();) {
        it->time += seconds;
        const double end = it->anim->getDuration();
        if (!it->anim->getAnimFlag() && it->time >= end) {
            it->anim->applyAt(end);
            it = playing_.erase(it);
            continue;
        }
        // Keeps the running time small so that a long-looping animation does not lose precision.
        if (it->anim->getAnimFlag() && end > 0.0)
            it->time = std::fmod(it->time, end);
        it->anim->applyAt(it->time);
        ++it;
    }
}

} // namespace zel::world
