#include "e2e.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <numbers>

namespace e2e {

const std::string& zelhostPath() {
    static const std::string path = ZELHOST_PATH;
    return path;
}
fs::path binFolder() {
    return fs::path(zelhostPath()).parent_path();
}
fs::path sampleModels() {
    return ZEL_SAMPLE_MODELS_DIR;
}
fs::path testPackages() {
    return ZEL_TESTPKG_DIR;
}
fs::path corpus() {
    return ZEL_CORPUS_DIR;
}
fs::path examples() {
    return ZEL_EXAMPLES_DIR;
}

processResult runHost(const std::vector<std::string>& args, const std::string& input,
                      const fs::path& cwd,
                      const std::vector<std::pair<std::string, std::string>>& env) {
    processOptions spec;
    spec.args.push_back(zelhostPath());
    spec.args.insert(spec.args.end(), args.begin(), args.end());
    spec.input = input;
    spec.workingDirectory = cwd.string();
    // Without a script zelhost opens a window when it sees a display; a test that wants one names
    // it in env.
    spec.unsetEnvironment = {"DISPLAY", "WAYLAND_DISPLAY"};
    spec.environment = env;
    return runProcess(spec);
}

scriptRun runScript(const std::string& script, const std::vector<std::string>& extraArgs) {
    tempFolder tmp;
    fs::path dump = tmp.path() / "dump.json";
    std::vector<std::string> args{"--script", "-", "--dump", dump.string()};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    scriptRun run;
    run.result = runHost(args, script);
    if (fs::exists(dump))
        run.dump = readJson(dump);
    return run;
}

tempFolder::tempFolder() {
    static std::atomic<int> counter{0};
    path_ = fs::temp_directory_path() /
            ("zelhost_e2e_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    fs::remove_all(path_);
    fs::create_directories(path_);
}

tempFolder::~tempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

void writeText(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
}

json readJson(const fs::path& file) {
    std::string text = readText(file);
    return json::parse(text, nullptr, false);
}

const json* findPath(const json& scene, const std::vector<std::string>& names) {
    const json* node = &scene;
    for (const std::string& name : names) {
        const json* next = nullptr;
        if (node->contains("children"))
            for (const json& c : (*node)["children"])
                if (c.value("name", "") == name) {
                    next = &c;
                    break;
                }
        if (!next)
            return nullptr;
        node = next;
    }
    return node;
}

const json* findNode(const json& node, const std::string& name) {
    if (node.value("name", "") == name)
        return &node;
    if (node.contains("children"))
        for (const json& c : node["children"])
            if (const json* found = findNode(c, name))
                return found;
    return nullptr;
}

long long trianglesBelow(const json& node) {
    long long n = 0;
    if (node.contains("mesh"))
        n += node["mesh"].value("triangles", 0LL);
    if (node.contains("children"))
        for (const json& c : node["children"])
            n += trianglesBelow(c);
    return n;
}

matrix toMatrix(const json& m) {
    matrix r{};
    if (!m.is_array() || m.size() != 16) {
        ADD_FAILURE() << "not a matrix: " << m.dump();
        return r;
    }
    for (int i = 0; i < 16; ++i)
        r[i] = m[i].get<double>();
    return r;
}

matrix identity() {
    matrix m{};
    m[0] = m[5] = m[10] = m[15] = 1.0;
    return m;
}

matrix multiply(const matrix& a, const matrix& b) {
    matrix r{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            for (int k = 0; k < 4; ++k)
                r[i * 4 + j] += a[i * 4 + k] * b[k * 4 + j];
    return r;
}

matrix translation(double x, double y, double z) {
    matrix m = identity();
    m[12] = x;
    m[13] = y;
    m[14] = z;
    return m;
}

matrix scaling(double x, double y, double z) {
    matrix m = identity();
    m[0] = x;
    m[5] = y;
    m[10] = z;
    return m;
}

matrix rotation(int axis, double degrees) {
    // Row vectors: row i is the image of the i-th unit vector.
    double t = degrees * std::numbers::pi / 180.0;
    double c = std::cos(t), s = std::sin(t);
    matrix m = identity();
    int a = (axis + 1) % 3, b = (axis + 2) % 3; // a -> b is the positive turn
    m[a * 4 + a] = c;
    m[a * 4 + b] = s;
    m[b * 4 + a] = -s;
    m[b * 4 + b] = c;
    return m;
}

matrix quatRotation(double x, double y, double z, double w) {
    // The column-vector matrix of the quaternion, transposed for row vectors.
    matrix m = identity();
    m[0] = 1 - 2 * (y * y + z * z);
    m[1] = 2 * (x * y + z * w);
    m[2] = 2 * (x * z - y * w);
    m[4] = 2 * (x * y - z * w);
    m[5] = 1 - 2 * (x * x + z * z);
    m[6] = 2 * (y * z + x * w);
    m[8] = 2 * (x * z + y * w);
    m[9] = 2 * (y * z - x * w);
    m[10] = 1 - 2 * (x * x + y * y);
    return m;
}

void expectMatrixNear(const matrix& actual, const matrix& expected, double tolerance) {
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(actual[i], expected[i], tolerance) << "element " << i;
}

std::vector<std::string> catalogue(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.is_regular_file()) {
            std::string n = e.path().filename().string();
            if (n.find(".3d") != std::string::npos || n.find(".3D") != std::string::npos)
                names.push_back(n);
        }
    std::sort(names.begin(), names.end());
    return names;
}

std::string statusText(const std::string& axis, const std::string& file, const std::string& attach,
                       const std::string& anim, const std::string& position) {
    return "Axis Mode: " + axis + "\nGeom File: " + file.substr(0, 9) +
           "\nAttach Pt: " + attach.substr(0, 9) + "\nAnimation: " + anim +
           "\nPostion  : " + position;
}

namespace {

std::string childText(const json& dump, const std::string& type) {
    if (!dump.is_object() || !dump.contains("windows"))
        return {};
    for (const json& w : dump["windows"])
        if (w.value("title", "") == "vKivra Status")
            for (const json& c : w["children"])
                if (c.value("type", "") == type)
                    return c.value("text", "");
    return {};
}

} // namespace

std::string labelText(const json& dump) {
    return childText(dump, "label");
}
std::string entryText(const json& dump) {
    return childText(dump, "entry");
}

} // namespace e2e
