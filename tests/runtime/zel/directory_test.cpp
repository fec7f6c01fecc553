#include <zel/xstd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using zel::xstd::directory;

class Directory : public testing::Test {
protected:
    void SetUp() override {
        root_ = fs::path(testing::TempDir()) /
                ("zel_directory_" + std::to_string(getpid()) + "_" +
                 testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    void touch(const std::string& name) { std::ofstream(root_ / name) << "x"; }
    std::u16string folder() const { return zel::xstd::fromUtf8(root_.native()); }

    fs::path root_;
};

TEST_F(Directory, ListsRegularFilesSortedByCodeUnits) {
    // U+1F600 is stored as D83D DE00, which sorts before U+FF21 by code units though it comes after
    // it by code points.
    for (const char* name : {"b.3ds", "B.3DS", "a.3ds", "_under", "\xC3\xA9t\xC3\xA9",
                             "\xEF\xBC\xA1wide", "\xF0\x9F\x98\x80smile", "Z"})
        touch(name);
    fs::create_directory(root_ / "sub.3ds");
    fs::create_symlink(root_ / "a.3ds", root_ / "link.3ds");
    fs::create_directory_symlink(root_ / "sub.3ds", root_ / "dirlink");
    fs::create_symlink(root_ / "missing", root_ / "dangling");

    const directory listing(folder());
    EXPECT_EQ(listing.getName(), folder());
    const std::vector<std::u16string> expected{
        u"B.3DS",     u"Z",        u"_under",        u"a.3ds",
        u"b.3ds",     u"link.3ds", u"\u00E9t\u00E9", u"\xD83D\xDE00smile",
        u"\uFF21wide"};
    EXPECT_EQ(listing.getFiles(), expected);

    std::vector<std::u16string> walked;
    for (auto it = listing.getFileIterator(); it.isValid(); it.advance())
        walked.push_back(it.getCurrent());
    EXPECT_EQ(walked, expected);
}

TEST_F(Directory, NameThatIsNotUtf8RoundTrips) {
    const std::string raw = "model\xFF\xC0.3ds";
    touch(raw);
    const directory listing(folder());
    ASSERT_EQ(listing.getFiles().size(), 1u);
    const std::u16string name = listing.getFiles()[0];
    EXPECT_EQ(name, u"model\xDCFF\xDCC0.3ds");
    const std::string back = zel::xstd::toUtf8(folder() + u"/" + name);
    EXPECT_EQ(back, (root_ / raw).native());
    EXPECT_TRUE(fs::is_regular_file(back));
}

TEST_F(Directory, MissingOrNonFolderListsNothing) {
    touch("plain");
    for (const std::u16string& f : {folder() + u"/absent", folder() + u"/plain", std::u16string(),
                                    std::u16string(u"\0", 1)}) {
        SCOPED_TRACE(zel::xstd::toUtf8(f));
        const directory listing(f);
        EXPECT_TRUE(listing.getFiles().empty());
        EXPECT_FALSE(listing.getFileIterator().isValid());
    }
}

TEST_F(Directory, ListingIsASnapshot) {
    touch("one");
    const directory listing(folder());
    touch("two");
    fs::remove(root_ / "one");
    EXPECT_EQ(listing.getFiles(), std::vector<std::u16string>{u"one"});
}

} // namespace
