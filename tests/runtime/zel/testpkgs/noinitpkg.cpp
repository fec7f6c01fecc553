// A shared object that is no package: it exports no initPackage.
extern "C" __attribute__((visibility("default"))) int notInitPackage() {
    return 1;
}
