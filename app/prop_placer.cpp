#include "prop_placer.h"

#include "attr_finder.h"
#include "services.h"

#include <zel/client.h>
#include <zel/styles.h>

#include <iostream>
#include <locale>
#include <sstream>

namespace propplacer {

namespace {

namespace reader = zel::sceneGraph::reader;
namespace widget = zel::widget;

const zel::wstring firstModel = u"archi.3ds";
const zel::wstring downloadUrl = u"http://www.example.org/propplacer/geoms.zip";
const zel::wstring profileDescription =
    u"Places a prepared model into the scene and arranges it by hand.";
constexpr std::size_t statusCut = 9;

bool isGeometryFile(const zel::wstring& name) {
    return name.rfind(u".3d") != zel::wstring::npos || name.rfind(u".3D") != zel::wstring::npos;
}

// The default stream format (general notation, six significant digits) in the classic locale, so
// that a comma-decimal global locale cannot change the status text.
zel::wstring positionText(const zel::vec3& p) {
    std::wostringstream out;
    out.imbue(std::locale::classic());
    out << L'[' << p[0] << L", " << p[1] << L", " << p[2] << L']';
    const std::wstring text = out.str();
    return zel::wstring(text.begin(), text.end());
}

// No word wrapping, and "fill" both ways with "expand" in the packer.
template <class W> void layOut(W* w) {
    widget::labelSpec spec = w->getSpec();
    spec.setWordWrapping(false);
    w->setSpec(spec);
    widget::iWidget* side = w;
    side->addAttr(new widget::tclAttr(u"fill", 3));
    side->addAttr(new widget::tclAttr(u"expand", true));
}

} // namespace

propPlacer::propPlacer() {
    axisRing.append(u"X");
    axisRing.append(u"Y");
    axisRing.append(u"Z");
    axisRing.append(u"XYZ");
    animRing.append(u"OFF");
    animRing.append(u"ON");
    switchRing.append(u"OFF");
    switchRing.append(u"ON");

    zel::client::iContext* clientContext = getClientContext();
    zel::sceneGraph::iContext* sceneContext = getSceneContext();
    zel::eventManager::iContext* eventContext = getEventContext();
    sgReader = getSgReader();
    navigator = getNavigator();

    if (clientContext) {
        if (zel::client::iView* view = clientContext->getView())
            mouseSource = view->getMouseSource();
        animPlayer = clientContext->getAnimPlayer();
    }

    if (eventContext) {
        keySource = eventContext->getKeySource();
        if (keySource)
            keySource->addKeyObserver(this);
    }

    if (sgReader) {
        sgReader->addAttribute(new reader::fileSearchAttr);
        sgReader->addAttribute(new reader::animAttr);
        sgReader->addAttribute(new reader::textureSearchAttr);
    }

    // Without a scene context there is no "tabletop" node to put first in the ring, and the other
    // attach points are not collected either: the first model would otherwise land on whatever node
    // the navigator happens to list first.
    zel::sceneGraph::iSceneNode* navigatorNode = navigator ? navigator->getNode() : nullptr;
    if (!navigatorNode || !sceneContext)
        return;
    zel::sceneGraph::iNodeFactory* factory = sceneContext->getNodeFactory();
    zel::sceneGraph::iSceneNode* tabletop = factory ? factory->createNode() : nullptr;
    if (!tabletop)
        return;
    tabletop->setName(u"tabletop");
    navigatorNode->addChild(tabletop);
    zel::vec3 offset;
    offset.set(0.75f, -1.0f, -2.1f);
    zel::polyMath::point3Xform place;
    place.setData(offset);
    tabletop->applyXform(place);
    attachRing.append(tabletop);

    for (std::int32_t i = 0; i < navigatorNode->getNumChildren(); ++i) {
        zel::sceneGraph::iSceneNode* child = navigatorNode->getChild(i);
        if (!child)
            continue;
        for (auto nodes = child->getNodeIterator(); nodes.isValid(); nodes.advance())
            attachRing.append(nodes.getCurrent());
    }
}

propPlacer::~propPlacer() {
    if (keySource)
        keySource->removeKeyObserver(this);
    if (mouseSource && mouseSource->hasMouseObserver(this))
        mouseSource->removeMouseObserver(this);
    forgetEntry();
    statusLabel.reset();
    statusWindow.reset();
    holder.reset();
    geomDirectory.reset();
}

void propPlacer::onStart(const zel::application::applicationEvent& event) {
    std::wcout << L"propPlacer - onStart" << std::endl;

    zel::application::profile profile;
    profile.setName(u"KIVRAApp");
    profile.setDescription(profileDescription);
    if (zel::application::iApplicationHandle* handle = event.getSubject())
        handle->setProfile(profile);
    if (zel::application::iApplicationHandle* handle = event.getSubject())
        appSearchPath = handle->getSearchPath();

    geomDirectory = std::make_unique<zel::xstd::directory>(appSearchPath.getCWD());
    for (auto names = geomDirectory->getFileIterator(); names.isValid(); names.advance()) {
        const zel::wstring name = names.getCurrent();
        if (isGeometryFile(name))
            geomFileRing.append(name);
    }

    if (sgReader) {
        attrFinder<reader::fileSearchAttr> files(sgReader->getAttributes());
        attrFinder<reader::animAttr> anims(sgReader->getAttributes());
        attrFinder<reader::textureSearchAttr> textures(sgReader->getAttributes());
        for (; files.isValid(); files.next())
            files.getFound()->setSearchPath(appSearchPath);
        for (; anims.isValid(); anims.next())
            anims.getFound()->setEnable(true);
        for (; textures.isValid(); textures.next())
            textures.getFound()->setSearchPath(appSearchPath);
    }

    holder = std::make_unique<geomSink>(sgReader);
    // Without an attach point there is nothing to hang the first model under.
    if (!attachRing.isEmpty())
        holder->loadGeom(firstModel, attachRing.current());

    buildStatusWindow();
}

void propPlacer::buildStatusWindow() {
    zel::component::iPackage* package = zel::component::thisPackage();
    if (!package || !package->openLink(zel::wstring(u"zelstyles")))
        return;
    widget::tovaStyles::iContext* styles = getStylesContext();
    if (!styles)
        return;
    zel::xstd::counted<widget::tovaStyles::iBuilder> builder(styles->getBuilder());
    if (!builder)
        return;

    widget::tovaStyles::widgetElem elem;
    auto buildNamed = [&](const char16_t* name) {
        elem.setName(name);
        builder->build(elem);
        builder->complete(elem);
        return elem.getWidget();
    };

    statusWindow = dynamic_cast<widget::iWindowFrame*>(buildNamed(u"window"));
    if (!statusWindow)
        return;
    widget::iRectangleTclPacker* packer = getRectanglePacker();
    if (!packer)
        return;
    statusWindow->setPacker(packer);
    statusWindow->setTitle(u"vKivra Status");
    statusWindow->setFrameStyle(0);
    statusWindow->setFrameMode(0, 1);

    statusLabel = dynamic_cast<widget::iLabel*>(buildNamed(u"label"));
    if (statusLabel) {
        layOut(statusLabel.get());
        statusWindow->addWidget(statusLabel.get());
        statusLabel->setText(buildStatusText());
    }

    zel::xstd::counted<widget::iEntry> entry(dynamic_cast<widget::iEntry*>(buildNamed(u"entry")));
    std::cout << (entry ? "1" : "0") << std::endl;
    if (entry) {
        layOut(entry.get());
        statusWindow->addWidget(entry.get());
        entry->setText(downloadUrl);
        entry->addEntryObserver(this);
        // An entry from an earlier start must not keep calling this object after it is gone.
        if (statusEntry.get() != entry.get())
            forgetEntry();
        statusEntry = entry.get();
    }
}

void propPlacer::forgetEntry() {
    if (statusEntry)
        statusEntry->removeEntryObserver(this);
    statusEntry.reset();
}

void propPlacer::onStop(const zel::application::applicationEvent& /*event*/) {
    std::wcout << L"propPlacer::onStop() Cleaning up." << std::endl;
    statusWindow.reset();
    geomDirectory.reset();
}

void propPlacer::onActivate(const zel::application::applicationEvent& /*event*/) {
    std::wcout << L"propPlacer::onActivate() Adding observers." << std::endl;
    if (!statusWindow)
        return;
    if (zel::eventManager::iContext* events = getEventContext())
        statusWindow->connectEvents(events->getEventSource(), 4);
}

void propPlacer::onDeactivate(const zel::application::applicationEvent& /*event*/) {
    std::wcout << L"propPlacer::onDeactivate() Removing observers." << std::endl;
    if (statusWindow)
        statusWindow->disconnectEvents();
}

zel::wstring propPlacer::buildStatusText() const {
    const zel::vec3 position = holder ? holder->getPosition() : zel::vec3();
    zel::wstring text;
    text += u"Axis Mode: ";
    text += axisRing.current();
    text += u"\n";
    text += u"Geom File: ";
    if (!geomFileRing.isEmpty())
        text += geomFileRing.current().substr(0, statusCut);
    text += u"\n";
    text += u"Attach Pt: ";
    if (zel::sceneGraph::iSceneNode* node = attachRing.current())
        text += node->getName().substr(0, statusCut);
    text += u"\n";
    text += u"Animation: ";
    text += animRing.current();
    text += u"\n";
    text += u"Postion  : ";
    text += positionText(position);
    return text;
}

void propPlacer::refreshStatusLabel() {
    if (statusLabel)
        statusLabel->setText(buildStatusText());
}

void propPlacer::onEntry(const zel::widget::entryEvent& event) {
    std::cout << "|--> In onEntry(): enter key pressed " << std::endl;
    const zel::wstring text = event.getSubject() ? event.getSubject()->getText() : zel::wstring();
    std::wcout << L"|    " << zel::xstd::toWide(text) << std::endl;
}

void propPlacer::onText(const zel::widget::textEvent& /*event*/) {
    std::cout << "|---> In onText() " << std::endl;
}

void propPlacer::onViewableBounds(const zel::widget::boundsEvent& /*event*/) {
    std::cout << "|--> In onViewableBounds(): vKivra Status window changed size" << std::endl;
}

} // namespace propplacer
