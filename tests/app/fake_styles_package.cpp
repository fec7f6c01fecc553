// A toy "zelstyles" package for the application's start-up tests: loadable by name, registers
// nothing.
#include <zel/component.h>

extern "C" __attribute__((visibility("default"))) zel::component::iPackage* initPackage() {
    static auto* package = new zel::component::defaultPackage(u"zelstyles");
    return package;
}
