// The host's file broker on its own: which names it grants beneath the model's folder and the
// texture folders, with the kernel's resolution and with the fallback, and its limits.
#include "test_support.h"
#include <zel/import/file_broker.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zel::import {
namespace {

namespace fs = std::filesystem;
using test::tempDir;

void write(const fs::path& file, const std::string& content = "x") {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
}

// Restores the broker's use of openat2 when a test ends.
struct resolution {
    explicit resolution(bool openat2) { brokerUseOpenat2(openat2); }
    ~resolution() { brokerUseOpenat2(true); }
};

class FileBroker : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Resolution, FileBroker, ::testing::Values(true, false),
                         [](const auto& param) { return param.param ? "openat2" : "byComponent"; });

TEST_P(FileBroker, GrantsOnlyFilesOfAModelsTypesBeneathItsFolders) {
    const resolution way(GetParam());
    tempDir models, textures, outside;
    const fs::path folder = models.path();
    write(folder / "house.txt", "the model");
    write(folder / "house.mtl");
    write(folder / "sub/wheel.bin");
    write(folder / "tax.pdf");
    write(folder / "Tax.PDF.obj");
    write(folder / "shout.MTL");
    write(textures.path() / "wall.png");
    write(outside.path() / "secret.mtl");
    fs::create_directory(folder / "dir.obj");
    fs::create_symlink(outside.path() / "secret.mtl", folder / "planted.mtl");
    fs::create_symlink(folder / "house.mtl", folder / "alias.mtl");
    fs::create_symlink(outside.path(), folder / "linked");
    ASSERT_EQ(::mkfifo((folder / "pipe.obj").c_str(), 0600), 0);
    fileBroker broker(folder / "house.txt", {textures.path(), "/"}, {});
    const std::string out = outside.path().filename().string();
    struct ask {
        brokerAsk what;
        std::string name;
        int error; // 0: granted
    };
    const ask cases[] = {
        {brokerAsk::open, "house.txt", 0}, // the model itself, whatever its type
        {brokerAsk::open, (folder / "house.txt").string(), 0},
        {brokerAsk::open, "house.mtl", 0},
        {brokerAsk::open, "./sub/../house.mtl", 0},
        {brokerAsk::open, "sub/wheel.bin", 0},
        {brokerAsk::open, "shout.MTL", 0},      // types ignore case
        {brokerAsk::open, "SHOUT.MTL", ENOENT}, // names do not
        {brokerAsk::open, "Tax.PDF.obj", 0},
        {brokerAsk::open, (textures.path() / "wall.png").string(), 0},
        {brokerAsk::exists, "house.mtl", 0},
        {brokerAsk::open, "tax.pdf", EACCES},
        {brokerAsk::exists, "tax.pdf", EACCES},
        {brokerAsk::open, "missing.obj", ENOENT},
        {brokerAsk::open, "planted.mtl", EACCES}, // a link, wherever it leads
        {brokerAsk::open, "alias.mtl", EACCES},
        {brokerAsk::open, "linked/secret.mtl", EACCES},
        {brokerAsk::open, "../" + out + "/secret.mtl", EACCES},
        {brokerAsk::open, "sub/../../" + out + "/secret.mtl", EACCES},
        {brokerAsk::open, (outside.path() / "secret.mtl").string(), EACCES},
        {brokerAsk::open, "/etc/passwd", EACCES}, // "/" is never a root
        {brokerAsk::open, "dir.obj", EISDIR},
        {brokerAsk::open, "pipe.obj", EACCES}, // and never opened: this would block
        {brokerAsk::open, "", ENOENT},
        {brokerAsk::open, std::string("house.mtl\0.obj", 14), ENOENT},
        {brokerAsk::open, std::string(5000, 'a') + ".obj", ENOENT},
        {brokerAsk::open, std::string(300, 'a') + ".obj", ENAMETOOLONG},
        {brokerAsk::texture, "WALL.PNG", 0}, // pictures: case ignored, the search folders first
        {brokerAsk::texture, "linked/secret.png", ENOENT},
    };
    for (const ask& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 80));
        const brokerAnswer a = broker.answer(c.what, c.name);
        EXPECT_EQ(a.error, c.error) << std::strerror(a.error);
        EXPECT_EQ(bool(a.file), c.error == 0 && c.what != brokerAsk::exists);
        if (a.file) {
            const int flags = ::fcntl(a.file.get(), F_GETFL);
            EXPECT_EQ(flags & O_ACCMODE, O_RDONLY);
            EXPECT_TRUE(::fcntl(a.file.get(), F_GETFD) & FD_CLOEXEC);
        }
    }
    // Each file once, as first granted, with what its descriptor showed.
    std::vector<fs::path> paths;
    for (const grantedFile& g : broker.granted())
        paths.push_back(g.path);
    EXPECT_EQ(paths, (std::vector<fs::path>{folder / "house.txt", folder / "house.mtl",
                                            folder / "sub/wheel.bin", folder / "shout.MTL",
                                            folder / "Tax.PDF.obj", textures.path() / "wall.png"}));
    EXPECT_EQ(broker.granted().front().size, 9u);
    struct stat st {};
    ASSERT_EQ(::stat((folder / "house.txt").c_str(), &st), 0);
    EXPECT_EQ(broker.granted().front().inode, st.st_ino);
    EXPECT_EQ(broker.grantedBytes(), 9u + 5 * 1);
}

// A folder that holds the home folder (or is it) would open the user's files: as the model's folder
// it is searched at its own level only, as a texture folder not at all. Beneath home or beside it,
// a folder is granted whole.
TEST_P(FileBroker, FoldersThatHoldTheHomeFolderAreSearchedAtTheirOwnLevelOnly) {
    const resolution way(GetParam());
    tempDir top;
    const fs::path home = top.path() / "home";
    const fs::path elsewhere = top.path() / "elsewhere";
    write(elsewhere / "other.obj");
    struct row {
        const char* what;
        fs::path folder;
        bool whole;
    };
    const row rows[] = {
        {"the home folder", home, false},
        {"beneath it", home / "models", true},
        {"two levels beneath it", home / "models/cars", true},
        {"above it", top.path(), false},
        {"beside it", top.path() / "work", true},
        {"a name that starts as home's", top.path() / "homework", true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        write(r.folder / "car.obj");
        write(r.folder / "car.mtl");
        write(r.folder / "parts/wheel.mtl");
        write(r.folder / "parts/paint.png");
        fileBroker model(r.folder / "car.obj", {}, home);
        EXPECT_EQ(model.answer(brokerAsk::open, "car.mtl").error, 0);
        EXPECT_EQ(model.answer(brokerAsk::open, "parts/wheel.mtl").error, r.whole ? 0 : EACCES);
        EXPECT_EQ(model.answer(brokerAsk::texture, "parts/paint.png").error, r.whole ? 0 : ENOENT);
        fileBroker textures(elsewhere / "other.obj", {r.folder}, home);
        EXPECT_EQ(textures.answer(brokerAsk::texture, "parts/paint.png").error,
                  r.whole ? 0 : ENOENT);
    }
}

TEST_P(FileBroker, LimitsFilesBytesAndQuestions) {
    const resolution way(GetParam());
    tempDir folder;
    write(folder.path() / "a.obj", "12345");
    write(folder.path() / "b.mtl", "12345");
    write(folder.path() / "c.bin", "1");
    brokerLimits limits;
    limits.maxFiles = 2;
    limits.maxBytes = 10;
    limits.maxRequests = 8;
    fileBroker broker(folder.path() / "a.obj", {}, {}, limits);
    EXPECT_EQ(broker.answer(brokerAsk::open, "a.obj").error, 0);
    EXPECT_EQ(broker.answer(brokerAsk::open, "b.mtl").error, 0);
    EXPECT_EQ(broker.answer(brokerAsk::open, "a.obj").error, 0); // again: no new file
    EXPECT_EQ(broker.answer(brokerAsk::open, "c.bin").error, EMFILE);
    fileBroker bytes(folder.path() / "a.obj", {}, {}, limits);
    write(folder.path() / "d.bin", "123456");
    EXPECT_EQ(bytes.answer(brokerAsk::open, "a.obj").error, 0);
    EXPECT_EQ(bytes.answer(brokerAsk::open, "d.bin").error, EFBIG);
    EXPECT_EQ(bytes.grantedBytes(), 5u);
    // Exactly maxBytes is granted.
    EXPECT_EQ(bytes.answer(brokerAsk::open, "b.mtl").error, 0);
    EXPECT_EQ(bytes.grantedBytes(), 10u);
    // The eighth question is answered, the ninth is not (the three above count).
    for (int i = 4; i <= 8; ++i)
        EXPECT_EQ(bytes.answer(brokerAsk::exists, "a.obj").error, 0) << "question " << i;
    EXPECT_EQ(bytes.answer(brokerAsk::exists, "a.obj").error, EBUSY);
}

} // namespace
} // namespace zel::import
