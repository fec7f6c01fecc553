// The import helper's sandbox from inside: a probe, started as the helper is, enters it and tries
// each thing it must refuse; and real imports with textures through the sandboxed helper.
#include "import_sandbox.h"
#include "test_support.h"
#include <zel/import/isolated_import.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include <sys/prctl.h>

#include <sys/wait.h>
#include <unistd.h>

namespace zel::import {
namespace {

using test::corpusDir;
using test::tempDir;
using test::testOptions;

// The probe's rows as name -> outcome, from a model in `allowed` that names `outside` (a file in a
// folder of its own): every group of attempts, each from a helper of its own. Beside the model lie
// what the broker hands out and what it must not: a planted link to a material library outside, a
// link to the outside folder, a file of no model's type, a folder named as a model.
std::map<std::string, std::string> probe(const tempDir& allowed, const std::string& outside,
                                         isolationOptions options = testOptions()) {
    namespace fs = std::filesystem;
    options.importer = ZEL_SANDBOX_PROBE;
    const fs::path elsewhere = fs::path(outside).parent_path();
    if (!fs::exists(allowed.path() / "other.mtl")) {
        allowed.write("other.mtl", "newmtl a\n");
        allowed.write("other.txt", "beside");
        allowed.write("picture.png", "not decoded by anyone here");
        allowed.write("tax.pdf", "%PDF-1.4");
        fs::create_directory(allowed.path() / "sub.obj");
        fs::create_symlink(elsewhere / "secret.mtl", allowed.path() / "model.mtl");
        fs::create_symlink(elsewhere, allowed.path() / "linked");
        for (const char* name : {"secret.mtl", "secret.png"})
            std::ofstream(elsewhere / name) << "a secret";
    }
    std::map<std::string, std::string> rows;
    for (const char* group :
         {"files", "looks", "broker", "types", "processes", "signals", "memory", "limits"}) {
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
    EXPECT_EQ(rows["stat-held"], "allowed");
    for (const char* granted :
         {"broker-beside", "broker-beside-absolute", "broker-beside-exists", "broker-texture"})
        EXPECT_EQ(rows[granted], "allowed") << granted;
    for (const char* refused :
         {"broker-companion-link", "broker-through-link", "broker-leading-out", "broker-outside",
          "broker-texture-link", "broker-wrong-type", "broker-wrong-type-exists",
          "broker-other-file", "broker-folder"}) {
        SCOPED_TRACE(refused);
        EXPECT_EQ(rows[refused].rfind("refused", 0), 0u) << rows[refused];
    }
    EXPECT_EQ(rows["fcntl-getfl"], "allowed");
    EXPECT_EQ(rows["fcntl-nonblock"], "allowed");
    EXPECT_EQ(rows["mmap-data"], "allowed");
    EXPECT_EQ(rows["limits-own"], "allowed");
    // The helper opens nothing by name, looks at no name, and cannot read its parent's memory.
    for (const char* forbidden :
         {"read-outside", "path-outside", "read-inside", "read-beside", "write-inside",
          "create-inside", "append-inside", "environ-parent", "socket-inet", "socket-unix",
          "execve", "fork", "thread", "ptrace"}) {
        SCOPED_TRACE(forbidden);
        EXPECT_EQ(rows[forbidden].rfind("refused", 0), 0u) << rows[forbidden];
    }
    // These only the filter can refuse, on every kernel.
    for (const char* forbidden :
         {"path-outside", "stat-outside", "lstat-outside", "access-outside", "readlink-outside",
          "fcntl-setown", "fcntl-setsig", "fcntl-async", "fcntl-lease", "mmap-exec",
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
    // The empty root wherever user namespaces work, Landlock on top where the kernel has it.
    if (landlockAbi() > 0)
        EXPECT_TRUE(rows["confinement"] == "landlock+namespace" ||
                    rows["confinement"] == "landlock")
            << rows["confinement"];
    else
        EXPECT_EQ(rows["confinement"], "namespace");
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
    EXPECT_NE(rows["sandbox"].find("read every file of the user"), std::string::npos);
    options.allowUnconfined = true;
    rows = probeAsHost(allowed, outside.string(), options);
    EXPECT_EQ(rows["confinement"], "none");
    // The host is no longer dumpable: its environment (the broker's password) and memory are out
    // of the helper's reach even where it can open files.
    EXPECT_EQ(::prctl(PR_GET_DUMPABLE), 0);
    EXPECT_EQ(rows["environ-parent"].rfind("refused", 0), 0u) << rows["environ-parent"];
    EXPECT_EQ(rows["broker-beside"], "allowed");
    EXPECT_EQ(rows["broker-wrong-type"].rfind("refused", 0), 0u);
#ifndef ZEL_SANITIZE
    // Outside sanitizer builds (whose reports open files) the filter refuses every name anyway.
    expectRefusals(rows);
#endif
}

// glTF buffers through the real helper: one beside the model is read, one that names a file of no
// buffer's type ("tax.pdf", holding the very same bytes) is refused; what was read goes back to
// the caller.
TEST(ImportSandbox, GltfBufferOnlyOfABuffersType) {
    tempDir folder;
    const float triangle[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    const std::string bytes(reinterpret_cast<const char*>(triangle), sizeof triangle);
    folder.write("mesh.bin", bytes);
    folder.write("tax.pdf", bytes);
    auto gltf = [](const std::string& uri) {
        return R"({"asset":{"version":"2.0"},"buffers":[{"uri":")" + uri +
               R"(","byteLength":36}],"bufferViews":[{"buffer":0,"byteLength":36}],)"
               R"("accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3",)"
               R"("min":[0,0,0],"max":[1,1,0]}],"meshes":[{"primitives":[{"attributes":)"
               R"({"POSITION":0}}]}],"nodes":[{"mesh":0}],"scenes":[{"nodes":[0]}],"scene":0})";
    };
    const auto good = folder.write("good.gltf", gltf("mesh.bin"));
    const auto bad = folder.write("bad.gltf", gltf("tax.pdf"));
    std::string reason;
    isolationStats stats;
    const auto read = importIsolated(good, testOptions(), &reason, &stats);
    if (!read && namespacesRefused(reason))
        GTEST_SKIP() << reason;
    ASSERT_TRUE(read) << reason;
    EXPECT_EQ(read->triangleCount(), 1u);
    ASSERT_EQ(stats.files.size(), 2u);
    EXPECT_EQ(stats.files[0].path, good);
    EXPECT_EQ(stats.files[1].path, folder.path() / "mesh.bin");
    EXPECT_EQ(stats.files[1].size, 36u);
    EXPECT_EQ(stats.grantedBytes, std::filesystem::file_size(good) + 36);

    stats = {};
    const auto refused = importIsolated(bad, testOptions(), &reason, &stats);
    EXPECT_TRUE(!refused || refused->triangleCount() == 0);
    ASSERT_EQ(stats.files.size(), 1u);
    EXPECT_EQ(stats.files[0].path, bad);
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

// A model in the home folder itself gets files at the home folder's own level only, its material
// library among them, with Landlock and without.
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
