// zel::anim: animations, the player, and the attribute by which a model carries its animation.
#pragma once

#include <zel/xstd.h>

namespace zel::anim {

class iAnim {
public:
    static constexpr xstd::uuid IID{0x15BBBF50, 0x47DA, 0x11D4, 0x91, 0xFD, 0x00,
                                    0x50,       0x04,   0x0B,   0x90, 0xE8};
    virtual ~iAnim() {}
    // True: the animation loops.
    virtual bool setAnimFlag(bool) { return false; }
    virtual bool getAnimFlag() const { return false; }
};

class iAnimPlayer {
public:
    virtual ~iAnimPlayer() {}
    // Plays anim from time t seconds. Restarting one that plays starts it again from t.
    virtual bool startAnim(iAnim*, double /*t*/) { return false; }
    // Stops anim and leaves its nodes where they are.
    virtual bool stopAnim(iAnim*) { return false; }
    virtual bool isPlaying(iAnim*) const { return false; }
};

// Carried by a model's root when its file holds keyframe animation. Does not own the animation.
class ZEL_API animAttr : public xstd::attr {
public:
    explicit animAttr(iAnim* anim = nullptr) : anim_(anim) {}
    ~animAttr() override;
    iAnim* getAnim() const { return anim_; }

private:
    iAnim* anim_;
};

} // namespace zel::anim
