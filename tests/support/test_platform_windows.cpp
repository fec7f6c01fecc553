#include "test_platform.h"

#include <zel/xstd.h>

#include <windows.h>

#include <cstdlib>

namespace rec {

namespace {

std::wstring wide(const std::string& utf8) {
    const zel::wstring text = zel::xstd::fromUtf8(utf8);
    return std::wstring(text.begin(), text.end());
}

} // namespace

void* moduleSymbol(const std::filesystem::path& module, const char* symbol, std::string* error) {
    HMODULE handle = LoadLibraryW(module.c_str());
    if (!handle) {
        *error = "LoadLibraryW failed with error " + std::to_string(GetLastError());
        return nullptr;
    }
    void* address = reinterpret_cast<void*>(GetProcAddress(handle, symbol));
    if (!address)
        *error = std::string("no ") + symbol;
    return address;
}

void setEnvironment(const char* name, const std::string& value) {
    // The wide call keeps the value's characters, which the narrow one would read in the local code
    // page; the runtime updates both of its environment copies.
    _wputenv_s(wide(name).c_str(), wide(value).c_str());
}

void unsetEnvironment(const char* name) {
    // An empty value removes the variable.
    _wputenv_s(wide(name).c_str(), L"");
}

} // namespace rec
