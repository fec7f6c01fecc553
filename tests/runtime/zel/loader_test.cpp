// The package loader through real modules: the toy package and the broken ones beside it.
#include "toy.h"
#include <zel/component.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

using namespace zel::component;
namespace fs = std::filesystem;

const std::string pkgDir = ZEL_TESTPKG_DIR;

packageLoader& loader() {
    packageLoader& l = packageLoader::getTheSingleton();
    l.addSearchFolder(zel::xstd::widen(pkgDir));
    return l;
}

// Whether the dynamic linker still has the file loaded.
bool stillLoaded(const std::string& file) {
    void* h = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h)
        dlclose(h);
    return h != nullptr;
}

TEST(Loader, LoadsTheToyPackageByNameOnce) {
    std::string reason;
    iPackage* first = loader().load(u"toypkg", &reason);
    ASSERT_NE(first, nullptr) << reason;
    EXPECT_EQ(first->getName(), u"toypkg");
    EXPECT_EQ(first->getFileName(), zel::xstd::widen(pkgDir + "/libtoypkg.so"));
    EXPECT_EQ(first->getDirectory(), zel::xstd::widen(pkgDir));
    EXPECT_EQ(loader().load(u"toypkg"), first);
    EXPECT_EQ(loader().loadFile(zel::xstd::widen(pkgDir + "/./libtoypkg.so")), first);

    // Its class is reachable through the registry and makes working objects.
    iClassInfo* info = classRegistry::getTheSingleton().findInterface(zeltest::iToy::IID);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->getPackage(), first);
    auto* toy = static_cast<zeltest::iToy*>(info->create(typeid(zeltest::iToy)));
    ASSERT_NE(toy, nullptr);
    EXPECT_EQ(toy->answer(), 42);
    delete toy;
}

TEST(Loader, FailuresNameTheFileAndTheCause) {
    struct failure {
        const char* name;
        std::u16string package;
        std::string reason; // exact, or the start of it when prefixOnly
        bool prefixOnly;
    };
    const failure cases[] = {
        {"no initPackage", u"noinitpkg", pkgDir + "/libnoinitpkg.so has no initPackage", false},
        {"null package", u"nullpkg",
         "initPackage of " + pkgDir + "/libnullpkg.so returned no package", false},
        {"not a shared object", u"notelfpkg", "cannot load " + pkgDir + "/libnotelfpkg.so: ", true},
        {"no such package", u"nosuchpkg", "no libnosuchpkg.so in: " + pkgDir + ", ", true},
        {"folder in the name", u"../toypkg", "invalid package name \"../toypkg\"", false},
        {"empty name", u"", "invalid package name \"\"", false},
    };
    for (const failure& c : cases) {
        SCOPED_TRACE(c.name);
        std::string reason = "untouched";
        EXPECT_EQ(loader().load(c.package, &reason), nullptr);
        if (c.prefixOnly) {
            EXPECT_EQ(reason.substr(0, c.reason.size()), c.reason) << reason;
        } else {
            EXPECT_EQ(reason, c.reason);
        }
        EXPECT_EQ(reason.find('\n'), std::string::npos);
        if (c.prefixOnly) {
            EXPECT_GT(reason.size(), c.reason.size()) << "the cause is missing";
        }
        // A second attempt fails the same way: failures are not remembered as packages.
        std::string again;
        EXPECT_EQ(loader().load(c.package, &again), nullptr);
        EXPECT_EQ(again, reason);
    }
    // A failed load closes the library again.
    EXPECT_FALSE(stillLoaded(pkgDir + "/libnoinitpkg.so"));
    EXPECT_FALSE(stillLoaded(pkgDir + "/libnullpkg.so"));
}

TEST(Loader, MissingFileReasonIsOneLine) {
    std::string reason;
    EXPECT_EQ(loader().loadFile(u"/nonexistent/libgone.so", &reason), nullptr);
    EXPECT_EQ(reason.rfind("cannot load /nonexistent/libgone.so: ", 0), 0u) << reason;
    EXPECT_NE(reason.find("No such file"), std::string::npos) << reason;
    EXPECT_EQ(loader().loadFile(u"", &reason), nullptr);
    EXPECT_FALSE(reason.empty());
}

TEST(Loader, SuccessStaysLoaded) {
    ASSERT_NE(loader().load(u"toypkg"), nullptr);
    EXPECT_TRUE(stillLoaded(pkgDir + "/libtoypkg.so"));
}

TEST(Loader, SearchOrderAddedThenEnvironmentThenInstallThenExecutable) {
    const std::string scratch = testing::TempDir() + "zel_loader_env_" + std::to_string(getpid());
    fs::create_directories(scratch);
    ::setenv("ZEL_PACKAGE_PATH", ("/first/env:" + scratch + "::/last/env/").c_str(), 1);
    const std::vector<std::u16string> folders = loader().getSearchFolders();
    const std::string exeDir = fs::read_symlink("/proc/self/exe").parent_path().native();
    const std::vector<std::u16string> tail{
        u"/first/env", zel::xstd::widen(scratch), u"/last/env",
        zel::xstd::widen(fs::path(exeDir).parent_path().native() + "/lib/propplacer"),
        zel::xstd::widen(exeDir)};
    ASSERT_GE(folders.size(), tail.size() + 1);
    EXPECT_EQ(folders.front(), zel::xstd::widen(pkgDir));
    EXPECT_EQ(std::vector<std::u16string>(folders.end() - tail.size(), folders.end()), tail);

    // A package found only through the environment.
    fs::create_symlink(pkgDir + "/libtoypkg.so", scratch + "/libenvtoy.so");
    std::string reason;
    iPackage* viaEnv = loader().load(u"envtoy", &reason);
    ::unsetenv("ZEL_PACKAGE_PATH");
    ASSERT_NE(viaEnv, nullptr) << reason;
    EXPECT_EQ(viaEnv->getName(), u"toypkg");
    EXPECT_EQ(loader().load(u"envtoy"), viaEnv);
    fs::remove_all(scratch);
}

TEST(Loader, OpenLinkByNameUsesTheLoader) {
    loader();
    defaultPackage host(u"host");
    iPackage* toy = host.openLink(u"toypkg");
    ASSERT_NE(toy, nullptr);
    EXPECT_EQ(toy, packageLoader::getTheSingleton().load(u"toypkg"));
    EXPECT_TRUE(host.hasLink(toy));
    EXPECT_EQ(host.openLink(u"nullpkg"), nullptr);
    EXPECT_EQ(host.getNumLinks(), 1);
}

} // namespace
