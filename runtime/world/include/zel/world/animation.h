// Keyframe animation of scene nodes, and the player that the client context hands out.
#pragma once

#include <zel/anim.h>
#include <zel/math.h>

#include <memory>
#include <vector>

namespace zel::import {
struct animation;
struct channel;
} // namespace zel::import

namespace zel::world {

class sceneNode;

// One of a file's animations bound to the nodes of one tree made from that file. Each channel sets
// its node's local matrix to M = S * R * T from its scaling, rotation and position keys (linear
// between keys, spherical for rotations; the first key before the start, the last after the end);
// a kind of key the channel lacks keeps the node's value from when the animation was made. An
// animation without channels (what the registry hands out) plays nothing.
class animation final : public anim::iAnim {
public:
    struct binding {
        const import::channel* channel;
        sceneNode* node;
        vec3 scale;
        quat rotation;
        vec3 position;
    };

    // An animation that moves nothing.
    animation();
    // source stays alive as long as the animation; every binding's channel points into it.
    animation(std::shared_ptr<const import::animation> source, std::vector<binding> bindings);
    ~animation() override;
    animation(const animation&) = delete;
    animation& operator=(const animation&) = delete;

    // True: play again from the start on reaching the end.
    bool setAnimFlag(bool loop) override;
    bool getAnimFlag() const override { return loop_; }

    // Length in seconds (0 for one that moves nothing). A file without a tick rate plays at 30
    // ticks per second.
    double getDuration() const { return duration_; }
    std::size_t getNumBindings() const { return bindings_.size(); }
    // Puts every bound node where the keys say at `seconds` from the start, wrapped into the length
    // when the animation loops, held at the end otherwise.
    void applyAt(double seconds) const;

private:
    std::shared_ptr<const import::animation> source_;
    std::vector<binding> bindings_;
    double ticksPerSecond_ = 30.0;
    double duration_ = 0.0;
    bool loop_ = false;
};

// Owns the world's animations and plays them on its clock. Only animations it owns are accepted.
class animPlayer final : public anim::iAnimPlayer {
public:
    animPlayer();
    ~animPlayer() override;
    animPlayer(const animPlayer&) = delete;
    animPlayer& operator=(const animPlayer&) = delete;

    // Takes ownership; the animation lives as long as the player.
    animation* adopt(std::unique_ptr<animation> a);
    bool owns(const anim::iAnim* a) const;

    // Puts the nodes at time t (seconds, negative counts as 0) at once. False for null or an
    // animation the player does not own.
    bool startAnim(anim::iAnim* a, double t) override;
    // False when it was not playing.
    bool stopAnim(anim::iAnim* a) override;
    bool isPlaying(anim::iAnim* a) const override;

    // Moves every playing animation on by `seconds` (ignored unless positive and finite) and puts
    // its nodes there; one that does not loop stops at its end, its nodes in the last pose.
    void advance(double seconds);
    double getTime() const { return clock_; }

private:
    struct playing {
        animation* anim;
        double time;
    };
    std::vector<std::unique_ptr<animation>> owned_;
    std::vector<playing> playing_;
    double clock_ = 0.0;
};

} // namespace zel::world
