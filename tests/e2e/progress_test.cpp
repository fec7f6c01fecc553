// A slow model import headless: on a terminal, one progress line on stderr, erased when the import
// is over; through a pipe, nothing but the usual lines. The import helper is a stand-in that never
// answers, so that the import takes its whole deadline (2 s for a small file).
#include "e2e.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>

namespace e2e {
namespace {

// A models folder whose start-up model never loads, and the helper that never answers.
struct stuckImport {
    tempFolder folder;
    fs::path models = folder.path() / "models";
    fs::path helper = folder.path() / "helper";
    stuckImport() {
        fs::create_directory(models);
        fs::copy_file(sampleModels() / "archi.3ds", models / "archi.3ds");
        writeText(helper, "#!/bin/sh\nexec sleep 60\n");
        fs::permissions(helper, fs::perms::owner_all);
    }
    std::vector<std::pair<std::string, std::string>> env() const {
        return {{"ZEL_IMPORTER", helper.string()}};
    }
};

TEST(progress, lineOnATerminalOnly) {
    stuckImport stuck;
    // stderr on a pseudo-terminal; the test reads its other side.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string terminal = ::ptsname(master);

    processOptions spec;
    spec.args = {zelhostPath(), "--headless", "--models", stuck.models.string()};
    spec.unsetEnvironment = {"DISPLAY", "WAYLAND_DISPLAY"};
    spec.environment = stuck.env();
    backgroundProcess host;
    ASSERT_TRUE(host.start(spec, (stuck.folder.path() / "out.txt").string(), terminal));
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool ended = false;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, ended ? 0 : 100) > 0) {
            char buf[4096];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0)
                break; // every writer has closed the terminal
            seen.append(buf, static_cast<std::size_t>(n));
        } else if (ended) {
            break;
        } else {
            ended = host.wait(0);
        }
    }
    ASSERT_TRUE(host.wait(30));
    ::close(master);
    EXPECT_EQ(host.exitCode(), 0);
    // Redrawn in place, then erased before the failure is reported on a line of its own.
    const auto first = seen.find("\rLoading archi.3ds ");
    ASSERT_NE(first, std::string::npos) << seen;
    EXPECT_NE(seen.find("\rLoading archi.3ds ", first + 1), std::string::npos) << seen;
    const auto failure = seen.find("readFile(): cannot read archi.3ds: the import did not finish");
    ASSERT_NE(failure, std::string::npos) << seen;
    EXPECT_EQ(seen.rfind("\r\033[K", failure), failure - 4) << seen;
    EXPECT_GT(failure, first);

    // The same run with stderr on a pipe: no progress line.
    const processResult piped =
        runHost({"--headless", "--models", stuck.models.string()}, "", {}, stuck.env());
    EXPECT_EQ(piped.exitCode, 0);
    EXPECT_EQ(piped.err.find("Loading"), std::string::npos) << piped.err;
    EXPECT_EQ(piped.err,
              "readFile(): cannot read archi.3ds: the import did not finish within 2 s\n");
    EXPECT_EQ(readText(stuck.folder.path() / "out.txt"), piped.out);
}

} // namespace
} // namespace e2e
