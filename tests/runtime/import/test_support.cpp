#include "test_support.h"

#include <mutations.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>

#include <unistd.h>

namespace zel::import::test {

std::filesystem::path corpusDir() {
    return ZEL_CORPUS_DIR;
}

isolationOptions testOptions() {
    isolationOptions options;
    options.importer = ZEL_IMPORTER_PATH;
    options.deadline = std::chrono::seconds(60);
    return options;
}

tempDir::tempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "zelimport-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        std::abort();
    path_ = pattern;
}

tempDir::~tempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

std::filesystem::path tempDir::write(const std::string& name, std::string_view content) const {
    const std::filesystem::path file = path_ / name;
    std::ofstream out(file, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return file;
}

std::string readBytes(const std::filesystem::path& file) {
    return mutation::readFile(file);
}

timeBound::timeBound(std::chrono::seconds limit) {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "a test";
    watch_ = std::thread([this, limit, name = std::move(name)] {
        std::unique_lock lock(mutex_);
        if (ended_.wait_for(lock, limit, [this] { return done_; }))
            return;
        std::fprintf(stderr, "%s: still running after %lld s, stopped\n", name.c_str(),
                     static_cast<long long>(limit.count()));
        std::fflush(stderr);
        std::_Exit(1);
    });
}

timeBound::~timeBound() {
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    ended_.notify_all();
    watch_.join();
}

std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> out;
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat(e.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent)
            out.push_back(std::stoi(name));
    }
    return out;
}

bool noChildrenLeft() {
    // A child that succeeded is reaped in the background: give its exit a moment.
    for (int i = 0; i < 1000; ++i) {
        if (childrenOf(::getpid()).empty())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::vector<std::filesystem::path> corpusFiles() {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(corpusDir()))
        if (e.is_regular_file())
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

scene sampleScene() {
    scene s;
    material red;
    red.name = "red";
    red.diffuse[0] = 0.9f;
    red.diffuse[3] = 0.5f;
    red.ambient[1] = 0.25f;
    red.specular[2] = 1.0f;
    red.shininess = 24.0f;
    red.opacity = 0.5f;
    red.diffuseTexture = "CWALL02.JPG";
    red.texture = 0;
    material plain;
    plain.name = "";
    s.materials = {red, plain};
    texture wall;
    wall.name = "maps/CWALL02.jpg";
    wall.width = 2;
    wall.height = 1;
    wall.sourceWidth = 4;
    wall.sourceHeight = 2;
    wall.hasAlpha = true;
    wall.rgba = {255, 0, 0, 255, 0, 0, 255, 128};
    s.textures = {wall};

    mesh quad;
    quad.positions = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0};
    quad.normals = {0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1};
    quad.uvs = {0, 0, 1, 0, 1, 1, 0, 1};
    quad.indices = {0, 1, 2, 0, 2, 3};
    quad.material = 0;
    mesh tri;
    tri.positions = {0, 0, 0, 2, 0, 0, 0, 2, 0};
    tri.indices = {0, 1, 2};
    tri.material = 1;
    s.meshes = {quad, tri};

    node root;
    root.name = "root";
    root.matrix[5] = 0;
    root.matrix[6] = -1;
    root.matrix[9] = 1;
    root.matrix[10] = 0;
    root.children = {1, 2};
    node a;
    a.name = "a";
    a.matrix[12] = 1.5f;
    a.meshes = {0, 1};
    a.children = {3};
    node b;
    b.name = "b \xc3\xa9";
    b.meshes = {0};
    node c;
    c.name = "c";
    c.matrix[13] = -2;
    s.nodes = {root, a, b, c};

    animation anim;
    anim.name = "take";
    anim.duration = 60;
    anim.ticksPerSecond = 0;
    channel ch;
    ch.node = "a";
    ch.position = {{0, {0, 0, 0}}, {60, {1, 2, 3}}};
    ch.rotation = {{0, {0, 0, 0, 1}}, {30, {0, 0.7071f, 0, 0.7071f}}};
    ch.scaling = {{0, {1, 1, 1}}};
    anim.channels = {ch};
    s.animations = {anim};
    return s;
}

const std::vector<sceneDamage>& sceneDamages() {
    static const float nan = std::numeric_limits<float>::quiet_NaN();
    static const std::vector<sceneDamage> damages = {
        {"node mesh index", [](scene& s) { s.nodes[1].meshes.push_back(2); }, "node mesh index"},
        {"child index", [](scene& s) { s.nodes[3].children.push_back(4); }, "child index"},
        {"cycle to the root", [](scene& s) { s.nodes[3].children.push_back(0); }, "not a tree"},
        {"self loop", [](scene& s) { s.nodes[2].children.push_back(2); }, "not a tree"},
        {"two parents", [](scene& s) { s.nodes[2].children.push_back(3); }, "two parents"},
        {"unreachable", [](scene& s) { s.nodes[1].children.clear(); }, "not reachable"},
        {"no nodes", [](scene& s) { s.nodes.clear(); }, "no root"},
        {"material index", [](scene& s) { s.meshes[1].material = 2; }, "material index"},
        {"vertex index", [](scene& s) { s.meshes[0].indices[4] = 4; }, "vertex index"},
        {"index count", [](scene& s) { s.meshes[0].indices.pop_back(); }, "multiple of 3"},
        {"position count", [](scene& s) { s.meshes[1].positions.pop_back(); }, "vertex count"},
        {"normal count", [](scene& s) { s.meshes[0].normals.resize(3); }, "normal count"},
        {"uv count", [](scene& s) { s.meshes[0].uvs.resize(6); }, "texture coordinate count"},
        {"matrix", [](scene& s) { s.nodes[2].matrix[0] = nan; }, "not finite"},
        {"key time", [](scene& s) { s.animations[0].channels[0].rotation[1].time = NAN; },
         "not finite"},
        {"duration", [](scene& s) { s.animations[0].duration = -1; }, "timing"},
        {"long name", [](scene& s) { s.nodes[3].name.assign(70'000, 'n'); }, "too long"},
        {"texture index", [](scene& s) { s.materials[1].texture = 1; }, "texture index"},
        {"empty texture",
         [](scene& s) {
             s.textures[0].width = 0;
             s.textures[0].rgba.clear();
         },
         "bad texture size"},
        {"texture above the cap",
         [](scene& s) {
             texture& t = s.textures[0];
             t.width = t.sourceWidth = 4096;
             t.height = t.sourceHeight = 1025;
             t.rgba.assign(std::size_t{4096} * 1025 * 4, 0);
         },
         "bad texture size"},
        {"texture larger than its source", [](scene& s) { s.textures[0].sourceWidth = 1; },
         "source size"},
        {"scene pixels",
         [](scene& s) {
             texture big = s.textures[0];
             big.width = big.sourceWidth = big.height = big.sourceHeight = 2048;
             big.rgba.assign(std::size_t{2048} * 2048 * 4, 0);
             s.textures.assign(5, big);
         },
         "pixels a scene may hold"},
    };
    return damages;
}

} // namespace zel::import::test
