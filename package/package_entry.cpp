#include "package_entry.h"

#include "prop_placer.h"

#include <zel/application.h>
#include <zel/console.h>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace propplacer {

namespace {

// Never deleted: the framework may still hold the package and its class record when the library is
// unloaded.
zel::component::iPackage* thePackage = nullptr;

using nullClass = zel::component::iNullClass;
using propPlacerInfo =
    zel::component::classInfo<propPlacer, zel::application::iApplication, nullClass, nullClass,
                              nullClass, nullClass, nullClass, nullClass, nullClass>;

} // namespace

zel::component::iPackage* packagePointer() {
    return thePackage;
}

} // namespace propplacer

// The class-info record's getPackage answers with the package made by initPackage.
zel::component::iPackage* zel::component::thisPackage() {
    return propplacer::packagePointer();
}

extern "C" zel::component::iPackage* initPackage() {
    if (propplacer::thePackage)
        return propplacer::thePackage;
    auto* package = new zel::component::defaultPackage(zel::wstring(u"propplacer"));
    propplacer::thePackage = package;
    package->addClass(new propplacer::propPlacerInfo);
    return propplacer::thePackage;
}

#if defined(_WIN32)
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(instance);
    return TRUE;
}
#else
namespace {
// Stands in for the Windows entry routine: there are no per-thread notifications to turn off here,
// so loading only makes sure the console streams are set up.
__attribute__((constructor)) void onLibraryLoad() {
    zel::console::install();
}
} // namespace
#endif
