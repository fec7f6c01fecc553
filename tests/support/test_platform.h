// What the tests need from the operating system where POSIX and Windows differ: loading a module as
// the framework does, and changing the environment. test_platform_posix.cpp and
// test_platform_windows.cpp implement it.
#pragma once

#include <filesystem>
#include <string>

namespace rec {

// The address of symbol in the module at path (loaded once, never unloaded), or null with the
// system's reason in *error.
void* moduleSymbol(const std::filesystem::path& module, const char* symbol, std::string* error);

// Sets (UTF-8 value) or removes an environment variable of this process.
void setEnvironment(const char* name, const std::string& value);
void unsetEnvironment(const char* name);

} // namespace rec
