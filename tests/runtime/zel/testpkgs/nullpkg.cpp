// A package whose entry point has nothing to give.
namespace zel::component {
class iPackage;
}

extern "C" __attribute__((visibility("default"))) zel::component::iPackage* initPackage() {
    return nullptr;
}
