#include "services.h"

#include <zel/component.h>

#include <typeinfo>

namespace propplacer {

namespace {

// The newest class registered under I's identifier, asked for an I.
template <class I> I* lookUp() {
    zel::component::iClassInfo* info =
        zel::component::classRegistry::getTheSingleton().findInterface(I::IID);
    if (!info)
        return nullptr;
    return static_cast<I*>(info->create(typeid(I)));
}

} // namespace

zel::client::iContext* getClientContext() {
    return lookUp<zel::client::iContext>();
}

zel::sceneGraph::iContext* getSceneContext() {
    return lookUp<zel::sceneGraph::iContext>();
}

zel::eventManager::iContext* getEventContext() {
    return lookUp<zel::eventManager::iContext>();
}

zel::sceneGraph::reader::iSgReader* getSgReader() {
    return lookUp<zel::sceneGraph::reader::iSgReader>();
}

zel::workspace::iNavigator* getNavigator() {
    return lookUp<zel::workspace::iNavigator>();
}

zel::widget::tovaStyles::iContext* getStylesContext() {
    return lookUp<zel::widget::tovaStyles::iContext>();
}

zel::widget::iRectangleTclPacker* getRectanglePacker() {
    return lookUp<zel::widget::iRectangleTclPacker>();
}

zel::anim::iAnim* getAnimInstance() {
    return lookUp<zel::anim::iAnim>();
}

} // namespace propplacer
