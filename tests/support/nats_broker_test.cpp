// The broker fixture itself: a server that cannot start says so, and no server outlives the test or
// program that started it, however that ends.
#include <nats_broker.h>
#include <process.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Whether the process is gone: none by that pid, or a zombie no one has reaped yet.
bool gone(int pid) {
    if (::kill(pid, 0) != 0)
        return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto end = line.rfind(')');
    return end != std::string::npos && line.size() > end + 2 && line[end + 2] == 'Z';
}

bool goneWithin(int pid, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!gone(pid)) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace

TEST(NatsBroker, StartsStopsByPidAndLeavesNothingBehind) {
    int pid = -1;
    fs::path folder;
    {
        zeltest::natsBroker b;
        ASSERT_TRUE(b.started()) << b.err();
        EXPECT_TRUE(zel::proc::accepting(b.port()));
        EXPECT_EQ(b.url(), "nats://127.0.0.1:" + std::to_string(b.port()));
        pid = b.pid();
        folder = b.folder();
        ASSERT_GT(pid, 0);
        // A folder of its own that no one else may enter.
        EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
        b.kill();
        EXPECT_EQ(b.pid(), -1);
        EXPECT_FALSE(zel::proc::accepting(b.port()));
        ASSERT_TRUE(b.start()) << b.err();
        pid = b.pid();
    }
    EXPECT_TRUE(gone(pid));
    EXPECT_FALSE(fs::exists(folder));
}

TEST(NatsBroker, OneThatCannotStartSaysSoAtOnce) {
    struct row {
        const char* name;
        std::string program, config, users;
        const char* said; // in err(); empty: nothing asked of it
    };
    const row rows[] = {
        {"no such program", "/nonexistent/nats-server", "", "", ""},
        {"a configuration the server refuses", "", "listen: [\n", "", "Parse error"},
        {"users the script refuses", "", "", "emperor ming mi-1q\n", "emperor"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        zeltest::brokerOptions options;
        options.program = r.program;
        options.config = r.config;
        options.users = r.users;
        fs::path folder;
        {
            zeltest::natsBroker b(options);
            EXPECT_FALSE(b.started());
            EXPECT_EQ(b.pid(), -1);
            EXPECT_NE(b.err().find(r.said), std::string::npos) << b.err();
            folder = b.folder();
        }
        EXPECT_FALSE(fs::exists(folder));
    }
}

// The server ends with the process that started it even when no destructor runs: an exit from
// the middle of a benchmark, a crash.
TEST(NatsBroker, EndsWithItsOwnerHoweverItEnds) {
    for (const int how : {0, SIGABRT, SIGKILL}) {
        SCOPED_TRACE(how);
        char name[] = "/tmp/zel-broker-pid-XXXXXX";
        const int fd = ::mkstemp(name);
        ASSERT_GE(fd, 0);
        ::close(fd);
        // A child of its own rather than a death test: gtest would wait for the end of a pipe
        // that a server left running still holds.
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Deliberately never destroyed.
            auto* b = new zeltest::natsBroker;
            {
                std::ofstream said(name);
                said << (b->started() ? b->pid() : -1) << "\n" << b->folder().string();
            }
            if (how == 0)
                std::_Exit(3);
            ::raise(how);
            std::_Exit(4);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(how == 0 ? WIFEXITED(status) && WEXITSTATUS(status) == 3
                             : WIFSIGNALED(status) && WTERMSIG(status) == how)
            << status;
        int pid = -1;
        std::string folder;
        {
            std::ifstream said(name);
            said >> pid >> folder;
        }
        std::remove(name);
        // What no destructor removed.
        if (folder.rfind((fs::temp_directory_path() / "zel-broker-").string(), 0) == 0)
            fs::remove_all(folder);
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(goneWithin(pid, 10)) << pid;
        if (!gone(pid))
            ::kill(pid, SIGKILL);
    }
}
