// The styles package: one styles context whose builder makes window frames, labels and entries
// through the world's widget factory, found in the class registry at each build.
#include <zel/component.h>
#include <zel/styles.h>
#include <zel/world/service_info.h>
#include <zel/world/widgets.h>

#include <typeinfo>

namespace {

using zel::widget::tovaStyles::iBuilder;
using zel::widget::tovaStyles::widgetElem;

zel::world::iWidgetFactory* widgetFactory() {
    zel::component::iClassInfo* info =
        zel::component::classRegistry::getTheSingleton().findInterface(
            zel::world::iWidgetFactory::IID);
    if (!info)
        return nullptr;
    return static_cast<zel::world::iWidgetFactory*>(
        info->create(typeid(zel::world::iWidgetFactory)));
}

// Counted; destroyed by the release that leaves no reference.
class builder final : public iBuilder {
public:
    std::int32_t acquire(std::int32_t n) override {
        if (n > 0)
            count_ += n;
        return count_;
    }
    std::int32_t release(std::int32_t n) override {
        if (n <= 0 || count_ == 0)
            return count_;
        count_ -= n < count_ ? n : count_;
        if (count_ > 0)
            return count_;
        delete this;
        return 0;
    }

    // The factory is looked up each time: the world that provides it may have changed.
    bool build(widgetElem& elem) override {
        zel::world::iWidgetFactory* factory = widgetFactory();
        zel::widget::iWidget* made = factory ? factory->makeWidget(elem.getName()) : nullptr;
        elem.setWidget(made);
        return made != nullptr;
    }
    bool complete(widgetElem& elem) override { return elem.getWidget() != nullptr; }

private:
    ~builder() override = default;
    std::int32_t count_ = 0;
};

// Holds one reference on its builder for as long as it lives.
class stylesContext final : public zel::widget::tovaStyles::iContext {
public:
    stylesContext() : builder_(new builder) {}
    iBuilder* getBuilder() override { return builder_.get(); }

private:
    zel::xstd::counted<iBuilder> builder_;
};

stylesContext& theContext() {
    static stylesContext context;
    return context;
}

} // namespace

extern "C" __attribute__((visibility("default"))) zel::component::iPackage* initPackage() {
    static zel::component::defaultPackage* package = [] {
        auto* p = new zel::component::defaultPackage(u"zelstyles");
        p->addClass(new zel::world::serviceInfo<zel::widget::tovaStyles::iContext>(
            zel::xstd::uuid(0x5B1E2C90, 0x3A4D, 0x4F6E, 0x9B, 0x12, 0x7C, 0x3D, 0x8E, 0x9F, 0x0A,
                            0x21),
            typeid(stylesContext), u"stylesContext", [] { return &theContext(); }, p));
        return p;
    }();
    return package;
}
