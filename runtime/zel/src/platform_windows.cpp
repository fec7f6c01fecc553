// Windows side of the platform layer: LoadLibraryW, GetModuleFileNameW, UTF-16 file names.
#include "platform.h"

#include <zel/xstd.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace zel::platform {

namespace {

// The system's text for an error code, as one line of UTF-8 without the trailing period and line
// end.
std::string systemMessage(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (length && buffer)
        text = xstd::toDisplayUtf8(wstring(buffer, buffer + length));
    if (buffer)
        LocalFree(buffer);
    std::replace(text.begin(), text.end(), '\r', ' ');
    std::replace(text.begin(), text.end(), '\n', ' ');
    while (!text.empty() && (text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text.empty() ? "error " + std::to_string(code) : text;
}

} // namespace

moduleHandle openModule(const std::filesystem::path& path, std::string* reason) {
    // No "cannot load" message box from the system: the caller reports the failure.
    const UINT previousMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // The package's folder is searched for the DLLs the package itself imports.
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD error = module ? 0 : GetLastError();
    SetErrorMode(previousMode);
    if (!module && reason)
        *reason = systemMessage(error);
    return reinterpret_cast<moduleHandle>(module);
}

void* findSymbol(moduleHandle module, const char* name) {
    if (!module)
        return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void closeModule(moduleHandle module) {
    if (module)
        FreeLibrary(static_cast<HMODULE>(module));
}

std::filesystem::path executablePath() {
    // Long paths may exceed MAX_PATH: grow the buffer until the name fits.
    std::wstring buffer(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 8; ++attempt) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return {};
        if (length < buffer.size()) {
            buffer.resize(length);
            return std::filesystem::path(buffer);
        }
        buffer.resize(buffer.size() * 2);
    }
    return {};
}

std::optional<wstring> environmentVariable(const char* name) {
    // The wide environment holds the value as set; the narrow one only in the local code page.
    const std::wstring wideName(name, name + std::char_traits<char>::length(name));
    const wchar_t* value = _wgetenv(wideName.c_str());
    if (!value)
        return std::nullopt;
    return wstring(value, value + std::char_traits<wchar_t>::length(value));
}

std::filesystem::path toPath(const wstring& text) {
    return std::filesystem::path(std::wstring(text.begin(), text.end()));
}

wstring fromPath(const std::filesystem::path& path) {
    const std::wstring& native = path.native();
    return wstring(native.begin(), native.end());
}

std::string packageFileName(std::string_view name) {
    return std::string(name) + ".dll";
}

} // namespace zel::platform
