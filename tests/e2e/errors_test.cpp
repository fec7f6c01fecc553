// zelhost's failures: each is one clear line on stderr, exit code 2, and no trace on stdout.
#include "e2e.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

// One line, starting with the program's name unless it is a script position.
void expectOneLine(const std::string& err) {
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
}

TEST(hostErrors, packageThatIsNotThereNamesTheFileAndTheFolders) {
    tempFolder extra;
    auto r = runHost({"--package", "nosuch", "--package-path", extra.path().string()}, "", {},
                     {{"ZEL_PACKAGE_PATH", ""}});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    expectOneLine(r.err);
    EXPECT_NE(r.err.find("libnosuch.so"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(extra.path().string()), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(binFolder().string()), std::string::npos) << r.err;
}

struct packageCase {
    const char* name;
    const char* package;
    std::vector<std::string> mustName;
};

TEST(hostErrors, brokenPackagesFailCleanly) {
    const std::vector<packageCase> cases = {
        {"no initPackage", "noinitpkg", {"libnoinitpkg.so", "initPackage"}},
        {"initPackage returns null", "nullpkg", {"libnullpkg.so", "initPackage"}},
        {"not a shared object", "notelfpkg", {"libnotelfpkg.so"}},
        {"no application", "toypkg", {"toypkg", "registers no application"}},
    };
    for (const packageCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = runHost({"--package-path", testPackages().string(), "--package", c.package});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        expectOneLine(r.err);
        for (const std::string& word : c.mustName)
            EXPECT_NE(r.err.find(word), std::string::npos) << r.err;
    }
}

TEST(hostErrors, aBrokenPackageAfterAGoodOneStopsBeforeAnyApplicationStarts) {
    auto r = runHost({"--package-path", testPackages().string(), "--package", "propplacer",
                      "--package", "nullpkg"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    expectOneLine(r.err);
}

struct scriptCase {
    const char* name;
    std::string script;
    std::string error; // after "NAME:"
};

TEST(hostErrors, malformedScriptLinesStopBeforeAnythingRuns) {
    const std::vector<scriptCase> cases = {
        {"unknown command", "key z\nkey x\nfly away\n", "3: unknown command 'fly'"},
        {"two characters", "# comment\n\nkey xy\n", "3: 'xy' is not one character or a 0x.. code"},
        {"bad button", "mouse down 9 1 1\n",
         "1: button must be 0 to 3 (none, left, middle, right), got '9'"},
        {"bad number", "key z\nwheel lots\n", "2: D must be an integer, got 'lots'"},
        {"bad lifecycle", "start\nstop please\n", "2: too many arguments; usage: stop"},
        {"late error", std::string(500, '\n') + "advance -2\n",
         "501: S must be a number of seconds, 0 or more, got '-2'"},
    };
    tempFolder tmp;
    for (const scriptCase& c : cases) {
        SCOPED_TRACE(c.name);
        // From standard input the script is called "-".
        auto r = runHost({"--script", "-"}, c.script);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "-:" + c.error + "\n");
        // From a file it is called by the name given.
        fs::path file = tmp.path() / "bad.zel";
        writeText(file, c.script);
        r = runHost({"--script", file.string()});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, file.string() + ":" + c.error + "\n");
    }
}

TEST(hostErrors, scriptThatCannotBeRead) {
    tempFolder tmp;
    for (const fs::path& p : {tmp.path() / "missing.zel", tmp.path()}) {
        SCOPED_TRACE(p.string());
        auto r = runHost({"--script", p.string()});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        expectOneLine(r.err);
        EXPECT_NE(r.err.find(p.string()), std::string::npos) << r.err;
    }
}

TEST(hostErrors, badCommandLines) {
    const std::vector<std::vector<std::string>> cases = {
        {"--nosuch"}, {"extra"}, {"--script"}, {"--models", "/no/such/folder"}, {"--dump"}};
    for (const auto& args : cases) {
        SCOPED_TRACE(args.front());
        auto r = runHost(args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        expectOneLine(r.err);
    }
}

TEST(hostErrors, helpAndVersionGoToStdoutAndLoadNothing) {
    auto r = runHost({"--help", "--package", "nosuch"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Usage: zelhost"), std::string::npos);
    EXPECT_NE(r.out.find("entry type TEXT"), std::string::npos);
    r = runHost({"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("zelhost ", 0), 0u);
}

TEST(hostErrors, dumpIntoAMissingFolderIsRefusedBeforeTheRun) {
    tempFolder tmp;
    std::string file = (tmp.path() / "no" / "such" / "d.json").string();
    auto r = runHost({"--dump", file});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "zelhost: cannot write dump " + file + ": no folder " +
                         (tmp.path() / "no" / "such").string() + "\n");
    r = runHost({"--script", "-"}, "key z\ndump " + file + "\n");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    expectOneLine(r.err);
}

TEST(hostErrors, dumpThatCannotBeWrittenAfterTheRunStillStopsTheApplication) {
    tempFolder tmp;
    // A folder where the file should be: found only when the dump is written.
    auto r = runHost({"--dump", tmp.path().string()});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, startTrace + activateTrace + deactivateTrace + stopTrace);
    EXPECT_EQ(r.err, "zelhost: cannot write dump " + tmp.path().string() + ": it is a folder\n");

    // In a script, the failing dump ends the script; the rest does not run.
    r = runHost({"--script", "-"}, "dump " + tmp.path().string() + "\nentry enter\n");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, startTrace + activateTrace + deactivateTrace + stopTrace);
}

} // namespace
} // namespace e2e
