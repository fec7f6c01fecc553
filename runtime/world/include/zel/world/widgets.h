// The world's widgets: window frames holding labels and one-line entries, laid out by Tk's pack.
//
// Counting: every widget starts with no reference; acquire and release change the count, and the
// release that brings it to zero destroys the widget. A window holds one reference on each child
// and drops them when it is destroyed; a destroyed window leaves the world's list of windows.
// Whatever is still alive when the world ends is destroyed with it.
//
// Packing options are tclAttr attributes on the child (the last one of a name wins):
//   "side"   0 top (default), 1 bottom, 2 left, 3 right
//   "fill"   0 none, 1 x, 2 y, 3 both (a bool counts as 0 or 1)
//   "expand" non-zero or true: share the space left over
//   "padx", "pady"  pixels on each side (negative counts as 0)
// Sizes: text is measured in a fixed cell of 7 x 14 pixels per character, lines split at "\n"; a
// label asks for the size of its text, an entry for one line of 30 characters. A window takes the
// size its children ask for until resize gives it one.
//
// Events: a window delivers its entries' events only while connected (connectEvents with a source
// and a non-zero mask, until disconnectEvents). typeText, pressEnter and resize stand for the
// user's editing, Enter and resizing. An entry's setText from the program notifies nobody: only the
// user's edits send onText, so a program that echoes the text into the entry does not hear itself.
// Observers are called in the order added, over a snapshot: one removed during a delivery is not
// called afterwards, one added during it is called from the next delivery on.
#pragma once

#include <zel/widget.h>
#include <zel/world/observer_list.h>
#include <zel/world/pack.h>
#include <zel/xstd.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace zel::world {

class widgetRegistry;
class windowFrame;

enum class widgetKind { window, label, entry };

inline constexpr int charWidth = 7;
inline constexpr int lineHeight = 14;
inline constexpr int entryColumns = 30;

// The size text asks for in the fixed character cell; an empty text is one empty line. East Asian
// wide and fullwidth characters take two cells.
packSize measureText(const wstring& text);

class widgetBase : public virtual widget::iWidget {
public:
    std::int32_t acquire(std::int32_t n) override;
    // Releasing more than the count releases what there is.
    std::int32_t release(std::int32_t n) override;
    bool addAttr(xstd::attr* a) override;
    xstd::iterator<xstd::attr*> getAttrs() const override;

    std::int32_t getCount() const { return count_; }
    virtual widgetKind getKind() const = 0;
    virtual packSize getRequestedSize() const = 0;
    // The text shown (a window's title).
    virtual wstring getShownText() const = 0;
    // The packing options read from the tclAttr attributes.
    packItem getPackOptions() const;
    // The window that holds this widget, or null.
    windowFrame* getParent() const { return parent_; }

protected:
    explicit widgetBase(widgetRegistry* registry);
    ~widgetBase() override;
    widgetRegistry* getRegistry() const { return registry_; }

private:
    friend class windowFrame;
    friend class widgetRegistry;
    widgetRegistry* registry_;
    windowFrame* parent_ = nullptr;
    std::int32_t count_ = 0;
    std::vector<std::unique_ptr<xstd::attr>> attrs_;
};

class label final : public widget::iLabel, public widgetBase {
public:
    explicit label(widgetRegistry* registry);
    label(const label&) = delete;
    label& operator=(const label&) = delete;

    bool setText(const wstring& text) override;
    wstring getText() const override { return text_; }
    widget::labelSpec getSpec() const override { return spec_; }
    bool setSpec(const widget::labelSpec& spec) override;

    widgetKind getKind() const override { return widgetKind::label; }
    packSize getRequestedSize() const override { return measureText(text_); }
    wstring getShownText() const override { return text_; }

private:
    ~label() override;
    wstring text_;
    widget::labelSpec spec_;
};

class entry final : public widget::iEntry, public widgetBase {
public:
    explicit entry(widgetRegistry* registry);
    entry(const entry&) = delete;
    entry& operator=(const entry&) = delete;

    // The program's change: no onText.
    bool setText(const wstring& text) override;
    wstring getText() const override { return text_; }
    widget::labelSpec getSpec() const override { return spec_; }
    bool setSpec(const widget::labelSpec& spec) override;
    bool addEntryObserver(widget::iEntryObserver* o) override;
    bool removeEntryObserver(widget::iEntryObserver* o) override;
    bool hasEntryObserver(widget::iEntryObserver* o) const override;

    widgetKind getKind() const override { return widgetKind::entry; }
    packSize getRequestedSize() const override;
    wstring getShownText() const override { return text_; }

    // The user's edit: sets the text and, when notify is true and the text changed, sends one
    // onText. Returns whether the text changed.
    bool userEdit(const wstring& text, bool notify);
    void sendEntry();
    void sendBounds(int width, int height);

private:
    ~entry() override;
    template <class F> void deliver(F&& call);
    wstring text_;
    widget::labelSpec spec_;
    observerList<widget::iEntryObserver> observers_;
};

class windowFrame final : public widget::iWindowFrame, public widgetBase {
public:
    struct child {
        widgetKind kind;
        wstring text;
        packRect rect;
    };

    explicit windowFrame(widgetRegistry* registry);
    windowFrame(const windowFrame&) = delete;
    windowFrame& operator=(const windowFrame&) = delete;

    bool setTitle(const wstring& title) override;
    const wstring& getTitle() const { return title_; }
    // Kept and reported, with no effect on layout or events.
    bool setFrameStyle(std::int32_t style) override;
    bool setFrameMode(std::int32_t mode, std::int32_t value) override;
    std::int32_t getFrameStyle() const { return frameStyle_; }
    // False (nothing changes) for a null source or a zero mask.
    bool connectEvents(eventManager::iEventSource* source, std::int32_t mask) override;
    // False when it was not connected.
    bool disconnectEvents() override;
    bool isConnected() const { return source_ != nullptr; }

    // The packer is not owned. Children are laid out only by the world's rectangle packer; with no
    // packer (or another) every child's rectangle is empty.
    bool setPacker(widget::iPacker* packer) override;
    // Takes one reference. Refuses null, a window, a widget the world did not make and one that a
    // window holds already.
    bool addWidget(widget::iWidget* w) override;

    widgetKind getKind() const override { return widgetKind::window; }
    packSize getRequestedSize() const override;
    wstring getShownText() const override { return title_; }

    // The current size: the requested one until resize.
    packSize getSize() const;
    // The user's resize (negative counts as 0); when the size changed and the window is connected,
    // each entry's observers get one onViewableBounds with the new size. Returns whether it
    // changed.
    bool resize(int width, int height);
    // Children in the order added, with their rectangles in the current size.
    std::vector<child> getChildren() const;
    std::size_t getNumChildren() const { return children_.size(); }
    // The first entry, or null.
    entry* getEntry() const;
    // The user types into the first entry: its text becomes `text`; one onText while connected when
    // that changed it. False when there is no entry.
    bool typeText(const wstring& text);
    // Enter in the first entry: onEntry while connected. False when there is no entry.
    bool pressEnter();

private:
    friend class widgetRegistry;
    ~windowFrame() override;
    bool packs() const;

    wstring title_;
    std::int32_t frameStyle_ = 0;
    std::vector<std::pair<std::int32_t, std::int32_t>> frameModes_;
    eventManager::iEventSource* source_ = nullptr;
    std::int32_t mask_ = 0;
    widget::iPacker* packer_ = nullptr;
    std::vector<widgetBase*> children_;
    bool sized_ = false;
    packSize size_;
};

// The packer the world registers under iRectangleTclPacker.
class rectanglePacker final : public widget::iRectangleTclPacker {
public:
    // The children's rectangles in a window of that size.
    std::vector<packRect> layout(const std::vector<widgetBase*>& children, packSize size) const;
    packSize request(const std::vector<widgetBase*>& children) const;
};

// How the styles package makes widgets: found in the class registry under this identifier.
class iWidgetFactory {
public:
    static constexpr xstd::uuid IID{0x3C0F6A52, 0x9D1E, 0x4B7A, 0x8E, 0x21, 0x5F,
                                    0x43,       0xB9,   0x0C,   0x7D, 0x18};
    virtual ~iWidgetFactory() {}
    // A new widget with no reference for "window", "label" or "entry"; null for any other name.
    virtual widget::iWidget* makeWidget(const wstring& name) = 0;
};

} // namespace zel::world
