// What libzel does the system's way, on every system it builds for (this program also runs under
// wine): package lookup through ZEL_PACKAGE_PATH, loading a module from a folder whose name is not
// ASCII, package folders, directory listings, and characters beyond U+FFFF on the console.
#include "test_platform.h"

#include <zel/component.h>
#include <zel/console.h>
#include <zel/xstd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using zel::wstring;

const bool windows = fs::path::preferred_separator == '\\';

fs::path utf8Path(std::string_view text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

std::string utf8(const fs::path& p) {
    const std::u8string bytes = p.u8string();
    return std::string(bytes.begin(), bytes.end());
}

wstring widePath(const fs::path& p) {
    return zel::xstd::fromUtf8(utf8(p));
}

// A fresh folder named after the test, removed at the end.
class scratchFolder {
public:
    explicit scratchFolder(std::string_view leaf) {
        const auto* test = testing::UnitTest::GetInstance()->current_test_info();
        path_ = fs::temp_directory_path() /
                utf8Path("zel-platform-" + std::string(test->name()) + "-" + std::string(leaf));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~scratchFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    scratchFolder(const scratchFolder&) = delete;
    scratchFolder& operator=(const scratchFolder&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// What std::cout and std::wcout write while it lives.
class consoleCapture {
public:
    consoleCapture() {
        std::cout.flush();
        zel::console::install();
        previous_ = std::cout.rdbuf(&buffer_);
    }
    ~consoleCapture() { std::cout.rdbuf(previous_); }
    consoleCapture(const consoleCapture&) = delete;
    consoleCapture& operator=(const consoleCapture&) = delete;
    std::string text() const { return buffer_.str(); }

private:
    std::stringbuf buffer_;
    std::streambuf* previous_;
};

zel::component::packageLoader& loader() {
    return zel::component::packageLoader::getTheSingleton();
}

TEST(Console, charactersBeyondTheBasicPlaneReachStdoutWhole) {
    consoleCapture out;
    std::wcout << zel::xstd::toWide(u"smile \U0001F600 end") << std::endl;
    EXPECT_EQ(out.text(), "smile \xF0\x9F\x98\x80 end\n");
}

TEST(Console, aSurrogatePairSplitAcrossWritesIsJoinedAndLoneHalvesAreReplaced) {
    consoleCapture out;
    // Where wchar_t has 16 bits the two halves of one character may arrive one write at a time.
    std::wcout << static_cast<wchar_t>(0xD83D);
    std::wcout << static_cast<wchar_t>(0xDE00) << L"|";
    std::wcout << static_cast<wchar_t>(0xD83D) << L"x" << static_cast<wchar_t>(0xDE00) << L"|";
    std::wcout << static_cast<wchar_t>(0xD83D) << std::flush;
    EXPECT_EQ(out.text(), "\xF0\x9F\x98\x80|\xEF\xBF\xBDx\xEF\xBF\xBD|\xEF\xBF\xBD");
}

TEST(Loader, packagePathIsSplitAtTheSystemsListSeparator) {
    scratchFolder first("first"), second("second");
    const std::string separator = windows ? ";" : ":";
    rec::setEnvironment("ZEL_PACKAGE_PATH", utf8(first.path()) + separator + separator +
                                                utf8(second.path()) + separator);
    const std::vector<wstring> folders = loader().getSearchFolders();
    rec::unsetEnvironment("ZEL_PACKAGE_PATH");
    const auto at = [&folders](const fs::path& p) {
        return std::find(folders.begin(), folders.end(), widePath(p.lexically_normal()));
    };
    ASSERT_NE(at(first.path()), folders.end());
    EXPECT_EQ(at(first.path()) + 1, at(second.path()));
}

TEST(Loader, namesWithAFolderSeparatorOfTheSystemAreRefused) {
    std::string reason;
    EXPECT_EQ(loader().load(u"a/b", &reason), nullptr);
    EXPECT_EQ(reason.rfind("invalid package name", 0), 0u) << reason;
    EXPECT_EQ(loader().load(u"a\\b", &reason), nullptr);
    // A backslash separates folders on Windows only; elsewhere it is a character of the name.
    EXPECT_EQ(reason.rfind("invalid package name", 0) == 0, windows) << reason;
}

TEST(Loader, aFileThatIsNoModuleFailsWithOneLineNamingIt) {
    scratchFolder folder("bad");
    const fs::path file = folder.path() / "garbage.bin";
    std::ofstream(file) << "this is not a module\n";
    std::string reason;
    EXPECT_EQ(loader().loadFile(widePath(file), &reason), nullptr);
    EXPECT_EQ(reason.rfind("cannot load ", 0), 0u) << reason;
    const std::size_t named = reason.find("garbage.bin: ");
    ASSERT_NE(named, std::string::npos) << reason;
    EXPECT_GT(reason.size(), named + 16) << "the system's reason is missing: " << reason;
    EXPECT_EQ(reason.find('\n'), std::string::npos) << reason;
    EXPECT_EQ(reason.find('\r'), std::string::npos) << reason;
}

TEST(Package, directoryEndsAtEverySeparatorOfTheSystem) {
    zel::component::defaultPackage package(u"pkg");
    package.setFileName(u"C:\\zel\\packages\\pkg.dll");
    EXPECT_EQ(package.getDirectory(), windows ? u"C:\\zel\\packages" : u"");
    package.setFileName(u"/opt/zel/pkg");
    EXPECT_EQ(package.getDirectory(), u"/opt/zel");
}

TEST(Directory, listsNamesBeyondAsciiAsTheirCharacters) {
    scratchFolder folder("list");
    for (const char* name : {"Modèle.3ds", "日本.3ds", "\xF0\x9F\x98\x80.3ds"})
        std::ofstream(folder.path() / utf8Path(name)).put('\n');
    const zel::xstd::directory listing(widePath(folder.path()));
    EXPECT_EQ(listing.getFiles(),
              (std::vector<wstring>{u"Mod\u00E8le.3ds", u"\u65E5\u672C.3ds", u"\U0001F600.3ds"}));
}

// Last: the package stays loaded once found.
TEST(Loader, findsThePackageInAFolderNamedBeyondAsciiThroughTheEnvironment) {
    scratchFolder folder("Pak\xC3\xA9te-\xE6\x97\xA5\xE6\x9C\xAC");
    const fs::path module = utf8Path(PROPPLACER_MODULE);
    fs::copy_file(module, folder.path() / module.filename());
    rec::setEnvironment("ZEL_PACKAGE_PATH", utf8(folder.path()));
    std::string reason;
    zel::component::iPackage* package = loader().load(u"propplacer", &reason);
    rec::unsetEnvironment("ZEL_PACKAGE_PATH");
    ASSERT_NE(package, nullptr) << reason;
    EXPECT_EQ(package->getName(), u"propplacer");
    EXPECT_TRUE(fs::equivalent(fs::path(std::u16string(package->getDirectory())), folder.path()))
        << zel::xstd::toUtf8(package->getDirectory());
    EXPECT_EQ(loader().load(u"propplacer"), package);
}

} // namespace
