// The persistent import cache: never a stale or a wrong model, whatever happened to the files it
// was made from or to its own folder.
#include "test_support.h"
#include <zel/import/disk_cache.h>
#include <zel/import/model_import.h>
#include <zel/import/scene_codec.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zel::import {
namespace {

namespace fs = std::filesystem;
using test::tempDir;

cacheSettings settingsIn(const fs::path& folder, std::uint64_t maxBytes = std::uint64_t{1} << 30) {
    return {true, folder, maxBytes};
}

digest keyOf(std::uint8_t n) {
    digest d{};
    d.fill(n);
    return d;
}

// The file times the kernel gives lag behind the clock by up to a tick: a file written just now
// may look as if written during an import that starts now, which is then not kept.
void letTheClockPass() {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

std::vector<fs::path> filesIn(const fs::path& folder) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        out.push_back(e.path());
    return out;
}

// An uncompressed 2 x 2 TGA of one colour.
void writeTga(const fs::path& file, std::uint8_t red) {
    std::string bytes(18, '\0');
    bytes[2] = 2;  // true colour
    bytes[12] = 2; // width
    bytes[14] = 2; // height
    bytes[16] = 24;
    for (int i = 0; i < 4; ++i)
        bytes += std::string{'\0', '\0', static_cast<char>(red)}; // blue, green, red
    std::ofstream(file, std::ios::binary) << bytes;
}

// Rewrites file with content of the same size and gives it back its modification time, as a
// tool that edits in place within one second may.
void rewriteInPlace(const fs::path& file, const std::string& content) {
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    ASSERT_EQ(content.size(), static_cast<std::size_t>(before.st_size));
    std::ofstream(file, std::ios::binary | std::ios::in) << content;
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

class persistentImport : public ::testing::Test {
protected:
    void SetUp() override {
        clearImportCache();
        usePersistentCache(settingsIn(cache.path()));
    }
    void TearDown() override {
        usePersistentCache({});
        clearImportCache();
    }
    // Imports file as the reader does, the entry then written; the process's own cache forgotten
    // so that the next import asks the persistent one.
    std::shared_ptr<const scene> importNow(const fs::path& file) {
        std::string reason;
        auto s = importFile(file, test::testOptions(), reason);
        EXPECT_TRUE(s) << reason;
        persistentCache()->flush();
        clearImportCache();
        return s;
    }
    bool held(const fs::path& file) {
        const std::optional<digest> key = importKey(fs::canonical(file), test::testOptions());
        return key && persistentCache()->find(diskCache::kind::import, *key).has_value();
    }
    tempDir cache;
};

// A triangle whose second corner lies at x, with the material "skin" of house.mtl.
std::string objText(char x) {
    return std::string("mtllib house.mtl\nv 0 0 0\nv ") + x +
           " 0 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 0 1\nusemtl skin\nf 1/1 2/2 3/3\n";
}
std::string mtlText(char red) {
    return std::string("newmtl skin\nKd 0.") + red + " 0.5 0.5\nmap_Kd skin.tga\n";
}

TEST_F(persistentImport, AChangedModelCompanionOrTextureIsNeverServedStale) {
    struct row {
        const char* name;
        std::function<void(const fs::path&)> change;
        std::function<bool(const scene&)> changed;
    };
    const std::vector<row> rows{
        {"the model, in place, same size and time",
         [](const fs::path& dir) { rewriteInPlace(dir / "house.obj", objText('2')); },
         [](const scene& s) { return s.meshes.at(0).positions.at(3) == 2.0f; }},
        {"its material library",
         [](const fs::path& dir) { rewriteInPlace(dir / "house.mtl", mtlText('9')); },
         [](const scene& s) {
             return std::any_of(s.materials.begin(), s.materials.end(),
                                [](const material& m) { return m.diffuse[0] > 0.85f; });
         }},
        {"its texture", [](const fs::path& dir) { writeTga(dir / "skin.tga", 7); },
         [](const scene& s) { return s.textures.at(0).rgba.at(0) == 7; }},
        {"its texture removed",
         [](const fs::path& dir) {
             fs::rename(dir / "skin.tga", dir / "elsewhere.tga");
             ASSERT_EQ(test::readBytes(dir / "house.mtl"), mtlText('1'));
         },
         [](const scene& s) { return s.textures.empty(); }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        tempDir models;
        const fs::path model = models.write("house.obj", objText('1'));
        models.write("house.mtl", mtlText('1'));
        writeTga(models.path() / "skin.tga", 200);
        letTheClockPass();
        std::shared_ptr<const scene> first = importNow(model);
        ASSERT_TRUE(first);
        ASSERT_EQ(first->textures.size(), 1u);
        ASSERT_FALSE(r.changed(*first));
        ASSERT_TRUE(held(model)) << "the entry was not kept, so nothing here is tested";
        r.change(models.path());
        std::shared_ptr<const scene> second = importNow(model);
        ASSERT_TRUE(second);
        EXPECT_TRUE(r.changed(*second));
    }
    // The other way round: a texture missing at the first import, found at the second.
    tempDir models;
    const fs::path model = models.write("house.obj", objText('1'));
    models.write("house.mtl", mtlText('1'));
    letTheClockPass();
    ASSERT_TRUE(importNow(model)->textures.empty());
    ASSERT_TRUE(held(model));
    writeTga(models.path() / "skin.tga", 200);
    EXPECT_EQ(importNow(model)->textures.size(), 1u);
}

TEST(DiskCache, DamagedTruncatedAndForeignEntriesAreRefusedWithOneLine) {
    tempDir folder;
    diskCache cache(settingsIn(folder.path()));
    const scene sample = test::sampleScene();
    const digest key = keyOf(1);
    auto store = [&] {
        cache.storeImport(key, {}, coarseNowNs() + 1, std::make_shared<const scene>(sample));
        cache.flush();
    };
    store();
    ASSERT_EQ(cache.find(diskCache::kind::import, key), sample);
    const fs::path entry = cache.entryPath(diskCache::kind::import, key);
    const std::string whole = test::readBytes(entry);

    struct row {
        const char* name;
        std::function<std::string(std::string)> damage;
        const char* complaint;
    };
    std::vector<row> rows{
        {"empty", [](std::string) { return std::string(); }, "truncated"},
        {"cut in the header", [](std::string b) { return b.substr(0, 30); }, "truncated"},
        {"cut in the encoding", [](std::string b) { return b.substr(0, b.size() / 2); },
         "truncated"},
        {"last byte missing", [](std::string b) { return b.substr(0, b.size() - 1); }, "truncated"},
        {"a byte more", [](std::string b) { return b + 'x'; }, "truncated"},
        {"another magic", [](std::string b) { return b.replace(0, 1, "Y"); }, "not one of"},
        {"another key's entry", [](std::string b) { return b.replace(20, 1, "\x02"); },
         "not one of"},
    };
    // Bit flips over the encoding and the checksum.
    for (std::size_t at :
         {std::size_t{70}, std::size_t{100}, whole.size() / 2, whole.size() - 9, whole.size() - 1})
        rows.push_back({"a bit flipped",
                        [at](std::string b) {
                            b[at] = static_cast<char>(b[at] ^ 0x10);
                            return b;
                        },
                        ""});
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::ofstream(entry, std::ios::binary | std::ios::trunc) << r.damage(whole);
        std::string complaint;
        EXPECT_FALSE(cache.find(diskCache::kind::import, key, &complaint).has_value());
        EXPECT_NE(complaint.find("entry " + hexOf(key).substr(0, 12)), std::string::npos)
            << complaint;
        EXPECT_NE(complaint.find(r.complaint), std::string::npos) << complaint;
        EXPECT_EQ(complaint.find('\n'), std::string::npos);
        EXPECT_FALSE(fs::exists(entry)) << "a damaged entry stays";
        store();
        EXPECT_EQ(cache.find(diskCache::kind::import, key), sample);
    }
}

TEST(DiskCache, AnAssetIsFoundOnlyUnderItsOwnHash) {
    tempDir folder;
    diskCache cache(settingsIn(folder.path()));
    const std::vector<std::byte> blob = encode(test::sampleScene());
    // The encoding's SHA-256, as the shared scene names it: what a wrong name must not pass.
    std::optional<digest> right;
    {
        const fs::path file = folder.path() / "blob";
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(blob.data()), std::streamsize(blob.size()));
        right = contentDigest(file);
        fs::remove(file);
    }
    ASSERT_TRUE(right);
    keepAsset(&cache, hexOf(*right), blob);
    keepAsset(&cache, hexOf(keyOf(9)), blob);
    cache.flush();
    std::ostringstream err;
    const auto found = cachedAsset(&cache, hexOf(*right), err);
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, test::sampleScene());
    EXPECT_FALSE(cachedAsset(&cache, hexOf(keyOf(9)), err));
    EXPECT_NE(err.str().find("does not match its hash"), std::string::npos) << err.str();
}

TEST(DiskCache, TwoHostsFillingOneFolderAtOnceNeverShowHalfAnEntry) {
    tempDir folder;
    diskCache first(settingsIn(folder.path())), second(settingsIn(folder.path()));
    scene a = test::sampleScene(), b = test::sampleScene();
    b.nodes[0].name = "the other host's";
    const digest key = keyOf(3);
    std::atomic<bool> writing{true};
    std::atomic<int> damaged{0}, found{0};
    std::thread reader([&] {
        diskCache third(settingsIn(folder.path()));
        while (writing) {
            std::string complaint;
            if (std::optional<scene> s = third.find(diskCache::kind::import, key, &complaint)) {
                EXPECT_TRUE(*s == a || *s == b);
                ++found;
            }
            if (!complaint.empty())
                ++damaged;
        }
    });
    for (int i = 0; i < 40; ++i) {
        first.storeImport(key, {}, coarseNowNs() + 1, std::make_shared<const scene>(a));
        second.storeImport(key, {}, coarseNowNs() + 1, std::make_shared<const scene>(b));
        first.flush();
        second.flush();
    }
    writing = false;
    reader.join();
    EXPECT_EQ(damaged, 0);
    EXPECT_GT(found, 0);
    EXPECT_EQ(filesIn(folder.path()).size(), 1u) << "temporary files left";
}

TEST(DiskCache, TheSizeBoundRemovesTheLeastRecentlyUsedFirst) {
    tempDir folder;
    const scene sample = test::sampleScene();
    // An entry: its header and empty list of inputs (68 bytes), the encoding, the checksum.
    const std::uint64_t one = 68 + encodedSize(sample) + 8;
    // Room for three entries and a little.
    diskCache cache(settingsIn(folder.path(), 3 * one + 10));
    for (std::uint8_t n = 1; n <= 3; ++n) {
        cache.storeImport(keyOf(n), {}, coarseNowNs() + 1, std::make_shared<const scene>(sample));
        cache.flush();
        // Entries a second apart in their last use, the first oldest.
        const timespec t[2] = {{1'000'000 + n, 0}, {1'000'000 + n, 0}};
        ::utimensat(AT_FDCWD, cache.entryPath(diskCache::kind::import, keyOf(n)).c_str(), t, 0);
    }
    // A use makes the oldest the newest.
    ASSERT_TRUE(cache.find(diskCache::kind::import, keyOf(1)));
    cache.storeImport(keyOf(4), {}, coarseNowNs() + 1, std::make_shared<const scene>(sample));
    cache.flush();
    auto holds = [&](std::uint8_t n) {
        return fs::exists(cache.entryPath(diskCache::kind::import, keyOf(n)));
    };
    EXPECT_TRUE(holds(1));
    EXPECT_FALSE(holds(2));
    EXPECT_TRUE(holds(3));
    EXPECT_TRUE(holds(4));
    EXPECT_EQ(cache.trim(), 3 * one);
}

} // namespace
} // namespace zel::import
