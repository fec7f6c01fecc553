// Out-of-line members of the framework's data classes: they anchor each class's virtual table and
// type information in libzel, so that run-time type tests agree across packages.
#include <zel/anim.h>
#include <zel/application.h>
#include <zel/polymath.h>
#include <zel/reader.h>
#include <zel/scenegraph.h>
#include <zel/styles.h>
#include <zel/widget.h>
#include <zel/xstd.h>

namespace zel {

xstd::attr::~attr() = default;

namespace application {

profile::profile() = default;
profile::profile(const profile&) = default;
profile& profile::operator=(const profile&) = default;
profile::~profile() = default;

bool profile::setName(const wstring& name) {
    name_ = name;
    return true;
}

bool profile::setDescription(const wstring& description) {
    description_ = description;
    return true;
}

} // namespace application

namespace sceneGraph {

mouseEvent::mouseEvent(MouseEvents type, MouseButtons button) : type_(type), button_(button) {}

mouseEvent::mouseEvent(MouseEvents type, MouseButtons button, int x, int y)
    : type_(type), button_(button), hasPos_(true), x_(x), y_(y) {}

mouseEvent mouseEvent::wheel(MouseWheels wheel, int delta) {
    mouseEvent event(WHEEL, NONE);
    event.wheel_ = wheel;
    event.delta_ = delta;
    return event;
}

bool mouseEvent::getMouseWinPos(int& x, int& y) const {
    if (!hasPos_)
        return false;
    x = x_;
    y = y_;
    return true;
}

int mouseEvent::getMouseWheelDelta(MouseWheels wheel) const {
    return type_ == WHEEL && wheel == wheel_ ? delta_ : 0;
}

namespace reader {

fileSearchAttr::fileSearchAttr() = default;
fileSearchAttr::~fileSearchAttr() = default;

bool fileSearchAttr::setSearchPath(const xstd::searchPath& path) {
    path_ = path;
    return true;
}

textureSearchAttr::textureSearchAttr() = default;
textureSearchAttr::~textureSearchAttr() = default;

bool textureSearchAttr::setSearchPath(const xstd::searchPath& path) {
    path_ = path;
    return true;
}

animAttr::animAttr() = default;
animAttr::~animAttr() = default;

bool animAttr::setEnable(bool enable) {
    enable_ = enable;
    return true;
}

} // namespace reader
} // namespace sceneGraph

anim::animAttr::~animAttr() = default;

polyMath::xform::~xform() = default;

namespace widget {

labelSpec::labelSpec() = default;
labelSpec::labelSpec(const labelSpec&) = default;
labelSpec& labelSpec::operator=(const labelSpec&) = default;
labelSpec::~labelSpec() = default;

bool labelSpec::setWordWrapping(bool wrap) {
    wordWrapping_ = wrap;
    return true;
}

tclAttr::tclAttr(const wstring& name, int value) : name_(name), value_(value), isBool_(false) {}

tclAttr::tclAttr(const wstring& name, bool value)
    : name_(name), value_(value ? 1 : 0), isBool_(true) {}

tclAttr::~tclAttr() = default;

namespace tovaStyles {

widgetElem::widgetElem() = default;
widgetElem::~widgetElem() = default;

bool widgetElem::setName(const wstring& name) {
    name_ = name;
    return true;
}

} // namespace tovaStyles
} // namespace widget
} // namespace zel
