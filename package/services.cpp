#include "package/services.h"

#include <zel/component.h>

#include <typeinfo>

namespace propplacer {

namespace {

template <class I> I* lookUp(const zel::xstd::uuid& iid) {
    zel::component::iClassInfo* info =
        zel::component::classRegistry::getTheSingleton().findInterface(iid);
    if (!info)
        return nullptr;
    return static_cast<I*>(info->create(typeid(I)));
}

} // namespace

zel::client::iContext* getClientContext() {
    return lookUp<zel::client::iContext>(
        {0x85CB97EF, 0x42B5, 0x4BEE, 0x9F, 0x46, 0xA5, 0x4C, 0x18, 0x01, 0xC7, 0xBE});
}

zel::sceneGraph::iContext* getSceneContext() {
    return lookUp<zel::sceneGraph::iContext>(
        {0x1B746278, 0x1285, 0x4CD2, 0x8A, 0xCD, 0x9C, 0xB2, 0xC5, 0x2B, 0xE0, 0xC8});
}

zel::eventManager::iContext* getEventContext() {
    return lookUp<zel::eventManager::iContext>(
        {0x80A9676D, 0x6FAA, 0x4652, 0xB8, 0x57, 0xB5, 0x4E, 0x83, 0x04, 0x87, 0x51});
}

zel::sceneGraph::reader::iSgReader* getSgReader() {
    return lookUp<zel::sceneGraph::reader::iSgReader>(
        {0x8DBA9F7C, 0xE5B8, 0x11D3, 0xA3, 0x5E, 0x00, 0xC0, 0x4F, 0xA0, 0x4D, 0xF1});
}

zel::workspace::iNavigator* getNavigator() {
    return lookUp<zel::workspace::iNavigator>(
        {0x84039FB4, 0x7B73, 0x11D4, 0xA3, 0x70, 0x00, 0xC0, 0x4F, 0x60, 0x06, 0x1A});
}

zel::widget::tovaStyles::iContext* getStylesContext() {
    return lookUp<zel::widget::tovaStyles::iContext>(
        {0x9BFE12C4, 0xFAC3, 0x11D3, 0xA3, 0x5E, 0x00, 0xB0, 0xD0, 0x20, 0x13, 0x77});
}

zel::widget::iRectangleTclPacker* getRectanglePacker() {
    return lookUp<zel::widget::iRectangleTclPacker>(
        {0xD9440310, 0x87E5, 0x11D3, 0xB3, 0x96, 0x00, 0xC0, 0x4F, 0x60, 0x06, 0x1A});
}

zel::anim::iAnim* getAnimInstance() {
    return lookUp<zel::anim::iAnim>(
        {0x15BBBF50, 0x47DA, 0x11D4, 0x91, 0xFD, 0x00, 0x50, 0x04, 0x0B, 0x90, 0xE8});
}

} // namespace propplacer
