// The package's entry point and its one package object.
#pragma once

#include <zel/component.h>

#if defined(_WIN32)
#define PROPPLACER_EXPORT __declspec(dllexport)
#else
#define PROPPLACER_EXPORT __attribute__((visibility("default")))
#endif

// The only exported function. The first call makes the package object "propplacer" and gives it the
// class-info record of propPlacer; every call returns that same package. Not safe to call from two
// threads at once.
extern "C" PROPPLACER_EXPORT zel::component::iPackage* initPackage();

namespace propplacer {

// The package object, or null before the first initPackage. Set once, never cleared.
zel::component::iPackage* packagePointer();

} // namespace propplacer
