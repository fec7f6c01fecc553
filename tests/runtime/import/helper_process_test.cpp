// The helper's process mechanics on their own: what a started helper holds where the kernel lacks
// close_range (before Linux 5.9).
#include "test_support.h"
#include <zel/import/helper_process.h>

#include <gtest/gtest.h>

#include <seccomp.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zel::import {
namespace {

using test::tempDir;

// The process state letter of /proc/PID/stat ('S': sleeping), after the command's parentheses.
char stateOf(const std::string& proc) {
    std::ifstream in(proc + "/stat");
    std::string line;
    std::getline(in, line);
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() ? line[close + 2] : '?';
}

// The descriptors of the helper (pid) once it runs `sleep`, by number; empty when it never does.
// /proc/PID/exe names `sleep` from the moment exec maps it, while exec has yet to close the
// close-on-exec descriptors and `sleep` itself then opens its locale's files for a moment: the
// descriptors are counted once it sleeps.
std::set<std::string> descriptorsOfSleeper(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    for (int i = 0; i < 500; ++i) {
        std::error_code ec;
        if (std::filesystem::read_symlink(proc + "/exe", ec).filename() == "sleep" &&
            stateOf(proc) == 'S') {
            std::set<std::string> fds;
            for (const auto& e : std::filesystem::directory_iterator(proc + "/fd", ec))
                fds.insert(e.path().filename().string());
            return fds;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
}

// In a child process, so that the filter standing in for the old kernel stays there: descriptors
// the caller did not mark close-on-exec, low and high, never reach the helper.
TEST(HelperProcess, NothingInheritedWithoutCloseRange) {
    tempDir dir;
    const auto helper = dir.write("helper", "#!/bin/sh\nexec sleep 60\n");
    std::filesystem::permissions(helper, std::filesystem::perms::owner_all);
    const pid_t tester = ::fork();
    ASSERT_GE(tester, 0);
    if (tester == 0) {
        const int low = ::open("/dev/null", O_RDONLY);
        if (low < 0 || ::dup2(low, 900) != 900)
            ::_exit(2);
        scmp_filter_ctx ctx = ::seccomp_init(SCMP_ACT_ALLOW);
        if (!ctx ||
            ::seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(close_range), 0) != 0 ||
            ::seccomp_load(ctx) != 0)
            ::_exit(3);
        process::startedHelper started =
            process::startHelper({helper.string()}, 3, 4, process::helperLimits{});
        if (started.pid < 0)
            ::_exit(4);
        const std::set<std::string> fds = descriptorsOfSleeper(started.pid);
        process::kill(started.pid);
        process::exitStatus ignored;
        process::reap(started.pid, ignored);
        ::_exit(fds == std::set<std::string>{"0", "1", "2", "3", "4"} ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(tester, &status, 0), tester);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: set-up, 3: filter, 4: start, 5: descriptors leaked";
}

} // namespace
} // namespace zel::import
