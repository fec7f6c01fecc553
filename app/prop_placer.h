// propPlacer: the package's one application. It places a prepared model into the shared scene and
// lets the user arrange it with keys and the mouse, showing its state in a small status window.
//
// The framework makes it through the class-info record (default constructor only), drives its
// iApplication side (onStart first, then onActivate and onDeactivate any number of times, onStop)
// and delivers key, mouse and entry events to its observer sides. Deleting it through any of its
// four interface sides destroys the whole object; the destructor takes back every observer
// registration that is still in place, so the framework never calls a destroyed object. The
// "tabletop" node and the placed model stay in the scene.
//
// Trace lines go to the console: lifecycle lines to the wide stream, interaction lines to the
// narrow one, the echo of the entry's text to the wide one.
#pragma once

#include "geom_sink.h"
#include "option_ring.h"

#include <zel/anim.h>
#include <zel/application.h>
#include <zel/component.h>
#include <zel/eventmanager.h>
#include <zel/reader.h>
#include <zel/scenegraph.h>
#include <zel/types.h>
#include <zel/widget.h>
#include <zel/workspace.h>
#include <zel/xstd.h>

#include <memory>

namespace propplacer {

class propPlacer
    : public zel::application::iApplication,
      public zel::eventManager::iKeyObserver,
      public zel::sceneGraph::iMouseObserver,
      public zel::widget::iEntryObserver,
      public zel::component::impl::id<0xF0B60ABD, 0xB582, 0x4454, 0x82, 0x2E, 0xF8, 0x7F, 0x68,
                                      0x45, 0x64, 0xA5>,
      public zel::component::impl::defaultClass<
          propPlacer, 1, zel::application::iApplication, zel::component::iNullClass,
          zel::component::iNullClass, zel::component::iNullClass, zel::component::iNullClass,
          zel::component::iNullClass, zel::component::iNullClass, zel::component::iNullClass> {
public:
    // Takes hold of the framework's services, fills the axis, animation and spare rings, registers
    // the key observer, gives the reader its file-search, animation and texture-search attributes,
    // and makes the "tabletop" attach point under the navigator's node. Missing services only skip
    // the steps that need them. Prints nothing.
    propPlacer();
    ~propPlacer() override;
    propPlacer(const propPlacer&) = delete;
    propPlacer& operator=(const propPlacer&) = delete;

    // Profile, search path, geometry catalogue (the current directory's names containing ".3d" or
    // ".3D"), reader attributes, a new geometry holder with "archi.3ds" under the current attach
    // point, and the status window "vKivra Status" with the status label and the entry.
    void onStart(const zel::application::applicationEvent& event) override;
    // Releases the status window and deletes the directory listing.
    void onStop(const zel::application::applicationEvent& event) override;
    // Connects the status window to the event manager's event source.
    void onActivate(const zel::application::applicationEvent& event) override;
    void onDeactivate(const zel::application::applicationEvent& event) override;

    // Model commands; each handler looks only at the low 8 bits of the key code.
    void onKeyPress(zel::eventManager::keyEvent* event) override;
    // Model commands, ring steps, reset and the start of the mouse trackball.
    void onKeyDown(zel::eventManager::keyEvent* event) override;
    // Refreshes the status label after a ring step and ends the mouse trackball.
    void onKeyUp(zel::eventManager::keyEvent* event) override;

    void onMouseMove(zel::sceneGraph::mouseEvent* event) override;
    // In axis mode "XYZ": one trace line and one trackball step of the model.
    void onMouseDown(zel::sceneGraph::mouseEvent* event) override;
    // Exactly as onMouseDown, trace text included.
    void onMouseDrag(zel::sceneGraph::mouseEvent* event) override;
    // A trace line with the vertical wheel's delta.
    void onMouseWheelDelta(zel::sceneGraph::mouseEvent* event) override;

    // Enter in the entry: a trace line and the echo of the entry's text.
    void onEntry(const zel::widget::entryEvent& event) override;
    void onText(const zel::widget::textEvent& event) override;
    void onViewableBounds(const zel::widget::boundsEvent& event) override;

    // The five-line text of the status label: axis mode, geometry file and attach point (each cut
    // to 9 code units), animation and the holder's home position; no line end after the last line.
    zel::wstring buildStatusText() const;

    // Hooks of the spare switch; they do nothing.
    void switchOn() {}
    void switchOff() {}

protected:
    optionRing<zel::wstring> axisRing;
    optionRing<zel::wstring> animRing;
    optionRing<zel::wstring> switchRing;
    optionRing<zel::wstring> geomFileRing;
    optionRing<zel::sceneGraph::iSceneNode*> attachRing;
    zel::xstd::searchPath appSearchPath;
    std::unique_ptr<zel::xstd::directory> geomDirectory;
    zel::anim::iAnimPlayer* animPlayer = nullptr;
    zel::sceneGraph::iMouseSource* mouseSource = nullptr;
    zel::workspace::iNavigator* navigator = nullptr;
    zel::eventManager::iKeySource* keySource = nullptr;
    zel::sceneGraph::reader::iSgReader* sgReader = nullptr;
    std::unique_ptr<geomSink> holder;
    zel::xstd::counted<zel::widget::iWindowFrame> statusWindow;
    zel::xstd::counted<zel::widget::iLabel> statusLabel;
    // The entry the application observes, held so that the observer can be taken back from it.
    zel::xstd::counted<zel::widget::iEntry> statusEntry;
    float translateStep = 0.25f;
    float scaleFactor = 1.1f;
    float rotateStep = 5.0f;

private:
    void buildStatusWindow();
    void refreshStatusLabel();
    // The model keys shared by onKeyPress and onKeyDown.
    void modelCommand(char key);
    void forgetEntry();
    void trackballStep(zel::sceneGraph::mouseEvent* event);
};

} // namespace propplacer
