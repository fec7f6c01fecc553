// The isolation itself: the child's set-up, what becomes of a child that misbehaves, and that the
// parent's stdout, children and signals are left as they were. Stand-in helpers (small shell
// scripts) misbehave on purpose; the real helper reads the corpus.

#include "assimp_import.h"
#include "test_support.h"
#include <zel/import/isolated_import.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <future>
#include <iostream>
#include <set>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zel::import {
namespace {

using test::corpusDir;
using test::noChildrenLeft;
using test::tempDir;
using test::testOptions;

std::filesystem::path script(const tempDir& dir, const std::string& name, const std::string& body) {
    const auto file = dir.write(name, "#!/bin/sh\n" + body + "\n");
    std::filesystem::permissions(file, std::filesystem::perms::owner_all);
    return file;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Every corpus file goes through the isolated import without harm; the files Assimp reads must
// come back exactly as the in-process import gives them.
TEST(IsolatedImport, WholeCorpus) {
    ZEL_NEEDS_CORPUS();
    const std::set<std::string> mustRead = {
        "assimp/3D/box.uc",
        "assimp/3D/box_a.3d",
        "assimp/3D/box_d.3d",
        "assimp/3DS/CameraRollAnim.3ds",
        "assimp/3DS/CameraRollAnimWithChildObject.3ds",
        "assimp/3DS/RotatingCube.3DS",
        "assimp/3DS/TargetCameraAnim.3ds",
        "assimp/3DS/cube_with_diffuse_texture.3DS",
        "assimp/3DS/cube_with_specular_texture.3DS",
        "assimp/3DS/cubes_with_alpha.3DS",
        "assimp/3DS/fels.3ds",
        "assimp/3DS/test1.3ds",
        "assimp/3DS/testFormatDetection",
        "assimp/OBJ/box.obj",
        "assimp/OBJ/cube_usemtl.obj",
        "assimp/OBJ/cube_with_vertexcolors.obj",
        "assimp/OBJ/spider.obj",
        "assimp/glTF2/AnimatedMorphCube/glTF/AnimatedMorphCube.gltf",
        "assimp/glTF2/BoxTextured-glTF-Binary/BoxTextured.glb",
        "assimp/glTF2/BoxTextured-glTF/BoxTextured.gltf",
        "castle-demo-models/p47d.3ds",
        "generated/large.3ds",
        "generated/medium.3ds",
        "online3dviewer/cube_four_instances.3ds",
        "online3dviewer/cube_hierarchy.3ds",
        "online3dviewer/cube_instance_scale_rotation.3ds",
        "online3dviewer/cube_two_instances.3ds",
        "online3dviewer/cube_with_materials.3ds",
        "online3dviewer/cube_with_texture_transformations.3ds"};
    std::set<std::string> read;
    std::ostringstream unreadable;
    for (const auto& file : test::corpusFiles()) {
        const std::string name = std::filesystem::relative(file, corpusDir()).generic_string();
        SCOPED_TRACE(name);
        std::string reason;
        const std::optional<scene> s = importIsolated(file, testOptions(), &reason);
        if (!s) {
            EXPECT_FALSE(reason.empty());
            EXPECT_EQ(reason.find('\n'), std::string::npos);
            unreadable << "  " << name << ": " << reason << '\n';
            continue;
        }
        read.insert(name);
        // medium.3ds included: the helper prepares its heap for files that size.
        if (std::filesystem::file_size(file) < (4u << 20)) {
            std::optional<scene> direct = importInProcess(file, &reason);
            ASSERT_TRUE(direct) << reason;
            EXPECT_TRUE(*s == *direct);
        }
    }
    EXPECT_EQ(read, mustRead);
    EXPECT_TRUE(noChildrenLeft());
    std::cerr << "corpus files Assimp cannot read:\n" << unreadable.str();
}

TEST(IsolatedImport, MisbehavingHelpers) {
    ZEL_NEEDS_CORPUS();
    tempDir dir;
    const auto model = corpusDir() / "online3dviewer/cube_hierarchy.3ds";
    struct testCase {
        const char* name;
        std::string body;
        const char* reason;
    };
    const std::vector<testCase> cases = {
        {"crash", "kill -SEGV $$", "died of SIGSEGV"},
        {"abort", "kill -ABRT $$", "died of SIGABRT"},
        {"exit status", "exit 3", "exit status 3"},
        {"silent success", "exit 0", "malformed data (data ends in header)"},
        {"garbage", "printf 'xof 0302txt 0032' >&3", "malformed data"},
        {"endless", "exec sleep 60", "did not finish within 1 s"},
        {"stalls after a little", "printf ZELSCENE >&3; exec sleep 60",
         "did not finish within 1 s"},
        // The helper is gone, but its own child still holds the pipe open.
        {"grandchild holds the pipe", "sleep 60 & exit 0", "did not finish within 1 s"},
        {"noise on stdout and stderr", "echo noise; echo noise >&2; exit 4", "exit status 4"},
        // Progress records must rise, to at most 1000: a helper that repeats or goes back (as
        // one sending a record per call of a loop would) is cut off at once, not at the deadline.
        {"progress going back",
         "printf 'ZELP\\005\\000\\000\\000ZELP\\004\\000\\000\\000' >&3; exec sleep 60",
         "progress record 4 out of order"},
        {"progress repeated",
         "printf 'ZELP\\001\\000\\000\\000ZELP\\001\\000\\000\\000' >&3; exec sleep 60",
         "progress record 1 out of order"},
        {"progress past 1000", "printf 'ZELP\\351\\003\\000\\000' >&3; exec sleep 60",
         "progress record 1001 out of order or out of range"},
    };
    for (const testCase& c : cases) {
        SCOPED_TRACE(c.name);
        isolationOptions options = testOptions();
        options.importer = script(dir, "helper", c.body);
        options.deadline = std::chrono::seconds(1);
        std::string reason;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(importIsolated(model, options, &reason));
        EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
        EXPECT_LT(secondsSince(start), 30.0);
        EXPECT_TRUE(noChildrenLeft());
    }
}

// The result the host takes follows what the helper was given to read: a floor, plus so much a
// byte of the model and the files beside it, within the cap.
TEST(IsolatedImport, ResultLargerThanAllowed) {
    ZEL_NEEDS_CORPUS();
    // Alone in its folder, so that the model is all the helper may read.
    tempDir dir;
    const auto model = dir.path() / "medium.3ds";
    std::filesystem::copy_file(corpusDir() / "generated/medium.3ds", model);
    const std::uint64_t fileBytes = std::filesystem::file_size(model);
    struct row {
        const char* name;
        std::uint64_t floor, perByte, cap;
        bool accepted;
    };
    const std::vector<row> rows = {
        {"as the host has it", 128 << 20, 32, std::uint64_t{2} << 30, true},
        {"the cap", 128 << 20, 32, 4096, false},
        {"the floor alone", 4096, 0, std::uint64_t{2} << 30, false},
        {"a byte a byte of the input", 4096, 1, std::uint64_t{2} << 30, false},
        {"scaled to the input", 4096, 16, std::uint64_t{2} << 30, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        isolationOptions options = testOptions();
        options.resultFloorBytes = r.floor;
        options.resultPerInputByte = r.perByte;
        options.maxResultBytes = r.cap;
        std::string reason;
        EXPECT_EQ(bool(importIsolated(model, options, &reason)), r.accepted) << reason;
        if (!r.accepted) {
            EXPECT_NE(reason.find("larger than allowed"), std::string::npos) << reason;
        }
    }
    {
        // Only what the broker granted counts: a large file beside the model that the helper
        // never reads does not raise the budget.
        std::filesystem::resize_file(dir.write("unread.3ds", ""), fileBytes * 8);
        isolationOptions options = testOptions();
        options.resultFloorBytes = 4096;
        options.resultPerInputByte = 1;
        std::string reason;
        EXPECT_FALSE(importIsolated(model, options, &reason));
        EXPECT_NE(reason.find("larger than allowed"), std::string::npos) << reason;
    }
    isolationOptions options;
    EXPECT_EQ(resultBudgetFor(0, options), options.resultFloorBytes);
    EXPECT_EQ(resultBudgetFor(fileBytes, options),
              options.resultFloorBytes + options.resultPerInputByte * fileBytes);
    EXPECT_EQ(resultBudgetFor(std::uint64_t{1} << 40, options), options.maxResultBytes);
    EXPECT_TRUE(noChildrenLeft());
}

TEST(IsolatedImport, HelperThatCannotRun) {
    ZEL_NEEDS_CORPUS();
    tempDir dir;
    const auto model = corpusDir() / "online3dviewer/cube_hierarchy.3ds";
    isolationOptions options = testOptions();
    std::string reason;
    options.importer = dir.path() / "missing-helper";
    EXPECT_FALSE(importIsolated(model, options, &reason));
    EXPECT_NE(reason.find("cannot run the import helper"), std::string::npos) << reason;
    options.importer = dir.write("not-executable", "#!/bin/sh\n");
    EXPECT_FALSE(importIsolated(model, options, &reason));
    EXPECT_NE(reason.find("Permission denied"), std::string::npos) << reason;
    EXPECT_TRUE(noChildrenLeft());
}

std::string limitLine(pid_t pid, const std::string& what) {
    std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
    for (std::string line; std::getline(limits, line);)
        if (line.rfind(what, 0) == 0)
            return line;
    return "";
}

// Looks at the running child from outside: its limits and its descriptors.
TEST(IsolatedImport, ChildRunsWithLimitsAndNothingInherited) {
    ZEL_NEEDS_CORPUS();
    tempDir dir;
    isolationOptions options = testOptions();
    options.importer = script(dir, "helper", "exec sleep 60");
    options.deadline = std::chrono::seconds(20);
    options.addressSpaceLimit = std::uint64_t{3} << 30;
    // A descriptor the parent forgot to mark close-on-exec must not reach the child.
    const int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 0);

    auto result = std::async(std::launch::async, [&] {
        std::string reason;
        return importIsolated(corpusDir() / "assimp/3DS/fels.3ds", options, &reason).has_value();
    });
    pid_t child = 0;
    for (int i = 0; i < 500 && child == 0; ++i) {
        for (pid_t p : test::childrenOf(::getpid()))
            if (std::filesystem::exists("/proc/" + std::to_string(p) + "/exe") &&
                std::filesystem::read_symlink("/proc/" + std::to_string(p) + "/exe").filename() ==
                    "sleep")
                child = p;
        if (child == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(child, 0);
    const std::string proc = "/proc/" + std::to_string(child);
    EXPECT_NE(limitLine(child, "Max core file size").find(" 0 "), std::string::npos);
    EXPECT_NE(limitLine(child, "Max file size").find(" 0 "), std::string::npos);
#if defined(ZEL_SANITIZE) || defined(__SANITIZE_ADDRESS__)
    EXPECT_NE(limitLine(child, "Max address space").find("unlimited"), std::string::npos);
#else
    EXPECT_NE(limitLine(child, "Max address space").find(" 3221225472 "), std::string::npos)
        << limitLine(child, "Max address space");
#endif
    std::set<std::string> fds;
    for (const auto& e : std::filesystem::directory_iterator(proc + "/fd"))
        fds.insert(e.path().filename().string());
    EXPECT_EQ(fds, (std::set<std::string>{"0", "1", "2", "3", "4"}));
    EXPECT_EQ(std::filesystem::read_symlink(proc + "/fd/1"), "/dev/null");
    EXPECT_EQ(std::filesystem::read_symlink(proc + "/fd/2"), "/dev/null");
    ::kill(child, SIGKILL);
    EXPECT_FALSE(result.get());
    ::close(leaked);
    EXPECT_TRUE(noChildrenLeft());
}

// The parent's stdout is the trace: nothing from the child reaches it, and lines the parent had
// not flushed yet come out once.
TEST(IsolatedImport, ParentStdoutUntouched) {
    ZEL_NEEDS_CORPUS();
    tempDir dir;
    const auto capture = dir.path() / "stdout";
    std::cout.flush();
    std::fflush(stdout);
    const int saved = ::dup(1);
    const int file = ::open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(file, 0);
    ::dup2(file, 1);
    ::close(file);

    std::cout << "pending line\n";
    isolationOptions crashing = testOptions();
    crashing.importer = script(dir, "helper", "echo noise; kill -SEGV $$");
    std::string reason;
    const bool crashed =
        importIsolated(corpusDir() / "assimp/3DS/fels.3ds", crashing, &reason).has_value();
    const bool read =
        importIsolated(corpusDir() / "assimp/3DS/fels.3ds", testOptions(), &reason).has_value();

    std::cout.flush();
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    EXPECT_FALSE(crashed);
    EXPECT_TRUE(read) << reason;
    EXPECT_EQ(test::readBytes(capture), "pending line\n");
}

TEST(IsolatedImport, WorksWhenTheHostIgnoresSigchld) {
    ZEL_NEEDS_CORPUS();
    tempDir dir;
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGCHLD, &ignore, &old);
    std::string reason;
    const auto model = corpusDir() / "online3dviewer/cube_hierarchy.3ds";
    const bool read = importIsolated(model, testOptions(), &reason).has_value();
    isolationOptions crashing = testOptions();
    crashing.importer = script(dir, "helper", "kill -SEGV $$");
    const bool crashed = importIsolated(model, crashing, &reason).has_value();
    ::sigaction(SIGCHLD, &old, nullptr);
    EXPECT_TRUE(read);
    EXPECT_FALSE(crashed);
    EXPECT_FALSE(reason.empty());
}

TEST(IsolatedImport, ConcurrentImports) {
    ZEL_NEEDS_CORPUS();
    const std::vector<std::string> files = {"online3dviewer/cube_hierarchy.3ds",
                                            "castle-demo-models/p47d.3ds", "assimp/OBJ/spider.obj",
                                            "assimp/3DS/test1.3ds", "generated/medium.3ds"};
    std::vector<std::future<bool>> results;
    for (const std::string& f : files)
        results.push_back(std::async(std::launch::async, [f] {
            std::string reason;
            return importIsolated(corpusDir() / f, testOptions(), &reason).has_value();
        }));
    for (auto& r : results)
        EXPECT_TRUE(r.get());
    EXPECT_TRUE(noChildrenLeft());
}

// Names are bytes: spaces, a leading dash, a newline and bytes that are not UTF-8 all reach the
// helper intact.
TEST(IsolatedImport, OddFileNames) {
    ZEL_NEEDS_CORPUS();
    tempDir dir;
    const std::string model = test::readBytes(corpusDir() / "online3dviewer/cube_hierarchy.3ds");
    for (const std::string name : {"with space.3ds", "-dash.3ds", "new\nline.3ds", "\xff\xfe.3ds",
                                   "UPPER.3DS", "old.3d.bak"}) {
        SCOPED_TRACE(name);
        std::string reason;
        const std::optional<scene> s =
            importIsolated(dir.write(name, model), testOptions(), &reason);
        ASSERT_TRUE(s) << reason;
        EXPECT_EQ(s->nodes.size(), 11u);
    }
    // A relative name is taken from the working directory.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    std::string reason;
    const bool read = importIsolated("with space.3ds", testOptions(), &reason).has_value();
    std::filesystem::current_path(cwd);
    EXPECT_TRUE(read) << reason;
}

TEST(IsolatedImport, LocatesTheHelper) {
    // The tests run from the build's bin folder, beside the helper.
    std::string reason;
    EXPECT_EQ(locateImporter(&reason).filename(), "zelimport") << reason;
    ::setenv("ZEL_IMPORTER", "/elsewhere/zelimport", 1);
    EXPECT_EQ(locateImporter(&reason), "/elsewhere/zelimport");
    ::unsetenv("ZEL_IMPORTER");
}

} // namespace
} // namespace zel::import
