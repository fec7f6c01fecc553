// zel::widget: counted widgets (window frame, label, entry), their layout attributes and the
// packer.
#pragma once

#include <zel/eventmanager.h>
#include <zel/types.h>
#include <zel/xstd.h>

#include <cstdint>

namespace zel::widget {

class iEntry;

// Text layout of a label or an entry.
class ZEL_API labelSpec {
public:
    labelSpec();
    labelSpec(const labelSpec&);
    labelSpec& operator=(const labelSpec&);
    ~labelSpec();
    bool setWordWrapping(bool wrap);
    bool getWordWrapping() const { return wordWrapping_; }

private:
    bool wordWrapping_ = true;
};

// A named packing option of a widget, an integer or a bool ("side", "fill", "expand", "padx",
// "pady").
class ZEL_API tclAttr : public xstd::attr {
public:
    tclAttr(const wstring& name, int value);
    tclAttr(const wstring& name, bool value);
    ~tclAttr() override;
    const wstring& getName() const { return name_; }
    bool isBool() const { return isBool_; }
    // The value as an integer (a bool gives 0 or 1).
    int getInt() const { return value_; }
    bool getBool() const { return value_ != 0; }

private:
    wstring name_;
    int value_;
    bool isBool_;
};

// Every widget is counted: acquire(n) adds n references, release(n) drops them and the widget is
// destroyed when none is left.
class iWidget {
public:
    virtual ~iWidget() {}
    // Both return the count afterwards.
    virtual std::int32_t acquire(std::int32_t) { return 0; }
    virtual std::int32_t release(std::int32_t) { return 0; }
    // Takes ownership of the attribute; null is refused.
    virtual bool addAttr(xstd::attr*) { return false; }
    virtual xstd::iterator<xstd::attr*> getAttrs() const { return {}; }
};

// Lays out the children of a container.
class iPacker {
public:
    virtual ~iPacker() {}
};

// Tk's pack algorithm over rectangles.
class iRectangleTclPacker : public iPacker {
public:
    static constexpr xstd::uuid IID{0xD9440310, 0x87E5, 0x11D3, 0xB3, 0x96, 0x00,
                                    0xC0,       0x4F,   0x60,   0x06, 0x1A};
    ~iRectangleTclPacker() override {}
};

class iContainer : public virtual iWidget {
public:
    ~iContainer() override {}
    // The packer is not owned (it belongs to the framework).
    virtual bool setPacker(iPacker*) { return false; }
    // The container takes one reference on the child.
    virtual bool addWidget(iWidget*) { return false; }
};

class iWindowFrame : public iContainer {
public:
    ~iWindowFrame() override {}
    virtual bool setTitle(const wstring&) { return false; }
    virtual bool setFrameStyle(std::int32_t) { return false; }
    virtual bool setFrameMode(std::int32_t, std::int32_t) { return false; }
    // While connected (mask non-zero), the window delivers its widgets' events.
    virtual bool connectEvents(eventManager::iEventSource*, std::int32_t /*mask*/) { return false; }
    virtual bool disconnectEvents() { return false; }
};

class iLabel : public virtual iWidget {
public:
    ~iLabel() override {}
    virtual bool setText(const wstring&) { return false; }
    virtual wstring getText() const { return {}; }
    virtual labelSpec getSpec() const { return {}; }
    virtual bool setSpec(const labelSpec&) { return false; }
};

// Enter pressed in an entry; the subject is the entry.
class entryEvent {
public:
    explicit entryEvent(iEntry* subject) : subject_(subject) {}
    iEntry* getSubject() const { return subject_; }

private:
    iEntry* subject_;
};

// The entry's text changed.
class textEvent {
public:
    textEvent(iEntry* subject, const wstring& text) : subject_(subject), text_(text) {}
    iEntry* getSubject() const { return subject_; }
    const wstring& getText() const { return text_; }

private:
    iEntry* subject_;
    wstring text_;
};

// The entry's window changed size.
class boundsEvent {
public:
    boundsEvent(iEntry* subject, int width, int height)
        : subject_(subject), width_(width), height_(height) {}
    iEntry* getSubject() const { return subject_; }
    int getWidth() const { return width_; }
    int getHeight() const { return height_; }

private:
    iEntry* subject_;
    int width_;
    int height_;
};

class iEntryObserver {
public:
    virtual ~iEntryObserver() {}
    virtual void onEntry(const entryEvent&) {}
    virtual void onText(const textEvent&) {}
    virtual void onViewableBounds(const boundsEvent&) {}
};

class iEntry : public virtual iWidget {
public:
    ~iEntry() override {}
    virtual bool setText(const wstring&) { return false; }
    virtual wstring getText() const { return {}; }
    virtual labelSpec getSpec() const { return {}; }
    virtual bool setSpec(const labelSpec&) { return false; }
    // Each returns false when there was nothing to do (already added, not there, null).
    virtual bool addEntryObserver(iEntryObserver*) { return false; }
    virtual bool removeEntryObserver(iEntryObserver*) { return false; }
    virtual bool hasEntryObserver(iEntryObserver*) const { return false; }
};

} // namespace zel::widget
