// What libzel needs from the operating system where POSIX and Windows differ: loading modules, the
// executable's own path, and paths as the system spells them. platform_posix.cpp and
// platform_windows.cpp implement it; everything else in libzel is written once.
#pragma once

#include <zel/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace zel::platform {

// A loaded module (shared object or DLL); null means none.
using moduleHandle = void*;

// Loads the module at path, resolving every symbol now and keeping its symbols to itself. Null on
// failure, with the system's reason as one line of UTF-8 in *reason.
moduleHandle openModule(const std::filesystem::path& path, std::string* reason);
// The address of the exported symbol, or null.
void* findSymbol(moduleHandle module, const char* name);
void closeModule(moduleHandle module);

// The running program's own file, or an empty path when the system does not tell.
std::filesystem::path executablePath();

// The value of an environment variable, or nothing when it is not set.
std::optional<wstring> environmentVariable(const char* name);

// UTF-16 text to a path and back. On POSIX the file system speaks bytes: the text goes through
// UTF-8 (with the byte escapes of xstd::fromUtf8, so that every name comes back to the same bytes).
// On Windows it speaks UTF-16: the code units are taken as they are.
std::filesystem::path toPath(const wstring& text);
wstring fromPath(const std::filesystem::path& path);

// The file name of package N ("libN.so", "N.dll").
std::string packageFileName(std::string_view name);
// What separates the folders of ZEL_PACKAGE_PATH (':' on POSIX, ';' on Windows).
constexpr char pathListSeparator = std::filesystem::path::preferred_separator == '\\' ? ';' : ':';
// Characters that may not appear in a package name: every folder separator of the system.
constexpr std::u16string_view folderSeparators =
    std::filesystem::path::preferred_separator == '\\' ? u"/\\" : u"/";

} // namespace zel::platform
