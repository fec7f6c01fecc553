// The styles package through its real entry: loaded from its file, registered in the class
// registry, building counted widgets in whichever world provides the widget factory.
#include <zel/component.h>
#include <zel/styles.h>
#include <zel/world/widgets.h>
#include <zel/world/world.h>

#include <gtest/gtest.h>

using zel::widget::tovaStyles::iBuilder;
using zel::widget::tovaStyles::iContext;
using zel::widget::tovaStyles::widgetElem;

namespace {

zel::component::iPackage* loadStyles() {
    std::string reason;
    zel::component::iPackage* p = zel::component::packageLoader::getTheSingleton().loadFile(
        zel::xstd::fromUtf8(ZEL_STYLES_MODULE), &reason);
    EXPECT_NE(p, nullptr) << reason;
    return p;
}

iContext* stylesContext() {
    zel::component::iClassInfo* info =
        zel::component::classRegistry::getTheSingleton().findInterface(iContext::IID);
    return info ? static_cast<iContext*>(info->create(typeid(iContext))) : nullptr;
}

} // namespace

TEST(styles, PackageRegistersOneSharedStylesContext) {
    zel::component::iPackage* p = loadStyles();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->getName(), u"zelstyles");
    EXPECT_EQ(loadStyles(), p); // loaded once
    auto* pkg = dynamic_cast<zel::component::defaultPackage*>(p);
    ASSERT_NE(pkg, nullptr);
    ASSERT_EQ(pkg->getClasses().size(), 1u);
    zel::component::iClassInfo* info = pkg->getClasses()[0];
    EXPECT_TRUE(info->hasInterface(iContext::IID));
    EXPECT_TRUE(info->hasInterface(typeid(iContext)));
    EXPECT_EQ(info->getPackage(), p);
    EXPECT_EQ(info->create(typeid(zel::widget::iWidget)), nullptr);
    iContext* context = stylesContext();
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(stylesContext(), context);
    EXPECT_NE(context->getBuilder(), nullptr);
}

TEST(styles, BuilderMakesCountedWidgetsByName) {
    ASSERT_NE(loadStyles(), nullptr);
    zel::world::world world;
    world.registerServices();
    zel::xstd::counted<iBuilder> builder(stylesContext()->getBuilder());
    ASSERT_TRUE(builder);

    struct build {
        const char* name;
        bool made;
    };
    const build cases[] = {
        {"window", true}, {"label", true}, {"entry", true}, {"button", false}, {"", false}};
    for (const build& c : cases) {
        SCOPED_TRACE(c.name);
        widgetElem elem;
        elem.setName(zel::xstd::widen(c.name));
        EXPECT_EQ(builder->build(elem), c.made);
        EXPECT_EQ(builder->complete(elem), c.made);
        EXPECT_EQ(elem.getWidget() != nullptr, c.made);
        if (c.made) { // the element holds the one reference
            EXPECT_EQ(dynamic_cast<zel::world::widgetBase*>(elem.getWidget())->getCount(), 1);
        }
    }
    // Every element is gone, and with it every widget: no window is left.
    EXPECT_TRUE(world.getWindows().empty());

    // The application's way: keep the window, build the next element into the same one.
    zel::xstd::counted<zel::widget::iWindowFrame> window;
    widgetElem elem;
    elem.setName(u"window");
    builder->build(elem);
    builder->complete(elem);
    window = dynamic_cast<zel::widget::iWindowFrame*>(elem.getWidget());
    elem.setName(u"label");
    builder->build(elem);
    builder->complete(elem);
    ASSERT_TRUE(window);
    EXPECT_TRUE(window->addWidget(elem.getWidget()));
    ASSERT_EQ(world.getWindows().size(), 1u);
    EXPECT_EQ(world.getWindows()[0]->getNumChildren(), 1u);
    window.reset();
    EXPECT_TRUE(world.getWindows().empty());
}

TEST(styles, WithoutAWorldNothingIsBuilt) {
    ASSERT_NE(loadStyles(), nullptr);
    zel::xstd::counted<iBuilder> builder(stylesContext()->getBuilder());
    widgetElem elem;
    elem.setName(u"window");
    EXPECT_FALSE(builder->build(elem));
    EXPECT_FALSE(builder->complete(elem));
    EXPECT_EQ(elem.getWidget(), nullptr);
}
