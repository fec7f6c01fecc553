#include "test_support.h"
#include <zel/import/import_cache.h>
#include <zel/import/model_import.h>

#include <gtest/gtest.h>

#include <thread>

namespace zel::import {
namespace {

using test::tempDir;

// A loader that counts its calls and makes a one-node scene named after the file's content.
struct countingLoader {
    int calls = 0;
    bool fail = false;
    importCache::loader function() {
        return [this](const std::filesystem::path& file, const isolationOptions&,
                      std::string* reason, importInputs*, const importProgress& progress) {
            ++calls;
            if (progress)
                progress(0.5);
            if (fail) {
                *reason = "broken";
                return std::shared_ptr<const scene>();
            }
            auto s = std::make_shared<scene>();
            s->nodes.emplace_back().name = test::readBytes(file);
            return std::shared_ptr<const scene>(std::move(s));
        };
    }
};

void setMtime(const std::filesystem::path& file, std::filesystem::file_time_type t) {
    std::filesystem::last_write_time(file, t);
}

TEST(ImportCache, SameFileSameScene) {
    tempDir dir;
    countingLoader loader;
    importCache cache(loader.function());
    const auto file = dir.write("a.3ds", "one");
    std::filesystem::create_directory(dir.path() / "sub");
    std::filesystem::create_symlink(file, dir.path() / "link.3ds");
    std::string reason;
    const auto first = cache.get(file, {}, &reason);
    ASSERT_TRUE(first);
    // Other names of the same file share the entry.
    EXPECT_EQ(cache.get(dir.path() / "sub/../a.3ds", {}, &reason), first);
    EXPECT_EQ(cache.get(dir.path() / "link.3ds", {}, &reason), first);
    EXPECT_EQ(loader.calls, 1);
    EXPECT_EQ(cache.size(), 1u);
    // Other texture folders give other pictures: another entry.
    isolationOptions textures;
    textures.readableFolders = {dir.path() / "sub"};
    const auto withTextures = cache.get(file, textures, &reason);
    EXPECT_NE(withTextures, first);
    EXPECT_EQ(cache.get(file, textures, &reason), withTextures);
    EXPECT_EQ(loader.calls, 2);
}

TEST(ImportCache, ChangedFileIsReadAgain) {
    tempDir dir;
    countingLoader loader;
    importCache cache(loader.function());
    const auto file = dir.write("a.3ds", "one");
    const auto stamp = std::filesystem::last_write_time(file);
    std::string reason;
    const auto first = cache.get(file, {}, &reason);

    struct step {
        const char* name;
        std::function<void()> change;
        const char* content;
    };
    const std::vector<step> steps = {
        {"size", [&] { dir.write("a.3ds", "three"), setMtime(file, stamp); }, "three"},
        {"mtime only",
         [&] { dir.write("a.3ds", "THREE"), setMtime(file, stamp + std::chrono::seconds(1)); },
         "THREE"},
        {"replaced, same size and mtime",
         [&] {
             const auto other = dir.write("b.3ds", "thrEE");
             setMtime(other, stamp + std::chrono::seconds(1));
             std::filesystem::rename(other, file);
         },
         "thrEE"},
    };
    std::shared_ptr<const scene> previous = first;
    int calls = 1;
    for (const step& s : steps) {
        SCOPED_TRACE(s.name);
        s.change();
        const auto now = cache.get(file, {}, &reason);
        ASSERT_TRUE(now);
        EXPECT_NE(now, previous);
        EXPECT_EQ(now->nodes[0].name, s.content);
        EXPECT_EQ(loader.calls, ++calls);
        EXPECT_EQ(cache.get(file, {}, &reason), now); // and kept again
        EXPECT_EQ(loader.calls, calls);
        EXPECT_EQ(cache.size(), 1u);
        previous = now;
    }
    // Earlier users keep what they had.
    EXPECT_EQ(first->nodes[0].name, "one");
}

// The caller's progress is what the loader hears; a scene handed out from the cache reads nothing.
TEST(ImportCache, TheCallersProgressReachesTheLoader) {
    tempDir dir;
    countingLoader loader;
    importCache cache(loader.function());
    const auto file = dir.write("a.3ds", "one");
    std::vector<double> heard;
    const importProgress progress = [&](double done) {
        heard.push_back(done);
        return true;
    };
    std::string reason;
    ASSERT_TRUE(cache.get(file, {}, &reason, progress));
    EXPECT_EQ(heard, std::vector<double>{0.5});
    ASSERT_TRUE(cache.get(file, {}, &reason, progress));
    EXPECT_EQ(heard.size(), 1u);
    EXPECT_EQ(loader.calls, 1);
}

TEST(ImportCache, FailuresAreNotKept) {
    tempDir dir;
    countingLoader loader;
    importCache cache(loader.function());
    const auto file = dir.write("a.3ds", "one");
    std::string reason;
    loader.fail = true;
    EXPECT_FALSE(cache.get(file, {}, &reason));
    EXPECT_EQ(reason, "broken");
    loader.fail = false;
    EXPECT_TRUE(cache.get(file, {}, &reason));
    EXPECT_EQ(loader.calls, 2);

    EXPECT_FALSE(cache.get(dir.path() / "missing.3ds", {}, &reason));
    EXPECT_EQ(reason, "No such file or directory");
    EXPECT_EQ(loader.calls, 2);
}

TEST(ImportFile, SharedAcrossCallsAndReportsFailures) {
    ZEL_NEEDS_CORPUS();
    const isolationOptions options = test::testOptions();
    clearImportCache();
    const auto model = test::corpusDir() / "online3dviewer/cube_hierarchy.3ds";
    std::string reason;
    const auto first = importFile(model, options, reason);
    ASSERT_TRUE(first) << reason;
    EXPECT_EQ(importFile(model, options, reason), first);
    EXPECT_EQ(first->nodes.size(), 11u);

    // A failure is the caller's to report: the reason comes back and nothing is printed.
    tempDir dir;
    const auto broken = dir.write("broken.3ds", "not a model");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(importFile(broken, options, reason));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(reason.empty());
}

} // namespace
} // namespace zel::import
