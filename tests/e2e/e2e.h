// What the end-to-end tests share: where the built programs are, running zelhost, reading its dump,
// and small row-vector matrix helpers (v' = v * M, row-major, translation in elements 12..14).
#pragma once

#include <corpus.h>
#include <process.h>

#include <nlohmann/json.hpp>

#include <array>
#include <filesystem>
#include <string>
#include <vector>

namespace e2e {

using zel::proc::backgroundProcess;
using zel::proc::processOptions;
using zel::proc::processResult;
using zel::proc::runProcess;

namespace fs = std::filesystem;
using json = nlohmann::json;
using matrix = std::array<double, 16>;

const std::string& zelhostPath();
fs::path binFolder();
fs::path sampleModels();
fs::path testPackages();
fs::path corpus();
fs::path examples();

// Runs zelhost with the arguments, the text on its standard input, in the folder (empty: the
// caller's), without the caller's display (DISPLAY and WAYLAND_DISPLAY), with env added.
processResult runHost(const std::vector<std::string>& args, const std::string& input = "",
                      const fs::path& cwd = {},
                      const std::vector<std::pair<std::string, std::string>>& env = {});

// Runs zelhost on a script given as text (through --script -) and dumps the world after it.
struct scriptRun {
    processResult result;
    json dump; // null when no dump was written
};
scriptRun runScript(const std::string& script, const std::vector<std::string>& extraArgs = {});

// A fresh folder removed at the end of the scope.
class tempFolder {
public:
    tempFolder();
    ~tempFolder();
    tempFolder(const tempFolder&) = delete;
    tempFolder& operator=(const tempFolder&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

json readJson(const fs::path& file);
std::string readText(const fs::path& file);
void writeText(const fs::path& file, const std::string& text);

// The node reached by names from the root's children down; null when missing.
const json* findPath(const json& scene, const std::vector<std::string>& names);
// The first node named name anywhere below (and including) node; null when missing.
const json* findNode(const json& node, const std::string& name);
// The number of triangles of the node and everything below it.
long long trianglesBelow(const json& node);

matrix toMatrix(const json& m);
matrix identity();
matrix multiply(const matrix& a, const matrix& b); // a * b
matrix translation(double x, double y, double z);
matrix scaling(double x, double y, double z);
// Right-handed turn by degrees about a principal axis (0 x, 1 y, 2 z).
matrix rotation(int axis, double degrees);
// The turn of the unit quaternion (x, y, z, w).
matrix quatRotation(double x, double y, double z, double w);
// Fails the current test when some element differs by more than tolerance.
void expectMatrixNear(const matrix& actual, const matrix& expected, double tolerance = 1e-5);

// The lines of the trace that the package writes for one start with the sample models and then
// its stop: the start-up (with and without the status window) and the shutdown.
inline const std::string startTrace = "propPlacer - onStart\n|> in loadGeom\n1\n";
inline const std::string activateTrace = "propPlacer::onActivate() Adding observers.\n";
inline const std::string deactivateTrace = "propPlacer::onDeactivate() Removing observers.\n";
inline const std::string stopTrace = "propPlacer::onStop() Cleaning up.\n";

// The sorted names of the folder's geometry catalogue (names holding ".3d" or ".3D").
std::vector<std::string> catalogue(const fs::path& folder);
// The status label's five lines.
std::string statusText(const std::string& axis, const std::string& file, const std::string& attach,
                       const std::string& anim, const std::string& position = "[0, 0, 0]");
// The text of the first label / entry of the window titled "vKivra Status"; empty when missing.
std::string labelText(const json& dump);
std::string entryText(const json& dump);

} // namespace e2e
