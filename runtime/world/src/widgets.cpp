#include <zel/world/widgets.h>

#include <zel/text/cells.h>

#include "widget_registry.h"

#include <algorithm>
#include <iterator>

namespace zel::world {

namespace {

// Keeps a widget alive across a call out: an observer may drop the last other reference. A widget
// that nobody holds yet is left as it is (nobody can release it either).
class holdRef {
public:
    explicit holdRef(widgetBase* w) : w_(w->getCount() > 0 ? w : nullptr) {
        if (w_)
            w_->acquire(1);
    }
    ~holdRef() {
        if (w_)
            w_->release(1);
    }
    holdRef(const holdRef&) = delete;
    holdRef& operator=(const holdRef&) = delete;

private:
    widgetBase* w_;
};

} // namespace

packSize measureText(const wstring& text) {
    const text::cellExtent extent = text::extentOf(text);
    return {extent.columns * charWidth, extent.lines * lineHeight};
}

// ---- widgetRegistry ---------------------------------------------------------------------------

widgetRegistry::~widgetRegistry() {
    const std::vector<widgetBase*> all = live_;
    // The windows' own references would otherwise be dropped on children already destroyed.
    for (widgetBase* w : all)
        if (auto* window = dynamic_cast<windowFrame*>(w))
            window->children_.clear();
    for (widgetBase* w : all) {
        w->parent_ = nullptr;
        delete w;
    }
}

widget::iWidget* widgetRegistry::makeWidget(const wstring& name) {
    if (name == u"window")
        return new windowFrame(this);
    if (name == u"label")
        return new label(this);
    if (name == u"entry")
        return new entry(this);
    return nullptr;
}

bool widgetRegistry::isLive(const widgetBase* w) const {
    return std::find(live_.begin(), live_.end(), w) != live_.end();
}

std::vector<windowFrame*> widgetRegistry::getWindows() const {
    std::vector<windowFrame*> windows;
    for (widgetBase* w : live_)
        if (auto* window = dynamic_cast<windowFrame*>(w))
            windows.push_back(window);
    return windows;
}

void widgetRegistry::enlist(widgetBase* w) {
    live_.push_back(w);
}

void widgetRegistry::forget(widgetBase* w) {
    const auto it = std::find(live_.begin(), live_.end(), w);
    if (it != live_.end())
        live_.erase(it);
}

// ---- widgetBase -------------------------------------------------------------------------------

widgetBase::widgetBase(widgetRegistry* registry) : registry_(registry) {
    registry_->enlist(this);
}

widgetBase::~widgetBase() {
    registry_->forget(this);
}

std::int32_t widgetBase::acquire(std::int32_t n) {
    if (n > 0)
        count_ += n;
    return count_;
}

std::int32_t widgetBase::release(std::int32_t n) {
    if (n <= 0 || count_ == 0)
        return count_;
    count_ -= std::min(n, count_);
    if (count_ > 0)
        return count_;
    delete this;
    return 0;
}

bool widgetBase::addAttr(xstd::attr* a) {
    if (!a)
        return false;
    attrs_.emplace_back(a);
    return true;
}

xstd::iterator<xstd::attr*> widgetBase::getAttrs() const {
    std::vector<xstd::attr*> items;
    for (const auto& a : attrs_)
        items.push_back(a.get());
    return xstd::makeIterator(std::move(items));
}

packItem widgetBase::getPackOptions() const {
    packItem item;
    const packSize size = getRequestedSize();
    item.width = size.width;
    item.height = size.height;
    for (const auto& a : attrs_) {
        const auto* option = dynamic_cast<const widget::tclAttr*>(a.get());
        if (!option)
            continue;
        const wstring& name = option->getName();
        const int value = option->getInt();
        if (name == u"side") {
            item.side = value >= 0 && value <= 3 ? static_cast<packSide>(value) : packSide::top;
        } else if (name == u"fill") {
            item.fillX = value == 1 || value == 3;
            item.fillY = value == 2 || value == 3;
        } else if (name == u"expand") {
            item.expand = value != 0;
        } else if (name == u"padx") {
            item.padX = std::max(value, 0);
        } else if (name == u"pady") {
            item.padY = std::max(value, 0);
        }
    }
    return item;
}

// ---- label ------------------------------------------------------------------------------------

label::label(widgetRegistry* registry) : widgetBase(registry) {}

label::~label() = default;

bool label::setText(const wstring& text) {
    text_ = text;
    return true;
}

bool label::setSpec(const widget::labelSpec& spec) {
    spec_ = spec;
    return true;
}

// ---- entry ------------------------------------------------------------------------------------

entry::entry(widgetRegistry* registry) : widgetBase(registry) {}

entry::~entry() = default;

bool entry::setText(const wstring& text) {
    text_ = text;
    return true;
}

bool entry::setSpec(const widget::labelSpec& spec) {
    spec_ = spec;
    return true;
}

bool entry::addEntryObserver(widget::iEntryObserver* o) {
    return observers_.add(o);
}

bool entry::removeEntryObserver(widget::iEntryObserver* o) {
    return observers_.remove(o);
}

bool entry::hasEntryObserver(widget::iEntryObserver* o) const {
    return observers_.has(o);
}

packSize entry::getRequestedSize() const {
    return {entryColumns * charWidth, lineHeight};
}

template <class F> void entry::deliver(F&& call) {
    holdRef keep(this);
    observers_.deliver(call);
}

bool entry::userEdit(const wstring& text, bool notify) {
    if (text == text_)
        return false;
    text_ = text;
    if (notify) {
        const widget::textEvent event(this, text_);
        deliver([&](widget::iEntryObserver* o) { o->onText(event); });
    }
    return true;
}

void entry::sendEntry() {
    const widget::entryEvent event(this);
    deliver([&](widget::iEntryObserver* o) { o->onEntry(event); });
}

void entry::sendBounds(int width, int height) {
    const widget::boundsEvent event(this, width, height);
    deliver([&](widget::iEntryObserver* o) { o->onViewableBounds(event); });
}

// ---- windowFrame ------------------------------------------------------------------------------

windowFrame::windowFrame(widgetRegistry* registry) : widgetBase(registry) {}

windowFrame::~windowFrame() {
    const std::vector<widgetBase*> children = std::move(children_);
    children_.clear();
    for (widgetBase* c : children) {
        c->parent_ = nullptr;
        c->release(1);
    }
}

bool windowFrame::setTitle(const wstring& title) {
    title_ = title;
    return true;
}

bool windowFrame::setFrameStyle(std::int32_t style) {
    frameStyle_ = style;
    return true;
}

bool windowFrame::setFrameMode(std::int32_t mode, std::int32_t value) {
    frameModes_.emplace_back(mode, value);
    return true;
}

bool windowFrame::connectEvents(eventManager::iEventSource* source, std::int32_t mask) {
    if (!source || mask == 0)
        return false;
    source_ = source;
    mask_ = mask;
    return true;
}

bool windowFrame::disconnectEvents() {
    if (!source_)
        return false;
    source_ = nullptr;
    mask_ = 0;
    return true;
}

bool windowFrame::setPacker(widget::iPacker* packer) {
    packer_ = packer;
    return true;
}

bool windowFrame::addWidget(widget::iWidget* w) {
    auto* added = dynamic_cast<widgetBase*>(w);
    // A widget of another world would outlive this one's registry.
    if (!added || added->getKind() == widgetKind::window || added->parent_ ||
        !getRegistry()->isLive(added))
        return false;
    added->acquire(1);
    added->parent_ = this;
    children_.push_back(added);
    return true;
}

bool windowFrame::packs() const {
    return dynamic_cast<const rectanglePacker*>(packer_) != nullptr;
}

packSize windowFrame::getRequestedSize() const {
    if (!packs())
        return {};
    return static_cast<const rectanglePacker*>(packer_)->request(children_);
}

packSize windowFrame::getSize() const {
    return sized_ ? size_ : getRequestedSize();
}

bool windowFrame::resize(int width, int height) {
    const packSize before = getSize();
    sized_ = true;
    size_ = {std::max(width, 0), std::max(height, 0)};
    if (size_ == before)
        return false;
    if (isConnected()) {
        holdRef keep(this);
        // A snapshot: an observer may change the window's children.
        const std::vector<widgetBase*> children = children_;
        for (widgetBase* c : children)
            if (c->getKind() == widgetKind::entry && c->parent_ == this)
                static_cast<entry*>(c)->sendBounds(size_.width, size_.height);
    }
    return true;
}

std::vector<windowFrame::child> windowFrame::getChildren() const {
    std::vector<packRect> rects(children_.size());
    if (packs())
        rects = static_cast<const rectanglePacker*>(packer_)->layout(children_, getSize());
    std::vector<child> out;
    out.reserve(children_.size());
    for (std::size_t i = 0; i < children_.size(); ++i)
        out.push_back({children_[i]->getKind(), children_[i]->getShownText(), rects[i]});
    return out;
}

entry* windowFrame::getEntry() const {
    for (widgetBase* c : children_)
        if (c->getKind() == widgetKind::entry)
            return static_cast<entry*>(c);
    return nullptr;
}

bool windowFrame::typeText(const wstring& text) {
    entry* e = getEntry();
    if (!e)
        return false;
    e->userEdit(text, isConnected());
    return true;
}

bool windowFrame::pressEnter() {
    entry* e = getEntry();
    if (!e)
        return false;
    if (isConnected())
        e->sendEntry();
    return true;
}

// ---- rectanglePacker --------------------------------------------------------------------------

namespace {

std::vector<packItem> itemsOf(const std::vector<widgetBase*>& children) {
    std::vector<packItem> items;
    items.reserve(children.size());
    for (const widgetBase* c : children)
        items.push_back(c->getPackOptions());
    return items;
}

} // namespace

std::vector<packRect> rectanglePacker::layout(const std::vector<widgetBase*>& children,
                                              packSize size) const {
    return packLayout(size, itemsOf(children));
}

packSize rectanglePacker::request(const std::vector<widgetBase*>& children) const {
    return packRequest(itemsOf(children));
}

} // namespace zel::world
