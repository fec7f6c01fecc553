// Other sites' models kept on disk by their hash: found again only under the hash of their own
// encoding.
#include "kept_assets.h"

#include <zel/import/scene_codec.h>
#include <zel/share/records.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

using namespace zel::share::detail;
namespace fs = std::filesystem;

namespace {

class tempDir {
public:
    tempDir() {
        std::string pattern = (fs::temp_directory_path() / "zelshare-test-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            std::abort();
        path_ = pattern;
    }
    ~tempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    tempDir(const tempDir&) = delete;
    tempDir& operator=(const tempDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

zel::import::scene oneTriangle() {
    zel::import::scene s;
    zel::import::mesh m;
    m.positions = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    m.indices = {0, 1, 2};
    s.meshes.push_back(m);
    s.materials.emplace_back();
    s.nodes.emplace_back();
    return s;
}

} // namespace

TEST(KeptAssets, AModelIsFoundOnlyUnderItsOwnHash) {
    tempDir folder;
    zel::import::diskCache cache({true, folder.path() / "entries", std::uint64_t{1} << 30, {}});
    const std::vector<std::byte> blob = zel::import::encode(oneTriangle());
    const std::string right = zel::share::sha256Hex(blob), wrong(64, '9');
    keepAsset(&cache, right, blob);
    keepAsset(&cache, wrong, blob);
    keepAsset(nullptr, right, blob);
    cache.flush();
    std::ostringstream err;
    const sceneRef found = cachedAsset(&cache, right, err);
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, oneTriangle());
    EXPECT_EQ(err.str(), "");
    EXPECT_FALSE(cachedAsset(&cache, wrong, err));
    EXPECT_NE(err.str().find("does not match its hash"), std::string::npos) << err.str();
    // Not a hash, or no cache: nothing, and nothing said.
    std::ostringstream quiet;
    EXPECT_FALSE(cachedAsset(&cache, right.substr(1), quiet));
    EXPECT_FALSE(cachedAsset(nullptr, right, quiet));
    EXPECT_EQ(quiet.str(), "");
}
