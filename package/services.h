// Framework services, found by interface identifier through the class registry.
//
// Each getter asks the registry afresh on every call (nothing is cached) and has the class that
// implements the interface make an instance typed as that interface. The result is null when no
// class implements the interface or when its create declines. The package never releases or deletes
// what a getter returns.
#pragma once

#include <zel/anim.h>
#include <zel/client.h>
#include <zel/eventmanager.h>
#include <zel/reader.h>
#include <zel/scenegraph.h>
#include <zel/styles.h>
#include <zel/widget.h>
#include <zel/workspace.h>

namespace propplacer {

zel::client::iContext* getClientContext();
zel::sceneGraph::iContext* getSceneContext();
zel::eventManager::iContext* getEventContext();
zel::sceneGraph::reader::iSgReader* getSgReader();
zel::workspace::iNavigator* getNavigator();
zel::widget::tovaStyles::iContext* getStylesContext();
zel::widget::iRectangleTclPacker* getRectanglePacker();
zel::anim::iAnim* getAnimInstance();

} // namespace propplacer
