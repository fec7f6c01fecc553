// zelhost with its persistent import cache: what a run leaves there, whenever it ends.
#include "e2e.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace e2e {
namespace {

// An uncompressed TGA of side x side pixels of one colour: large enough that its hash is still
// being taken when a run that just imported it ends.
std::string tga(int side) {
    std::string bytes(18, '\0');
    bytes[2] = 2; // true colour
    bytes[12] = static_cast<char>(side & 0xff);
    bytes[13] = static_cast<char>(side >> 8);
    bytes[14] = static_cast<char>(side & 0xff);
    bytes[15] = static_cast<char>(side >> 8);
    bytes[16] = 24;
    bytes += std::string(std::size_t(side) * std::size_t(side) * 3, '\x50');
    return bytes;
}

std::vector<fs::path> entriesIn(const fs::path& folder) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (e.path().filename().string().starts_with("i-"))
            out.push_back(e.path());
    return out;
}

TEST(cache, aModelImportedJustBeforeTheRunEndsIsKeptAndTheHostExitsCleanly) {
    tempFolder models;
    // The first model does not read: the only import is the textured one `>` steps to.
    writeText(models.path() / "archi.3ds", "not a model at all");
    writeText(models.path() / "house.3d.obj",
              "mtllib house.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 0 1\n"
              "usemtl skin\nf 1/1 2/2 3/3\n");
    writeText(models.path() / "house.mtl", "newmtl skin\nKd 0.5 0.5 0.5\nmap_Kd skin.tga\n");
    writeText(models.path() / "skin.tga", tga(1024));
    // The files are older than any import below, which may then keep what it read.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    for (int run = 0; run < 20 && std::chrono::steady_clock::now() < deadline; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        tempFolder cacheHome;
        const processResult r = runHost({"--script", "-", "--models", models.path().string()},
                                        "key >\n", {}, {{"XDG_CACHE_HOME", cacheHome.path()}});
        ASSERT_EQ(r.signal, 0) << r.err;
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(entriesIn(cacheHome.path() / "propplacer" / "imports").size(), 1u) << r.err;
    }
}

} // namespace
} // namespace e2e
