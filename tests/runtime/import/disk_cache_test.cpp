// The persistent import cache: never a stale or a wrong model, whatever happened to the files it
// was made from or to its own folder.
#include "test_support.h"
#include <zel/import/disk_cache.h>
#include <zel/import/model_import.h>
#include <zel/import/scene_codec.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
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
    return {true, folder, maxBytes, {}};
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
        const std::optional<digest> key = importKey(file, test::testOptions());
        return key && persistentCache()->find(diskCache::kind::import, *key).has_value();
    }
    tempDir cache;
};

// The file as the broker would grant it now.
grantedFile grantOf(const fs::path& file) {
    struct stat st {};
    EXPECT_EQ(::stat(file.c_str(), &st), 0);
    auto ns = [](const timespec& t) { return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec; };
    return {file,
            static_cast<std::uint64_t>(st.st_dev),
            static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_size),
            ns(st.st_mtim),
            ns(st.st_ctim),
            static_cast<std::uint64_t>(st.st_blocks) * 512};
}

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

// A change to an input that was missing at the first import, or one rewritten in place while the
// host runs, is seen by the process's own cache without clearing it, and by the persistent one.
TEST_F(persistentImport, AnInputThatAppearsOrChangesIsSeenByBothCaches) {
    auto reddish = [](const scene& s) {
        return std::any_of(s.materials.begin(), s.materials.end(),
                           [](const material& m) { return m.diffuse[0] > 0.85f; });
    };
    struct row {
        const char* name;
        std::function<void(const fs::path&)> before, change;
        std::function<bool(const scene&)> first, second;
    };
    const std::string subfolderMtl = "newmtl skin\nKd 0.1 0.5 0.5\nmap_Kd maps/skin.tga\n";
    const std::vector<row> rows{
        {"a material library missing, then there", [](const fs::path&) {},
         [](const fs::path& dir) { std::ofstream(dir / "house.mtl") << mtlText('9'); },
         [&](const scene& s) { return !reddish(s); }, reddish},
        {"a texture missing in an existing subfolder, then there",
         [&](const fs::path& dir) {
             fs::create_directory(dir / "maps");
             std::ofstream(dir / "house.mtl") << subfolderMtl;
         },
         [](const fs::path& dir) { writeTga(dir / "maps" / "skin.tga", 200); },
         [](const scene& s) { return s.textures.empty(); },
         [](const scene& s) { return s.textures.size() == 1; }},
        {"a material library rewritten in place, same size and time",
         [](const fs::path& dir) { std::ofstream(dir / "house.mtl") << mtlText('1'); },
         [](const fs::path& dir) { rewriteInPlace(dir / "house.mtl", mtlText('9')); },
         [&](const scene& s) { return !reddish(s); }, reddish},
    };
    for (const bool clearing : {false, true}) {
        for (const row& r : rows) {
            SCOPED_TRACE(std::string(r.name) + (clearing ? ", persistent cache" : ", in memory"));
            tempDir models;
            const fs::path model = models.write("house.obj", objText('1'));
            r.before(models.path());
            letTheClockPass();
            std::string reason;
            std::shared_ptr<const scene> first = importFile(model, test::testOptions(), reason);
            ASSERT_TRUE(first) << reason;
            ASSERT_TRUE(r.first(*first));
            persistentCache()->flush();
            ASSERT_TRUE(held(model)) << "the entry was not kept, so nothing here is tested";
            r.change(models.path());
            if (clearing)
                clearImportCache();
            std::shared_ptr<const scene> second = importFile(model, test::testOptions(), reason);
            ASSERT_TRUE(second) << reason;
            EXPECT_TRUE(r.second(*second));
            persistentCache()->flush();
            clearImportCache();
        }
    }
}

// The key names the file, however a path reaches it, and its content: another file with the same
// bytes has another key.
TEST(DiskCache, TheKeyNamesTheFileHoweverItIsReached) {
    tempDir models;
    const isolationOptions options = test::testOptions();
    const fs::path model = models.write("m.3ds", "same bytes");
    fs::create_directory(models.path() / "sub");
    fs::create_symlink(model, models.path() / "link.3ds");
    const std::optional<digest> key = importKey(model, options);
    ASSERT_TRUE(key);
    for (const fs::path& other :
         {models.path() / "sub" / ".." / "m.3ds", models.path() / "link.3ds"})
        EXPECT_EQ(importKey(other, options), key) << other;
    EXPECT_NE(importKey(models.write("n.3ds", "same bytes"), options), key);
    EXPECT_FALSE(importKey(models.path() / "missing.3ds", options));
}

// Hashing stops where the broker's limit does: a model one byte over it gets no key, known from
// its size alone (a sparse file of 8 GiB holds no data to read), and what a lookup may hash is
// capped the same way.
TEST(DiskCache, AModelOverTheBrokersLimitGetsNoKeyUnread) {
    tempDir models;
    isolationOptions options = test::testOptions();
    options.fileLimits.maxBytes = 4096;
    struct row {
        std::uint64_t size;
        bool key;
    };
    for (const row& r : {row{4095, true}, row{4096, true}, row{4097, false}}) {
        SCOPED_TRACE(r.size);
        const fs::path model = models.write("m" + std::to_string(r.size) + ".3ds", "");
        fs::resize_file(model, r.size);
        EXPECT_EQ(importKey(model, options).has_value(), r.key);
        hashBudget budget;
        budget.bytes = 4096;
        EXPECT_EQ(contentDigest(model, &budget).has_value(), r.key);
    }
    const fs::path sparse = models.write("sparse.3ds", "");
    fs::resize_file(sparse, std::uint64_t{8} << 30);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(importKey(sparse, test::testOptions()).has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(DiskCache, HashingStopsWhenTheCallerCancels) {
    tempDir models;
    const fs::path file = models.write("big.bin", std::string(std::size_t{4} << 20, 'x'));
    hashBudget budget;
    int asked = 0;
    budget.keepGoing = [&] { return ++asked < 2; };
    EXPECT_FALSE(contentDigest(file, &budget).has_value());
    EXPECT_TRUE(budget.cancelled);
    EXPECT_EQ(asked, 2);
}

// An entry is written only from the files the helper was given: one replaced since (another
// inode), or grown, is not hashed in their stead.
TEST(DiskCache, OnlyTheGrantedFileIsRecorded) {
    tempDir models;
    const fs::path file = models.write("skin.mtl", mtlText('1'));
    letTheClockPass();
    struct row {
        const char* name;
        std::function<void()> change;
        bool recorded;
    };
    const std::vector<row> rows{
        {"unchanged", [] {}, true},
        {"replaced by a look-alike",
         [&] {
             models.write("other.mtl", mtlText('1'));
             fs::rename(models.path() / "other.mtl", file);
         },
         false},
        {"grown", [&] { std::ofstream(file, std::ios::app) << "\n"; }, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        models.write("skin.mtl", mtlText('1'));
        importInputs inputs;
        inputs.files = {grantOf(file)};
        letTheClockPass();
        r.change();
        EXPECT_EQ(recordInputs(inputs, coarseNowNs() + 1).has_value(), r.recorded);
    }
}

// A texture swapped for a huge sparse file, or an entry whose header announces 8 GiB, is refused
// by its size before it is read.
TEST(DiskCache, SizesAreComparedBeforeAnythingIsRead) {
    tempDir folder, models;
    diskCache cache(settingsIn(folder.path()));
    const fs::path texture = models.write("skin.tga", "tga");
    letTheClockPass();
    importInputs inputs;
    inputs.files = {grantOf(texture)};
    const auto sample = std::make_shared<const scene>(test::sampleScene());
    cache.storeImport(keyOf(1), inputs, coarseNowNs() + 1, sample);
    cache.flush();
    ASSERT_TRUE(cache.find(diskCache::kind::import, keyOf(1)));
    fs::resize_file(texture, std::uint64_t{8} << 30);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(cache.find(diskCache::kind::import, keyOf(1)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

    // The entry's header, made to announce an encoding of 8 GiB, and the file made that large.
    const fs::path entry = cache.entryPath(diskCache::kind::import, keyOf(1));
    std::string bytes = test::readBytes(entry);
    const std::uint64_t inputsBytes = [&] {
        std::uint64_t n = 0;
        std::memcpy(&n, bytes.data() + 48, 8);
        return n;
    }();
    const std::uint64_t encodingBytes = std::uint64_t{8} << 30;
    std::memcpy(bytes.data() + 56, &encodingBytes, 8);
    std::ofstream(entry, std::ios::binary | std::ios::trunc) << bytes.substr(0, 64 + inputsBytes);
    fs::resize_file(entry, 64 + inputsBytes + encodingBytes + 8);
    start = std::chrono::steady_clock::now();
    std::string complaint;
    EXPECT_FALSE(cache.find(diskCache::kind::import, keyOf(1), &complaint));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_NE(complaint.find("larger than the cache keeps"), std::string::npos) << complaint;
}

// An entry is read only when its encoding is within what this cache would write (half its
// bound); the size is taken from the header before the encoding is read.
TEST(DiskCache, AnEntryLargerThanTheCacheKeepsIsRefusedAtTheEdge) {
    tempDir folder;
    const scene sample = test::sampleScene();
    const std::uint64_t encoding = encodedSize(sample);
    {
        diskCache writer(settingsIn(folder.path()));
        writer.storeImport(keyOf(1), {}, coarseNowNs() + 1, std::make_shared<const scene>(sample));
    }
    struct row {
        std::uint64_t bound;
        bool found;
    };
    for (const row& r :
         {row{2 * encoding + 2, true}, row{2 * encoding, true}, row{2 * encoding - 2, false}}) {
        SCOPED_TRACE(r.bound);
        diskCache reader(settingsIn(folder.path(), r.bound));
        std::string complaint;
        EXPECT_EQ(reader.find(diskCache::kind::import, keyOf(1), &complaint).has_value(), r.found);
        EXPECT_EQ(complaint.find("larger than the cache keeps") != std::string::npos, !r.found)
            << complaint;
    }
}

// The cache folder is used only when it is this user's and nobody else may write in it; refused,
// the cache is off and the reason is one line.
TEST(DiskCache, AFolderOthersMayWriteOrThatIsNotTheUsersIsNotUsed) {
    tempDir base;
    const fs::path folder = base.path() / "propplacer" / "imports";
    struct row {
        const char* name;
        std::function<void()> make;
        const char* why; // empty: used
    };
    const std::vector<row> rows{
        {"made afresh", [] {}, ""},
        {"others may write in it",
         [&] {
             fs::create_directories(folder);
             fs::permissions(folder, fs::perms::all);
         },
         "may be written by others (mode 0777)"},
        {"its group may write in its parent",
         [&] {
             fs::create_directories(folder);
             fs::permissions(base.path() / "propplacer",
                             fs::perms::owner_all | fs::perms::group_all);
         },
         "may be written by others (mode 0770)"},
        {"a link to another folder",
         [&] {
             fs::create_directories(base.path() / "elsewhere");
             fs::create_directories(folder.parent_path());
             fs::create_directory_symlink(base.path() / "elsewhere", folder);
         },
         "is a link"},
        {"another user's",
         [&] {
             fs::create_directories(folder);
             ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
         },
         "belongs to another user"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        if (std::string_view(r.name) == "another user's" && ::geteuid() != 0) {
            std::cout << "not root: another user's folder is not tried\n";
            continue;
        }
        fs::remove_all(base.path() / "propplacer");
        fs::remove_all(base.path() / "elsewhere");
        r.make();
        cacheSettings settings = settingsIn(folder);
        settings.base = base.path();
        std::string why;
        const int fd = openCacheFolder(settings, &why);
        if (fd >= 0)
            ::close(fd);
        diskCache cache(settings);
        cache.storeImport(keyOf(1), {}, coarseNowNs() + 1,
                          std::make_shared<const scene>(test::sampleScene()));
        cache.flush();
        if (*r.why == '\0') {
            EXPECT_GE(fd, 0) << why;
            EXPECT_TRUE(cache.settings().enabled);
            EXPECT_TRUE(cache.holds(diskCache::kind::import, keyOf(1)));
            struct stat st {};
            ASSERT_EQ(::stat(folder.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0700u);
            continue;
        }
        EXPECT_LT(fd, 0);
        EXPECT_NE(why.find(r.why), std::string::npos) << why;
        EXPECT_EQ(why.find('\n'), std::string::npos);
        EXPECT_FALSE(cache.settings().enabled);
        EXPECT_FALSE(fs::exists(cache.entryPath(diskCache::kind::import, keyOf(1))));
        EXPECT_FALSE(fs::exists(base.path() / "elsewhere" / ("i-" + hexOf(keyOf(1)))));
    }
}

// Entries and temporary files of another user are neither used nor removed; a temporary file is
// removed only when it was left over an hour ago (another host may still be writing it).
TEST(DiskCache, TheTrimRemovesOnlyThisUsersOldLeftovers) {
    tempDir folder;
    diskCache cache(settingsIn(folder.path(), 1));
    const std::int64_t now = coarseNowNs() / 1'000'000'000;
    struct row {
        const char* name;
        std::int64_t age; // seconds
        bool foreign;
        bool stays;
    };
    std::vector<row> rows{
        {"tmp-a", 3600 - 60, false, true},
        {"tmp-b", 3600 + 60, false, false},
        {"tmp-c", 0, false, true},
    };
    const bool root = ::geteuid() == 0;
    if (root) {
        rows.push_back({"tmp-d", 3600 + 60, true, true});
        rows.push_back({"i-foreign", 3600 + 60, true, true});
    } else {
        std::cout << "not root: another user's files are not tried\n";
    }
    for (const row& r : rows) {
        const fs::path file = folder.write(r.name, "left over");
        const timespec t[2] = {{now - r.age, 0}, {now - r.age, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), t, 0), 0);
        if (r.foreign) {
            ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
        }
    }
    cache.trim();
    for (const row& r : rows)
        EXPECT_EQ(fs::exists(folder.path() / r.name), r.stays) << r.name;
    if (root) {
        // Under this key, yet not this user's: passed over.
        const fs::path planted = cache.entryPath(diskCache::kind::import, keyOf(5));
        fs::rename(folder.path() / "i-foreign", planted);
        std::string complaint;
        EXPECT_FALSE(cache.find(diskCache::kind::import, keyOf(5), &complaint));
        EXPECT_TRUE(complaint.empty()) << complaint;
        EXPECT_TRUE(fs::exists(planted));
    }
}

} // namespace
} // namespace zel::import
