// Widgets: counting, layout inside a window, and the entry's events while connected.
#include "test_support.h"

#include <zel/world/widgets.h>
#include <zel/world/world.h>

using zel::widget::iEntry;
using zel::widget::iLabel;
using zel::widget::iWidget;
using zel::widget::iWindowFrame;
using zel::widget::tclAttr;
using zel::world::packRect;
using zel::world::packSize;
using zel::world::windowFrame;
using zeltest::w;

namespace {

class widgetsTest : public ::testing::Test {
protected:
    iWidget* make(const char* name) { return world.getWidgetFactory()->makeWidget(w(name)); }
    windowFrame* window() { return dynamic_cast<windowFrame*>(make("window")); }
    // The status window as the application builds it: a label over an entry, fill 3, expand.
    windowFrame* statusWindow(const char* labelText) {
        windowFrame* win = window();
        win->acquire(1);
        win->setPacker(world.getPacker());
        win->setTitle(w("Status"));
        auto* l = dynamic_cast<iLabel*>(make("label"));
        auto* e = dynamic_cast<iEntry*>(make("entry"));
        for (iWidget* child : {static_cast<iWidget*>(l), static_cast<iWidget*>(e)}) {
            child->addAttr(new tclAttr(u"fill", 3));
            child->addAttr(new tclAttr(u"expand", true));
            win->addWidget(child);
        }
        l->setText(w(labelText));
        e->setText(w("http://example.org/geoms.zip"));
        return win;
    }

    zel::world::world world;
};

// Records what an entry observer hears, and may act during a delivery.
struct recorder : zel::widget::iEntryObserver {
    std::vector<std::string> heard;
    std::function<void()> onAny;
    void onEntry(const zel::widget::entryEvent& e) override {
        heard.push_back("entry " + zel::xstd::toUtf8(e.getSubject()->getText()));
        if (onAny)
            onAny();
    }
    void onText(const zel::widget::textEvent& e) override {
        heard.push_back("text " + zel::xstd::toUtf8(e.getText()));
        if (onAny)
            onAny();
    }
    void onViewableBounds(const zel::widget::boundsEvent& e) override {
        heard.push_back("bounds " + std::to_string(e.getWidth()) + "x" +
                        std::to_string(e.getHeight()));
        if (onAny)
            onAny();
    }
};

} // namespace

TEST_F(widgetsTest, FactoryMakesKnownNamesOnly) {
    struct known {
        const char* name;
        bool made;
        zel::world::widgetKind kind;
    };
    const known cases[] = {{"window", true, zel::world::widgetKind::window},
                           {"label", true, zel::world::widgetKind::label},
                           {"entry", true, zel::world::widgetKind::entry},
                           {"Window", false, {}},
                           {"button", false, {}},
                           {"", false, {}}};
    for (const known& c : cases) {
        SCOPED_TRACE(c.name);
        iWidget* made = make(c.name);
        EXPECT_EQ(made != nullptr, c.made);
        if (made) {
            auto* base = dynamic_cast<zel::world::widgetBase*>(made);
            ASSERT_NE(base, nullptr);
            EXPECT_EQ(base->getKind(), c.kind);
            made->acquire(1);
            made->release(1);
        }
    }
}

TEST_F(widgetsTest, CountedWidgetsAreDestroyedAtZeroAndWindowsHoldTheirChildren) {
    windowFrame* win = window();
    auto* l = dynamic_cast<iLabel*>(make("label"));
    EXPECT_EQ(win->acquire(1), 1);
    EXPECT_EQ(win->acquire(2), 3);
    EXPECT_EQ(win->release(2), 1);
    EXPECT_EQ(l->acquire(1), 1);
    ASSERT_TRUE(win->addWidget(l));
    EXPECT_EQ(dynamic_cast<zel::world::widgetBase*>(l)->getCount(), 2);
    EXPECT_FALSE(win->addWidget(l)); // already held by a window
    EXPECT_EQ(l->release(1), 1);     // the window's reference keeps it
    EXPECT_EQ(world.getWindows(), std::vector<windowFrame*>{win});

    // Destroying the window drops its reference on the label too (the sanitizer build sees a leak
    // otherwise).
    EXPECT_EQ(win->release(1), 0);
    EXPECT_TRUE(world.getWindows().empty());
}

TEST_F(widgetsTest, AddWidgetRefusals) {
    windowFrame* win = window();
    win->acquire(1);
    windowFrame* other = window();
    other->acquire(1);
    zel::world::world otherWorld;
    iWidget* foreign = otherWorld.getWidgetFactory()->makeWidget(u"label");
    foreign->acquire(1);
    EXPECT_FALSE(win->addWidget(nullptr));
    EXPECT_FALSE(win->addWidget(other));
    EXPECT_FALSE(win->addWidget(win));
    EXPECT_FALSE(win->addWidget(foreign));
    EXPECT_EQ(win->getNumChildren(), 0u);
    foreign->release(1);
    other->release(1);
    win->release(1);
}

TEST_F(widgetsTest, WindowsAreListedOldestFirstAndTheEntryWindowIsTheNewestWithAnEntry) {
    windowFrame* first = statusWindow("one");
    windowFrame* plain = window();
    plain->acquire(1);
    windowFrame* second = statusWindow("two");
    EXPECT_EQ(world.getWindows(), (std::vector<windowFrame*>{first, plain, second}));
    EXPECT_EQ(world.getEntryWindow(), second);
    second->release(1);
    EXPECT_EQ(world.getEntryWindow(), first);
    first->release(1);
    plain->release(1);
    EXPECT_EQ(world.getEntryWindow(), nullptr);
}

TEST_F(widgetsTest, TextSizeInTheFixedCell) {
    struct sized {
        const char* text;
        packSize expected;
    };
    const sized cases[] = {
        {"", {0, 14}},
        {"abc", {21, 14}},
        {"abc\nde", {21, 28}},
        {"a\n\nlonger line", {77, 42}},
        {"\xF0\x9F\x99\x82 ok", {35, 14}}, // a surrogate pair is one character, an emoji two cells
        {"\xF0\x9D\x84\x9E ok", {28, 14}}, // one cell for a musical symbol
        {"日本語.3ds", {70, 14}},          // wide characters take two cells
        {"Дом\nＡ한", {28, 28}},           // Cyrillic one, fullwidth and Hangul two
    };
    for (const sized& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(zel::world::measureText(w(c.text)), c.expected);
    }
}

TEST_F(widgetsTest, StatusWindowTakesItsRequestedSizeAndRelaysOutOnResize) {
    windowFrame* win = statusWindow("abc\nde");
    EXPECT_EQ(win->getSize(), (packSize{210, 42}));
    auto children = win->getChildren();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0].kind, zel::world::widgetKind::label);
    EXPECT_EQ(zel::xstd::toUtf8(children[0].text), "abc\nde");
    EXPECT_EQ(children[0].rect, (packRect{0, 0, 210, 28}));
    EXPECT_EQ(children[1].kind, zel::world::widgetKind::entry);
    EXPECT_EQ(children[1].rect, (packRect{0, 28, 210, 14}));

    // The label's text grows: the window follows until the user sizes it.
    auto* l = dynamic_cast<iLabel*>(make("label"));
    l->acquire(1);
    ASSERT_TRUE(win->addWidget(l)); // a third child, packed below the entry
    l->release(1);
    l->setText(w("wider than the entry's thirty characters"));
    EXPECT_EQ(win->getSize(), (packSize{280, 56}));
    EXPECT_TRUE(win->resize(300, 100));
    l->setText(w("x"));
    EXPECT_EQ(win->getSize(), (packSize{300, 100}));
    children = win->getChildren();
    ASSERT_EQ(children.size(), 3u);
    // 44 spare pixels: the two expanding children take 22 each, the third stays at its size,
    // centred across the width.
    EXPECT_EQ(children[0].rect, (packRect{0, 0, 300, 50}));
    EXPECT_EQ(children[1].rect, (packRect{0, 50, 300, 36}));
    EXPECT_EQ(children[2].rect, (packRect{146, 86, 7, 14}));
    EXPECT_FALSE(win->resize(300, 100));
    win->release(1);
}

TEST_F(widgetsTest, PackOptionsComeFromTclAttributes) {
    iWidget* l = make("label");
    l->acquire(1);
    l->addAttr(new tclAttr(u"side", 3));
    l->addAttr(new tclAttr(u"fill", 2));
    l->addAttr(new tclAttr(u"expand", 1));
    l->addAttr(new tclAttr(u"padx", 4));
    l->addAttr(new tclAttr(u"pady", -2));
    l->addAttr(new tclAttr(u"fill", 1)); // the last of a name wins
    l->addAttr(new tclAttr(u"unknown", 9));
    EXPECT_FALSE(l->addAttr(nullptr));
    const zel::world::packItem item = dynamic_cast<zel::world::widgetBase*>(l)->getPackOptions();
    EXPECT_EQ(item.side, zel::world::packSide::right);
    EXPECT_TRUE(item.fillX);
    EXPECT_FALSE(item.fillY);
    EXPECT_TRUE(item.expand);
    EXPECT_EQ(item.padX, 4);
    EXPECT_EQ(item.padY, 0);
    EXPECT_EQ(item.width, 0);
    EXPECT_EQ(item.height, 14);
    l->release(1);
}

TEST_F(widgetsTest, WithoutTheRectanglePackerNothingIsLaidOut) {
    windowFrame* win = statusWindow("abc");
    win->setPacker(nullptr);
    EXPECT_EQ(win->getSize(), (packSize{0, 0}));
    for (const auto& c : win->getChildren())
        EXPECT_EQ(c.rect, (packRect{0, 0, 0, 0}));
    win->release(1);
}

TEST_F(widgetsTest, EntryEventsAreDeliveredOnlyWhileConnected) {
    windowFrame* win = statusWindow("abc");
    zel::world::entry* e = win->getEntry();
    ASSERT_NE(e, nullptr);
    recorder r;
    ASSERT_TRUE(e->addEntryObserver(&r));
    EXPECT_FALSE(e->addEntryObserver(&r));
    EXPECT_FALSE(e->addEntryObserver(nullptr));
    zel::eventManager::iEventSource* source = world.getEventContext()->getEventSource();

    // Disconnected: the text changes, nobody hears of it.
    EXPECT_TRUE(win->typeText(w("first")));
    EXPECT_TRUE(win->pressEnter());
    win->resize(400, 100);
    EXPECT_EQ(zel::xstd::toUtf8(e->getText()), "first");
    EXPECT_TRUE(r.heard.empty());

    EXPECT_FALSE(win->connectEvents(source, 0));
    EXPECT_FALSE(win->connectEvents(nullptr, 1));
    EXPECT_FALSE(win->isConnected());
    ASSERT_TRUE(win->connectEvents(source, 1));
    win->typeText(w("second"));
    win->typeText(w("second")); // no change, no event
    win->typeText(w(""));
    win->pressEnter();
    win->resize(500, 120);
    win->resize(500, 120);             // same size, no event
    e->setText(w("from the program")); // not a user edit: nobody hears it
    win->pressEnter();
    EXPECT_EQ(r.heard, (std::vector<std::string>{"text second", "text ", "entry ", "bounds 500x120",
                                                 "entry from the program"}));

    r.heard.clear();
    EXPECT_TRUE(win->disconnectEvents());
    EXPECT_FALSE(win->disconnectEvents());
    win->typeText(w("third"));
    win->pressEnter();
    EXPECT_TRUE(r.heard.empty());
    win->release(1);
}

TEST_F(widgetsTest, ObserversMayChangeTheListDuringDelivery) {
    windowFrame* win = statusWindow("abc");
    win->connectEvents(world.getEventContext()->getEventSource(), 1);
    zel::world::entry* e = win->getEntry();
    recorder first, second, third, late;
    e->addEntryObserver(&first);
    e->addEntryObserver(&second);
    e->addEntryObserver(&third);
    // The first removes itself and the second, and adds a late one: the second is not called,
    // the third is, the late one only from the next event on.
    first.onAny = [&] {
        e->removeEntryObserver(&first);
        e->removeEntryObserver(&second);
        e->addEntryObserver(&late);
    };
    win->pressEnter();
    EXPECT_EQ(first.heard.size(), 1u);
    EXPECT_TRUE(second.heard.empty());
    EXPECT_EQ(third.heard.size(), 1u);
    EXPECT_TRUE(late.heard.empty());
    win->pressEnter();
    EXPECT_EQ(first.heard.size(), 1u);
    EXPECT_EQ(third.heard.size(), 2u);
    EXPECT_EQ(late.heard.size(), 1u);
    win->release(1);
}

TEST_F(widgetsTest, ObserverThatReleasesTheWindowDuringDeliveryIsSafe) {
    windowFrame* win = statusWindow("abc");
    win->connectEvents(world.getEventContext()->getEventSource(), 1);
    recorder closer, after;
    win->getEntry()->addEntryObserver(&closer);
    win->getEntry()->addEntryObserver(&after);
    // The application stops on Enter: it drops the only reference to the window.
    closer.onAny = [&] { win->release(1); };
    win->pressEnter();
    EXPECT_EQ(after.heard.size(), 1u); // the entry lived to the end of the delivery
    EXPECT_TRUE(world.getWindows().empty());
}

TEST_F(widgetsTest, ResizeTellsEveryEntryOnce) {
    windowFrame* win = statusWindow("abc");
    auto* second = dynamic_cast<iEntry*>(make("entry"));
    win->addWidget(second);
    win->connectEvents(world.getEventContext()->getEventSource(), 1);
    recorder a, b;
    win->getEntry()->addEntryObserver(&a);
    second->addEntryObserver(&b);
    EXPECT_TRUE(win->resize(10, 20));
    EXPECT_EQ(a.heard, std::vector<std::string>{"bounds 10x20"});
    EXPECT_EQ(b.heard, std::vector<std::string>{"bounds 10x20"});
    win->release(1);
}

TEST_F(widgetsTest, WidgetsLeftAliveAreDestroyedWithTheWorld) {
    auto other = std::make_unique<zel::world::world>();
    iWidget* held = other->getWidgetFactory()->makeWidget(u"window");
    held->acquire(5);
    iWidget* child = other->getWidgetFactory()->makeWidget(u"entry");
    dynamic_cast<iWindowFrame*>(held)->addWidget(child);
    other->getWidgetFactory()->makeWidget(u"label"); // never counted
    other.reset(); // the sanitizer build reports a leak or a double delete otherwise
    SUCCEED();
}
