// The import helper's sandbox from inside: a probe enters it and tries each thing it must refuse;
// and a real import with textures through the sandboxed helper.
#include "test_support.h"
#include <zel/import/import_sandbox.h>
#include <zel/import/isolated_import.h>

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

namespace zel::world::import {
namespace {

using test::corpusDir;
using test::tempDir;
using test::testOptions;

// Runs the probe; its lines as name -> outcome.
std::map<std::string, std::string> probe(const tempDir& allowed, const std::string& outside,
                                         int* status) {
    int out[2];
    EXPECT_EQ(::pipe(out), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::execl(ZEL_SANDBOX_PROBE, ZEL_SANDBOX_PROBE, allowed.path().c_str(), outside.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<std::size_t>(n));
    ::close(out[0]);
    ::waitpid(pid, status, 0);
    std::map<std::string, std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const auto space = line.find(' ');
        lines[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
    }
    return lines;
}

TEST(ImportSandbox, RefusesWhatImportingDoesNotNeed) {
    tempDir allowed, elsewhere;
    allowed.write("model.txt", "the model");
    const auto outside = elsewhere.write("secret.txt", "a secret");
    int status = 0;
    const auto lines = probe(allowed, outside.string(), &status);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    EXPECT_EQ(lines.at("read-inside"), "allowed");
    EXPECT_EQ(lines.at("read-bytes"), "allowed");
    for (const char* forbidden : {"write-inside", "create-inside", "append-inside", "socket-inet",
                                  "socket-unix", "execve", "fork", "ptrace"}) {
        SCOPED_TRACE(forbidden);
        EXPECT_EQ(lines.at(forbidden).rfind("refused", 0), 0u) << lines.at(forbidden);
    }
    // Reading outside the allowed folders is the file system's part: Landlock's.
    if (landlockAbi() > 0)
        EXPECT_EQ(lines.at("read-outside").rfind("refused", 0), 0u) << lines.at("read-outside");
    else
        GTEST_SKIP() << "this kernel has no Landlock: reading outside is not restricted";
    EXPECT_EQ(lines.at("landlock"), std::to_string(landlockAbi()));
}

// The sandboxed helper still reads a model whose material names a texture, and one whose reader
// opens a second file beside it (OBJ and its material library).
TEST(ImportSandbox, ImportsStillWork) {
    ZEL_NEEDS_CORPUS();
    isolationOptions options = testOptions();
    ASSERT_TRUE(options.sandbox);
    std::string reason;
    const auto textured =
        importIsolated(corpusDir() / "assimp/3DS/cube_with_diffuse_texture.3DS", options, &reason);
    ASSERT_TRUE(textured) << reason;
    bool named = false;
    for (const material& m : textured->materials)
        named = named || !m.diffuseTexture.empty();
    EXPECT_TRUE(named);

    const auto obj = importIsolated(corpusDir() / "assimp/OBJ/spider.obj", options, &reason);
    ASSERT_TRUE(obj) << reason;
    std::size_t textures = 0;
    for (const material& m : obj->materials)
        textures += m.diffuseTexture.empty() ? 0 : 1;
    EXPECT_GT(textures, 0u) << "the material library beside the model was not read";
}

} // namespace
} // namespace zel::world::import
