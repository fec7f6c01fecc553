// The import helper's sandbox from inside: a probe, started as the helper is, enters it and tries
// each thing it must refuse; and real imports with textures through the sandboxed helper.
#include "test_support.h"
#include <zel/import/import_sandbox.h>
#include <zel/import/isolated_import.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

namespace zel::import {
namespace {

using test::corpusDir;
using test::tempDir;
using test::testOptions;

// The probe's rows as name -> outcome, from a model in `allowed` that names `outside`: every
// group of attempts, each from a helper of its own.
std::map<std::string, std::string> probe(const tempDir& allowed, const std::string& outside,
                                         isolationOptions options = testOptions()) {
    options.importer = ZEL_SANDBOX_PROBE;
    // Mode 000: a helper started by root reads it only if it kept its capabilities.
    std::filesystem::permissions(allowed.write("locked.txt", "locked"),
                                 std::filesystem::perms::none);
    std::map<std::string, std::string> rows;
    for (const char* group : {"files", "processes", "signals", "memory", "limits"}) {
        const auto model = allowed.write("model.txt", outside + "\n" + group + "\n");
        std::string reason;
        EXPECT_FALSE(importIsolated(model, options, &reason));
        std::istringstream in(reason);
        for (std::string item; std::getline(in, item, '|');) {
            const auto equals = item.find('=');
            rows[item.substr(0, equals)] =
                equals == std::string::npos ? "" : item.substr(equals + 1);
        }
        if (rows.count("sandbox"))
            break;
    }
    return rows;
}

bool refusedByFilter(const std::string& outcome) {
    return outcome == "refused:EPERM";
}

// Signals that reach this process while a probe runs.
volatile std::sig_atomic_t signalsReceived = 0;
void countSignal(int) {
    signalsReceived = signalsReceived + 1;
}

// What the sandbox must refuse, whatever confines the file system. `rows` from a probe.
void expectRefusals(std::map<std::string, std::string> rows) {
    ASSERT_EQ(rows.count("sandbox"), 0u) << rows["sandbox"];
    ASSERT_EQ(rows.count("environment"), 1u) << "not a report from the probe";
    EXPECT_EQ(rows["read-model"], "allowed");
    EXPECT_EQ(rows["fcntl-getfl"], "allowed");
    EXPECT_EQ(rows["fcntl-nonblock"], "allowed");
    EXPECT_EQ(rows["mmap-data"], "allowed");
    EXPECT_EQ(rows["limits-own"], "allowed");
    for (const char* forbidden :
         {"read-outside", "path-outside", "write-inside", "create-inside", "append-inside",
          "read-locked", "socket-inet", "socket-unix", "execve", "fork", "thread", "ptrace"}) {
        SCOPED_TRACE(forbidden);
        EXPECT_EQ(rows[forbidden].rfind("refused", 0), 0u) << rows[forbidden];
    }
    // These only the filter can refuse, on every kernel.
    for (const char* forbidden :
         {"path-outside", "fcntl-setown", "fcntl-setsig", "fcntl-async", "fcntl-lease", "mmap-exec",
          "mprotect-exec", "limits-parent", "limits-raise", "seccomp-filter"}) {
        SCOPED_TRACE(forbidden);
        EXPECT_TRUE(refusedByFilter(rows[forbidden])) << rows[forbidden];
    }
    // Nothing of the host's environment: its credentials for the broker, display, home.
    const std::string names = "," + rows["environment"];
    for (const char* name : {",ZEL_SHARE_", ",DISPLAY,", ",HOME,"})
        EXPECT_EQ(names.find(name), std::string::npos) << name << " in " << names;
}

// Runs a probe with the host's environment holding what must not reach the helper, and with
// handlers counting the signals that a helper could aim at its parent.
std::map<std::string, std::string> probeAsHost(const tempDir& allowed, const std::string& outside,
                                               const isolationOptions& options = testOptions()) {
    ::setenv("ZEL_SHARE_USER", "alice", 1);
    ::setenv("ZEL_SHARE_PASSWORD", "a secret", 1);
    ::setenv("DISPLAY", ":0", 0);
    ::setenv("HOME", "/nonexistent-home", 0);
    struct sigaction count {
    }, oldUsr1{}, oldIo{};
    count.sa_handler = countSignal;
    ::sigaction(SIGUSR1, &count, &oldUsr1);
    ::sigaction(SIGIO, &count, &oldIo);
    signalsReceived = 0;
    auto rows = probe(allowed, outside, options);
    EXPECT_EQ(signalsReceived, 0) << "the helper signalled its parent";
    ::sigaction(SIGUSR1, &oldUsr1, nullptr);
    ::sigaction(SIGIO, &oldIo, nullptr);
    ::unsetenv("ZEL_SHARE_USER");
    ::unsetenv("ZEL_SHARE_PASSWORD");
    return rows;
}

// A machine whose kernel refuses user namespaces (a container, a hardened kernel) cannot show the
// namespace's confinement.
bool namespacesRefused(const std::string& reason) {
    return reason.find("no user and mount namespace") != std::string::npos;
}

TEST(ImportSandbox, RefusesWhatImportingDoesNotNeed) {
    tempDir allowed, elsewhere;
    const auto outside = elsewhere.write("secret.txt", "a secret");
    auto rows = probeAsHost(allowed, outside.string());
    if (rows.count("sandbox") && namespacesRefused(rows["sandbox"]))
        GTEST_SKIP() << rows["sandbox"];
    expectRefusals(rows);
    EXPECT_EQ(rows["landlock"], std::to_string(landlockAbi()));
    EXPECT_EQ(rows["confinement"], landlockAbi() > 0 ? "landlock" : "namespace");
}

// Kernels without Landlock, or with an older one: a mount namespace shows the helper its folders
// only, and the filter alone keeps signals from the host (Landlock's signal scope came with 6).
TEST(ImportSandbox, OlderKernels) {
    tempDir allowed, elsewhere;
    const auto outside = elsewhere.write("secret.txt", "a secret");
    isolationOptions options = testOptions();
    if (landlockAbi() >= 4) {
        options.landlockAbiLimit = 4;
        const auto rows = probeAsHost(allowed, outside.string(), options);
        expectRefusals(rows);
        EXPECT_EQ(rows.at("landlock"), "4");
    }
    options.landlockAbiLimit = 0;
    auto rows = probeAsHost(allowed, outside.string(), options);
    if (rows.count("sandbox") && namespacesRefused(rows["sandbox"]))
        GTEST_SKIP() << rows["sandbox"];
    expectRefusals(rows);
    EXPECT_EQ(rows["confinement"], "namespace");
    EXPECT_EQ(rows["read-outside"], "refused:ENOENT");
}

// Where neither Landlock nor a namespace confines the file system, the import is refused with what
// to do, unless the user allowed it.
TEST(ImportSandbox, UnconfinedOnlyWhenAllowed) {
    tempDir allowed, elsewhere;
    const auto outside = elsewhere.write("secret.txt", "a secret");
    isolationOptions options = testOptions();
    options.landlockAbiLimit = 0;
    options.mountNamespace = false;
    auto rows = probe(allowed, outside.string(), options);
    ASSERT_EQ(rows.count("sandbox"), 1u);
    EXPECT_NE(rows["sandbox"].find("set ZEL_IMPORT_UNCONFINED=1"), std::string::npos)
        << rows["sandbox"];
    options.allowUnconfined = true;
    rows = probe(allowed, outside.string(), options);
    EXPECT_EQ(rows["confinement"], "none");
    EXPECT_EQ(rows["read-outside"], "allowed");
    EXPECT_TRUE(refusedByFilter(rows["path-outside"]));
}

// The root and the home folder are never granted whole: a model there gets its own files.
TEST(ImportSandbox, ReadablePathsLeaveTheHomeFolderOut) {
    tempDir home;
    const auto model = home.write("house.obj", "v 0 0 0");
    const auto library = home.write("house.mtl", "newmtl a");
    home.write("notes.txt", "private");
    home.write(".house.obj.swp", "");
    std::filesystem::create_directory(home.path() / "models");
    const auto inside = home.write("models/cube.obj", "v 0 0 0");
    using paths = std::vector<std::filesystem::path>;
    auto sorted = [](paths p) {
        std::sort(p.begin(), p.end());
        return p;
    };
    EXPECT_EQ(sorted(readablePaths(model, {}, home.path())), sorted({model, library}));
    EXPECT_EQ(readablePaths(inside, {}, home.path()), paths{home.path() / "models"});
    // Neither as a texture folder, nor the root, nor a folder that holds the home folder.
    EXPECT_EQ(readablePaths(inside, {home.path(), "/", home.path().parent_path(), "/usr/share"},
                            home.path()),
              (paths{home.path() / "models", "/usr/share"}));
    EXPECT_EQ(sorted(readablePaths(home.path() / "models/../house.obj", {}, home.path())).size(),
              2u);
}

// The sandboxed helper still reads a model whose material names a texture, and one whose reader
// opens a second file beside it (OBJ and its material library); also through a mount namespace.
TEST(ImportSandbox, ImportsStillWork) {
    ZEL_NEEDS_CORPUS();
    for (const int landlockLimit : {-1, 0}) {
        SCOPED_TRACE(landlockLimit);
        isolationOptions options = testOptions();
        ASSERT_TRUE(options.sandbox);
        options.landlockAbiLimit = landlockLimit;
        std::string reason;
        const auto textured = importIsolated(
            corpusDir() / "assimp/3DS/cube_with_diffuse_texture.3DS", options, &reason);
        if (!textured && namespacesRefused(reason))
            GTEST_SKIP() << reason;
        ASSERT_TRUE(textured) << reason;
        bool named = false;
        for (const material& m : textured->materials)
            named = named || !m.diffuseTexture.empty();
        EXPECT_TRUE(named);

        const auto obj = importIsolated(corpusDir() / "assimp/OBJ/spider.obj", options, &reason);
        ASSERT_TRUE(obj) << reason;
        std::size_t textures = 0;
        for (const material& m : obj->materials)
            textures += m.diffuseTexture.empty() ? 0 : 1;
        EXPECT_GT(textures, 0u) << "the material library beside the model was not read";
    }
}

// A model in the home folder itself gets its own files only, its material library among them,
// with Landlock and through a namespace (where files, not folders, are bound).
TEST(ImportSandbox, ModelInTheHomeFolderKeepsItsMaterialLibrary) {
    ZEL_NEEDS_CORPUS();
    tempDir home;
    for (const char* name : {"spider.obj", "spider.mtl"})
        std::filesystem::copy_file(corpusDir() / "assimp/OBJ" / name, home.path() / name);
    struct homeFor {
        std::optional<std::string> saved;
        explicit homeFor(const std::filesystem::path& p) {
            if (const char* previous = std::getenv("HOME"))
                saved = previous;
            ::setenv("HOME", p.c_str(), 1);
        }
        ~homeFor() { saved ? ::setenv("HOME", saved->c_str(), 1) : ::unsetenv("HOME"); }
    } scoped(home.path());
    for (const int landlockLimit : {-1, 0}) {
        SCOPED_TRACE(landlockLimit);
        isolationOptions options = testOptions();
        options.landlockAbiLimit = landlockLimit;
        std::string reason;
        const auto obj = importIsolated(home.path() / "spider.obj", options, &reason);
        if (!obj && namespacesRefused(reason))
            continue;
        ASSERT_TRUE(obj) << reason;
        std::size_t textures = 0;
        for (const material& m : obj->materials)
            textures += m.diffuseTexture.empty() ? 0 : 1;
        EXPECT_GT(textures, 0u) << "the material library beside the model was not read";
    }
}

} // namespace
} // namespace zel::import
