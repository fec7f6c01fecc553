#include "test_platform.h"

#include <cstdlib>
#include <dlfcn.h>

namespace rec {

void* moduleSymbol(const std::filesystem::path& module, const char* symbol, std::string* error) {
    void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* text = dlerror();
        *error = text ? text : "dlopen failed";
        return nullptr;
    }
    void* address = dlsym(handle, symbol);
    if (!address)
        *error = std::string("no ") + symbol;
    return address;
}

void setEnvironment(const char* name, const std::string& value) {
    ::setenv(name, value.c_str(), 1);
}

void unsetEnvironment(const char* name) {
    ::unsetenv(name);
}

} // namespace rec
