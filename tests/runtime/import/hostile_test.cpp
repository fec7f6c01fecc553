// Hostile and broken files through the real helper: each is a clean failure with a reason, within
// the deadline, with no child left behind.

#include "test_support.h"
#include <mutations.h>
#include <zel/import/isolated_import.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace zel::import {
namespace {

using test::corpusDir;
using test::noChildrenLeft;
using test::tempDir;
using test::testOptions;

// Assimp's PLY reader loops forever on this header.
constexpr std::string_view loopingPly = "ply\nformat ascii 1\n";

TEST(HostileFiles, FailCleanlyWithinTheDeadline) {
    tempDir dir;
    std::filesystem::create_directory(dir.path() / "a folder.3ds");
    std::string garbage;
    std::uint64_t state = 7;
    for (int i = 0; i < 300; ++i)
        garbage.push_back(static_cast<char>(mutation::splitmix(state)));
    struct testCase {
        std::string name;
        std::string content; // written unless the case is about a missing or special file
        const char* reason;  // a part of the expected reason, or "" for any
    };
    const std::vector<testCase> cases = {
        {"loop.ply", std::string(loopingPly), "did not finish within 2 s"},
        {"old.3d.bak", std::string(loopingPly), "did not finish within 2 s"},
        {"no-extension", std::string(loopingPly), "did not finish within 2 s"},
        {"x.3ds", std::string(loopingPly), ""},
        {"xfile.3ds", "xof 0302txt 0064\nMesh {\n 3;\n", ""},
        {"garbage.3d.bak", garbage, ""},
        {"-starts-with-dash.3ds", "", "the file is empty"},
        {"empty.3ds", "", "the file is empty"},
    };
    isolationOptions options = testOptions();
    options.deadline = std::chrono::seconds(2);
    for (const testCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = dir.write(c.name, c.content);
        std::string reason;
        EXPECT_FALSE(importIsolated(file, options, &reason));
        EXPECT_FALSE(reason.empty());
        EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
        EXPECT_TRUE(noChildrenLeft());
    }
    std::string reason;
    EXPECT_FALSE(importIsolated(dir.path() / "a folder.3ds", options, &reason));
    EXPECT_EQ(reason, "is a directory");
    EXPECT_FALSE(importIsolated(dir.path() / "missing.3ds", options, &reason));
    EXPECT_EQ(reason, "No such file or directory");
    EXPECT_FALSE(importIsolated("/dev/null", options, &reason));
    EXPECT_EQ(reason, "not a regular file");
    if (::geteuid() != 0) { // root reads anything
        const auto locked = dir.write("locked.3ds", "MM");
        std::filesystem::permissions(locked, std::filesystem::perms::none);
        EXPECT_FALSE(importIsolated(locked, options, &reason));
        EXPECT_EQ(reason, "Permission denied");
    }
    EXPECT_TRUE(noChildrenLeft());
}

// With the deadline left to the size rule, a looping 19-byte file costs its 2 s and no more, and
// the next file (taken by the helper started ahead meanwhile) loads.
TEST(HostileFiles, LoopingFileGivenUpWithinItsSizesDeadline) {
    ZEL_NEEDS_CORPUS();
    tempDir dir;
    const auto looping = dir.write("old.3d.bak", loopingPly);
    isolationOptions options = testOptions();
    options.deadline = std::chrono::milliseconds(0);
    options.keepOneReady = true;
    const auto allowed = deadlineFor(loopingPly.size(), options);
    EXPECT_EQ(allowed, std::chrono::milliseconds(2000));
    prepareImporter(options);

    std::string reason;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(importIsolated(looping, options, &reason));
    const auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(reason, "the import did not finish within 2 s");
    EXPECT_GE(spent, allowed);
    EXPECT_LT(spent, allowed + std::chrono::seconds(2)) << "given up late";

    isolationStats stats;
    const auto next =
        importIsolated(corpusDir() / "assimp/3DS/test1.3ds", options, &reason, &stats);
    EXPECT_TRUE(next) << reason;
    EXPECT_TRUE(stats.readyChild);
    dismissReadyImporter();
    EXPECT_TRUE(noChildrenLeft());
}

TEST(HostileFiles, DeadlineFollowsTheSize) {
    isolationOptions options;
    constexpr std::uint64_t mib = 1 << 20;
    EXPECT_EQ(deadlineFor(19, options).count(), 2000);
    EXPECT_EQ(deadlineFor(20 * mib, options).count(), 12000);
    EXPECT_EQ(deadlineFor(6000, options).count(), 2000);
    EXPECT_EQ(deadlineFor(3 * mib + mib / 2, options).count(), 3800);
    EXPECT_EQ(deadlineFor(std::uint64_t{1} << 40, options), options.maxDeadline);
    options.deadline = std::chrono::seconds(7);
    EXPECT_EQ(deadlineFor(20 * mib, options).count(), 7000);
}

// The caller hears of the import's progress while it waits, and can stop it.
TEST(HostileFiles, ProgressAndCancel) {
    ZEL_NEEDS_CORPUS();
    tempDir dir;
    const auto looping = dir.write("old.3d.bak", loopingPly);
    isolationOptions options = testOptions();
    int calls = 0;
    std::string reason;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(importIsolated(looping, options, &reason, nullptr, [&](double done) {
        EXPECT_GE(done, 0.0);
        EXPECT_LT(done, 1.0);
        return ++calls < 5;
    }));
    EXPECT_EQ(reason, "cancelled");
    EXPECT_EQ(calls, 5);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    std::vector<double> seen;
    const auto read = importIsolated(corpusDir() / "generated/medium.3ds", options, &reason,
                                     nullptr, [&](double done) {
                                         seen.push_back(done);
                                         return true;
                                     });
    EXPECT_TRUE(read) << reason;
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), 1.0);
    EXPECT_TRUE(noChildrenLeft());
}

// A short, fixed mutation run over several corpus 3DS files (the long one is the
// zelimport_mutate tool). Every outcome is a checked scene or a reason.
TEST(HostileFiles, MutatedThreeDsFiles) {
    ZEL_NEEDS_CORPUS();
    const std::vector<std::string> sources = {"assimp/3DS/RotatingCube.3DS",
                                              "assimp/3DS/CameraRollAnimWithChildObject.3ds",
                                              "assimp/3DS/test1.3ds",
                                              "online3dviewer/cube_hierarchy.3ds",
                                              "online3dviewer/cube_four_instances.3ds",
                                              "assimp/3DS/cubes_with_alpha.3DS"};
    constexpr int perFile = 30;
    tempDir dir;
    isolationOptions options = testOptions();
    options.deadline = std::chrono::seconds(20);
    int read = 0, failed = 0;
    for (const std::string& source : sources) {
        const std::string original = test::readBytes(corpusDir() / source);
        for (int i = 0; i < perFile; ++i) {
            SCOPED_TRACE(testing::Message() << source << " mutation " << i);
            const auto file = dir.write("mutated.3ds", mutation::mutate(original, 1000 * i + 17));
            std::string reason;
            if (importIsolated(file, options, &reason)) {
                ++read;
            } else {
                ++failed;
                EXPECT_FALSE(reason.empty());
                // The first hang ends the test: each would cost the whole deadline.
                ASSERT_EQ(reason.find("did not finish"), std::string::npos) << reason;
            }
        }
    }
    EXPECT_TRUE(noChildrenLeft());
    EXPECT_EQ(read + failed, perFile * static_cast<int>(sources.size()));
    std::cerr << "mutated 3DS files: " << read << " read, " << failed << " failed\n";
}

} // namespace
} // namespace zel::import
