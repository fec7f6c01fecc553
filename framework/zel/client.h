// zel::client: the client context: the view (with its mouse source) and the animation player.
#pragma once

#include <zel/anim.h>
#include <zel/scenegraph.h>
#include <zel/xstd.h>

namespace zel::client {

class iView {
public:
    virtual ~iView() {}
    virtual sceneGraph::iMouseSource* getMouseSource() { return nullptr; }
};

class iContext {
public:
    static constexpr xstd::uuid IID{0x85CB97EF, 0x42B5, 0x4BEE, 0x9F, 0x46, 0xA5,
                                    0x4C,       0x18,   0x01,   0xC7, 0xBE};
    virtual ~iContext() {}
    virtual iView* getView() { return nullptr; }
    virtual anim::iAnimPlayer* getAnimPlayer() { return nullptr; }
};

} // namespace zel::client
