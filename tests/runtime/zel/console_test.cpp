// Runs a child program that mixes std::cout and std::wcout and compares what reaches its stdout, to
// a pipe and to a file, under several locale settings.
#include <zel/console.h>

#include <gtest/gtest.h>

#include <iostream>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

const std::string expected = "wide first\n"
                             "narrow, flushed\n"
                             "Gr\xC3\xBC\xC3\x9F"
                             "e \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80\n"
                             "narrow, not flushed\n"
                             "lone \xEF\xBF\xBD and 42 0.75\n"
                             "narrow UTF-8 Gr\xC3\xBC\xC3\x9F"
                             "e\n"
                             "pair \xF0\x9F\x98\x80 lone \xEF\xBF\xBD end\n"
                             "char\n"
                             "last, not flushed\n";

std::string runToPipe(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return "popen failed";
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    const int status = pclose(pipe);
    if (status != 0)
        out += "[exit status " + std::to_string(status) + "]";
    return out;
}

TEST(Console, NarrowAndWideLinesArriveInOrderAsUtf8) {
    const char* environments[] = {
        "",
        "LANG=C",
        "LANG=C.UTF-8",
        "LC_ALL=C",
        "LC_ALL=C.UTF-8",
        "LANG=C.UTF-8 LC_ALL=C",
        "LANG=C LC_CTYPE=C.UTF-8",
        "LANG=xx_YY.nonexistent",
    };
    const std::string file =
        testing::TempDir() + "zel_console_" + std::to_string(getpid()) + ".out";
    for (const char* env : environments) {
        SCOPED_TRACE(std::string("environment: ") + env);
        // env -i: nothing of the test's own environment leaks into the child.
        const std::string command = std::string("env -i ") + env + " " + ZEL_CONSOLE_CHILD;
        EXPECT_EQ(runToPipe(command), expected);
        EXPECT_EQ(runToPipe(command + " > " + file), "");
        std::ifstream in(file, std::ios::binary);
        std::stringstream written;
        written << in.rdbuf();
        EXPECT_EQ(written.str(), expected) << "to a file";
    }
    std::remove(file.c_str());
}

// Wide text lands in whatever buffer std::cout has at the moment of writing.
TEST(Console, WideWritesFollowCoutsBuffer) {
    std::ostringstream captured;
    std::streambuf* const saved = std::cout.rdbuf(captured.rdbuf());
    std::wcout << L"\u65E5 " << static_cast<wchar_t>(0xD800) << L" x" << std::flush;
    std::cout << "|narrow";
    std::cout.rdbuf(saved);
    EXPECT_EQ(captured.str(), "\xE6\x97\xA5 \xEF\xBF\xBD x|narrow");
}

TEST(Console, InstallAndUninstallAreIdempotent) {
    std::wstreambuf* const ours = std::wcout.rdbuf();
    zel::console::install();
    EXPECT_EQ(std::wcout.rdbuf(), ours) << "installed at load already";
    zel::console::uninstall();
    std::wstreambuf* const before = std::wcout.rdbuf();
    EXPECT_NE(before, ours);
    zel::console::uninstall();
    EXPECT_EQ(std::wcout.rdbuf(), before);

    // Someone else's buffer: install replaces it, uninstall gives it back, and an uninstall while
    // theirs is in place leaves it there.
    std::wstringbuf theirs;
    std::wcout.rdbuf(&theirs);
    zel::console::uninstall();
    EXPECT_EQ(std::wcout.rdbuf(), &theirs);
    zel::console::install();
    zel::console::install();
    EXPECT_EQ(std::wcout.rdbuf(), ours);
    zel::console::uninstall();
    EXPECT_EQ(std::wcout.rdbuf(), &theirs);

    std::wcout.rdbuf(before);
    zel::console::install();
    EXPECT_EQ(std::wcout.rdbuf(), ours);
}

} // namespace
