// Tests that read the third-party model files. The folder is ZEL_CORPUS_DIR, set when configuring
// (by default ../shared/corpus beside the source tree). A clone without it still passes: each test
// that needs it starts with ZEL_NEEDS_CORPUS() and skips with one line naming the folder. Where the
// corpus is known to be present (CI), ZEL_REQUIRE_CORPUS=1 in the environment turns a missing
// corpus into a failure.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#ifndef ZEL_CORPUS_DIR
#error "a test that reads the corpus needs ZEL_CORPUS_DIR defined by its CMakeLists.txt"
#endif

namespace zeltest {

inline std::filesystem::path corpusFolder() {
    return ZEL_CORPUS_DIR;
}

// True when ZEL_REQUIRE_CORPUS is set to anything but "" or "0".
inline bool corpusRequired() {
    const char* v = std::getenv("ZEL_REQUIRE_CORPUS");
    return v != nullptr && std::string_view(v) != "" && std::string_view(v) != "0";
}

// Empty when path exists, else the one line a test reports.
inline std::string corpusMissing(const std::filesystem::path& path) {
    std::error_code ec;
    if (std::filesystem::exists(path, ec))
        return {};
    const std::filesystem::path folder = corpusFolder();
    std::string line =
        path == folder ? "no model corpus at " + folder.string() : "missing " + path.string();
    line += " (configure with -DZEL_CORPUS_DIR=<folder>; ZEL_REQUIRE_CORPUS=1 makes this fail)";
    return line;
}

} // namespace zeltest

// Skips the current test, or fails it under ZEL_REQUIRE_CORPUS=1, when path does not exist. Use at
// the top of a test body or a fixture's SetUp.
#define ZEL_NEEDS_CORPUS_FILE(path)                                                                \
    do {                                                                                           \
        if (const std::string zel_missing_ = ::zeltest::corpusMissing(path);                       \
            !zel_missing_.empty()) {                                                               \
            if (::zeltest::corpusRequired())                                                       \
                FAIL() << zel_missing_;                                                            \
            else                                                                                   \
                GTEST_SKIP() << zel_missing_;                                                      \
        }                                                                                          \
    } while (0)

#define ZEL_NEEDS_CORPUS() ZEL_NEEDS_CORPUS_FILE(::zeltest::corpusFolder())
