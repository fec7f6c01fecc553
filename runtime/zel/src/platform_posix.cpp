// POSIX side of the platform layer: dlopen, /proc/self/exe, byte file names.
#include "platform.h"

#include <zel/xstd.h>

#include <algorithm>
#include <cstdlib>
#include <dlfcn.h>
#include <system_error>

namespace zel::platform {

moduleHandle openModule(const std::filesystem::path& path, std::string* reason) {
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle && reason) {
        const char* err = dlerror();
        std::string text = err ? err : "unknown error";
        // dlerror usually starts with the file name, which the caller names already.
        const std::string prefix = path.native() + ": ";
        if (text.compare(0, prefix.size(), prefix) == 0)
            text.erase(0, prefix.size());
        std::replace(text.begin(), text.end(), '\n', ' ');
        *reason = text;
    }
    return handle;
}

void* findSymbol(moduleHandle module, const char* name) {
    return module ? dlsym(module, name) : nullptr;
}

void closeModule(moduleHandle module) {
    if (module)
        dlclose(module);
}

std::filesystem::path executablePath() {
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe;
}

std::optional<wstring> environmentVariable(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<wstring>(xstd::fromUtf8(value)) : std::nullopt;
}

std::filesystem::path toPath(const wstring& text) {
    return std::filesystem::path(xstd::toUtf8(text));
}

wstring fromPath(const std::filesystem::path& path) {
    return xstd::fromUtf8(path.native());
}

std::string packageFileName(std::string_view name) {
    return "lib" + std::string(name) + ".so";
}

} // namespace zel::platform
