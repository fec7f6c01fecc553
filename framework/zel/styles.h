// zel::widget::tovaStyles: the styles context and its widget builder.
#pragma once

#include <zel/widget.h>
#include <zel/xstd.h>

#include <cstdint>

namespace zel::widget::tovaStyles {

// One element to build: its name chooses the widget ("window", "label" or "entry"); after a build
// it carries the built widget and holds one reference on it until it is rebuilt or destroyed.
class ZEL_API widgetElem {
public:
    widgetElem();
    widgetElem(const widgetElem&) = delete;
    widgetElem& operator=(const widgetElem&) = delete;
    ~widgetElem();

    bool setName(const wstring& name);
    const wstring& getName() const { return name_; }
    // The built widget, or null.
    iWidget* getWidget() const { return widget_.get(); }
    // Used by builders.
    void setWidget(iWidget* w) { widget_ = w; }

private:
    wstring name_;
    xstd::counted<iWidget> widget_;
};

// Counted like the widgets.
class iBuilder {
public:
    virtual ~iBuilder() {}
    virtual std::int32_t acquire(std::int32_t) { return 0; }
    virtual std::int32_t release(std::int32_t) { return 0; }
    // Makes the widget that the element's name asks for and puts it in the element (null for an
    // unknown name). Returns whether a widget was made.
    virtual bool build(widgetElem&) { return false; }
    // Finishes the element's build.
    virtual bool complete(widgetElem&) { return false; }
};

class iContext {
public:
    static constexpr xstd::uuid IID{0x9BFE12C4, 0xFAC3, 0x11D3, 0xA3, 0x5E, 0x00,
                                    0xB0,       0xD0,   0x20,   0x13, 0x77};
    virtual ~iContext() {}
    virtual iBuilder* getBuilder() { return nullptr; }
};

} // namespace zel::widget::tovaStyles
