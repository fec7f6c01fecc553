// A plain package "toypkg" with one class, toy, registered under zeltest::iToy.
#include "toy.h"
#include <zel/component.h>

namespace {

class toy : public zeltest::iToy,
            public zel::component::impl::id<0x3F0E9A12, 0x77B1, 0x4C2D, 0x8E, 0x05, 0x1A, 0x2B,
                                            0x3C, 0x4D, 0x5E, 0x6F>,
            public zel::component::impl::defaultClass<toy, 1, zeltest::iToy> {
public:
    int answer() const override { return 42; }
};

zel::component::defaultPackage* package = nullptr;

} // namespace

zel::component::iPackage* zel::component::thisPackage() {
    return package;
}

extern "C" __attribute__((visibility("default"))) zel::component::iPackage* initPackage() {
    if (!package) {
        package = new zel::component::defaultPackage(u"toypkg");
        package->addClass(new zel::component::classInfo<toy, zeltest::iToy>);
    }
    return package;
}
