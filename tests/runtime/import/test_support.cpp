#include "test_support.h"

#include <mutations.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
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

} // namespace zel::import::test
