// zel::workspace: the navigator, the user's place in the scene.
#pragma once

#include <zel/scenegraph.h>
#include <zel/xstd.h>

namespace zel::workspace {

class iNavigator {
public:
    static constexpr xstd::uuid IID{0x84039FB4, 0x7B73, 0x11D4, 0xA3, 0x70, 0x00,
                                    0xC0,       0x4F,   0x60,   0x06, 0x1A};
    virtual ~iNavigator() {}
    // The user's viewpoint node, which the viewer's camera follows.
    virtual sceneGraph::iSceneNode* getNode() { return nullptr; }
};

} // namespace zel::workspace
