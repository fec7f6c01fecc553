// One script per key and mouse path: the trace, the placed model's matrix and the status label.
#include "e2e.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>

namespace e2e {
namespace {

const std::string quietTrace = startTrace + activateTrace + deactivateTrace + stopTrace;

// The model's matrix right after start-up, read once.
const matrix& loadTime() {
    static const matrix m = [] {
        auto run = runScript("");
        const json* model = findNode(run.dump["scene"], "geomSink -> archi.3ds");
        return model ? toMatrix((*model)["matrix"]) : identity();
    }();
    return m;
}

matrix modelMatrix(const json& dump, const std::string& name = "geomSink -> archi.3ds") {
    const json* model = findPath(dump["scene"], {"navigator", "tabletop", name});
    if (!model) {
        ADD_FAILURE() << "no " << name << " under the tabletop";
        return identity();
    }
    return toMatrix((*model)["matrix"]);
}

const double step = 0.25;
const double up = 1.1f;
const double down = 1.0f / 1.1f;

struct transformCase {
    const char* name;
    std::string script;
    std::function<matrix(const matrix&)> expected;
    std::string axis; // the label's axis mode afterwards
};

TEST(keys, modelCommandsComposeOntoTheLoadTimeTransform) {
    const std::vector<transformCase> cases = {
        {"x in X", "key x\n", [](const matrix& m) { return multiply(m, translation(step, 0, 0)); },
         "X"},
        {"x in Y", "key z\nkey x\n",
         [](const matrix& m) { return multiply(m, translation(0, step, 0)); }, "Y"},
        {"X in Y", "key z\nkey X\n",
         [](const matrix& m) { return multiply(m, translation(0, -step, 0)); }, "Y"},
        {"auto-repeat x twice in Z", "key z\nkey z\npress x\npress x\n",
         [](const matrix& m) { return multiply(m, translation(0, 0, 2 * step)); }, "Z"},
        {"0x178 acts as x", "key 0x178\n",
         [](const matrix& m) { return multiply(m, translation(step, 0, 0)); }, "X"},
        {"c in Y", "key z\nkey c\n", [](const matrix& m) { return multiply(scaling(1, up, 1), m); },
         "Y"},
        {"C in Y", "key z\nkey C\n",
         [](const matrix& m) { return multiply(scaling(1, down, 1), m); }, "Y"},
        {"c pressed in X", "press c\n",
         [](const matrix& m) { return multiply(scaling(up, 1, 1), m); }, "X"},
        {"v in Y", "key z\nkey v\n", [](const matrix& m) { return multiply(rotation(1, 5), m); },
         "Y"},
        {"V in Y", "key z\nkey V\n", [](const matrix& m) { return multiply(rotation(1, -5), m); },
         "Y"},
        {"v then auto-repeat in Z", "key z\nkey z\nkey v\npress v\n",
         [](const matrix& m) { return multiply(rotation(2, 10), m); }, "Z"},
        {"n restores the load-time transform", "key z\nkey x\nkey c\nkey v\nkey V\nkey C\nkey n\n",
         [](const matrix& m) { return m; }, "Y"},
        {"XYZ: translate and key turns do nothing",
         "key Z\nkey x\nkey X\nkey V\npress x\npress V\n", [](const matrix& m) { return m; },
         "XYZ"},
        {"XYZ: v held turns nothing", "key Z\ndown v\npress v\nup v\n",
         [](const matrix& m) { return m; }, "XYZ"},
        {"XYZ: c scales uniformly", "key Z\nkey c\n",
         [](const matrix& m) { return multiply(scaling(up, up, up), m); }, "XYZ"},
        {"XYZ: C shrinks uniformly", "key Z\nkey C\n",
         [](const matrix& m) { return multiply(scaling(down, down, down), m); }, "XYZ"},
        {"z four times is X again", "key z\nkey z\nkey z\nkey z\nkey x\n",
         [](const matrix& m) { return multiply(m, translation(step, 0, 0)); }, "X"},
        {"unlisted keys do nothing", "key a\nkey 0x100\nkey 0x7B\npress 1\n",
         [](const matrix& m) { return m; }, "X"},
    };
    const auto names = catalogue(sampleModels());
    for (const transformCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto run = runScript(c.script);
        EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
        EXPECT_EQ(run.result.err, "");
        EXPECT_EQ(run.result.out, quietTrace);
        expectMatrixNear(modelMatrix(run.dump), c.expected(loadTime()));
        EXPECT_EQ(labelText(run.dump), statusText(c.axis, names.front(), "tabletop", "OFF"));
    }
}

struct labelCase {
    const char* key;
    bool refreshes;
};

TEST(keys, statusLabelIsRefreshedOnlyByTheListedKeyUps) {
    // "down z" changes the axis mode without a refresh; the next key-up shows it or not.
    const std::vector<labelCase> cases = {
        {"z", true},  {"Z", true},  {"b", true},  {",", true},  {".", true},     {"<", true},
        {">", true},  {"x", false}, {"X", false}, {"c", false}, {"C", false},    {"v", false},
        {"V", false}, {"n", false}, {"?", false}, {"a", false}, {"0x17A", true},
    };
    const auto names = catalogue(sampleModels());
    for (const labelCase& c : cases) {
        SCOPED_TRACE(c.key);
        auto run = runScript(std::string("down z\nup ") + c.key + "\n");
        EXPECT_EQ(run.result.exitCode, 0);
        EXPECT_EQ(labelText(run.dump),
                  statusText(c.refreshes ? "Y" : "X", names.front(), "tabletop", "OFF"));
    }
    // Model commands in between never refresh it.
    auto run = runScript("down z\nkey x\nkey c\nkey v\nkey n\nkey ?\nkey V\nkey X\nkey C\n");
    EXPECT_EQ(labelText(run.dump), statusText("X", names.front(), "tabletop", "OFF"));
}

TEST(keys, geometryRingWrapsBothWays) {
    const auto names = catalogue(sampleModels());
    ASSERT_GE(names.size(), 3u);
    struct ringCase {
        const char* name;
        std::string script;
        std::size_t index;
    };
    const std::vector<ringCase> cases = {
        {"> once", "key >\n", 1},
        {"> twice", "key >\nkey >\n", 2},
        {"< at the first wraps to the last", "key <\n", names.size() - 1},
        {"> past the last wraps to the first", std::string(names.size() * 6, ' '), 0},
        {"> then <", "key >\nkey <\n", 0},
    };
    for (const ringCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string script = c.script;
        if (script.front() == ' ') {
            script.clear();
            for (std::size_t i = 0; i < names.size(); ++i)
                script += "key >\n";
        }
        auto run = runScript(script);
        EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
        EXPECT_EQ(run.result.err, "");
        const std::string& file = names[c.index];
        EXPECT_EQ(labelText(run.dump), statusText("X", file, "tabletop", "OFF"));
        const json* tabletop = findPath(run.dump["scene"], {"navigator", "tabletop"});
        ASSERT_NE(tabletop, nullptr);
        // The new model replaced the old one.
        ASSERT_EQ((*tabletop)["children"].size(), 1u);
        EXPECT_EQ((*tabletop)["children"][0]["name"], "geomSink -> " + file);
        EXPECT_GT(trianglesBelow((*tabletop)["children"][0]), 0);
        // Every load writes its line; the animated sample says so.
        EXPECT_EQ(run.result.out.rfind(startTrace + activateTrace, 0), 0u) << run.result.out;
        std::string last = "|> in loadGeom\n";
        if (file == "windmill.3ds")
            last += "|> Found Animation on geomSink: geomSink -> windmill.3ds\n";
        EXPECT_NE(run.result.out.find(last + deactivateTrace + stopTrace), std::string::npos)
            << run.result.out;
    }
}

TEST(keys, attachRingWrapsAndMovesTheModel) {
    // The ring: tabletop, then each child of the navigator (head, wand, tabletop).
    struct attachCase {
        const char* name;
        std::string script;
        std::vector<std::string> parent;
        std::string label;
    };
    const std::vector<attachCase> cases = {
        {". goes to head", "key .\n", {"navigator", "head"}, "head"},
        {". twice goes to wand", "key .\nkey .\n", {"navigator", "wand"}, "wand"},
        {", from the first goes to the last", "key ,\n", {"navigator", "tabletop"}, "tabletop"},
        {", twice", "key ,\nkey ,\n", {"navigator", "wand"}, "wand"},
        {". four times is the first again",
         "key .\nkey .\nkey .\nkey .\n",
         {"navigator", "tabletop"},
         "tabletop"},
        {". then ,", "key .\nkey ,\n", {"navigator", "tabletop"}, "tabletop"},
    };
    const auto names = catalogue(sampleModels());
    for (const attachCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto run = runScript(c.script);
        EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
        EXPECT_EQ(run.result.out, quietTrace);
        EXPECT_EQ(labelText(run.dump), statusText("X", names.front(), c.label, "OFF"));
        const json* parent = findPath(run.dump["scene"], c.parent);
        ASSERT_NE(parent, nullptr);
        ASSERT_FALSE((*parent)["children"].empty());
        EXPECT_EQ((*parent)["children"][0]["name"], "geomSink -> archi.3ds");
        // Exactly one place holds the model.
        int places = 0;
        std::function<void(const json&)> count = [&](const json& n) {
            if (n["name"] == "geomSink -> archi.3ds")
                ++places;
            for (const json& child : n["children"])
                count(child);
        };
        count(run.dump["scene"]);
        EXPECT_EQ(places, 1);
    }
}

TEST(keys, spareSwitchAndAnimationKeys) {
    const auto names = catalogue(sampleModels());
    auto run = runScript("key ?\nkey ?\nkey ?\nkey b\n");
    EXPECT_EQ(run.result.exitCode, 0);
    EXPECT_EQ(run.result.out, quietTrace);
    EXPECT_EQ(labelText(run.dump), statusText("X", names.front(), "tabletop", "ON"));
    run = runScript("key b\nkey b\n");
    EXPECT_EQ(labelText(run.dump), statusText("X", names.front(), "tabletop", "OFF"));
}

std::string mouseLine(int button, int type) {
    return "|> In onMouseDown(): The " + std::to_string(button) +
           " button is DOWN; type = " + std::to_string(type) + "\n";
}

std::string wheelLine(int delta) {
    return "|> In onMouseWheelDelta(): The mouse wheel delta is now " + std::to_string(delta) +
           "\n";
}

TEST(mouse, eventsReachTheModelOnlyInXYZWithVHeld) {
    // Outside XYZ the held v turns the model about the axis and no mouse event is heard.
    auto run = runScript("down v\nmouse down 1 3 4\nmouse drag 1 5 5\nwheel 120\nup v\n");
    EXPECT_EQ(run.result.exitCode, 0);
    EXPECT_EQ(run.result.out, quietTrace);
    expectMatrixNear(modelMatrix(run.dump), multiply(rotation(0, 5), loadTime()));

    // In XYZ with v held: button events turn, wheel events are traced, motion is ignored; after
    // the release nothing is heard.
    run = runScript("key Z\nmouse down 1 3 4\ndown v\nmouse down 1 3 4\nmouse drag 1 3 4\n"
                    "mouse move 3 4\nmouse up 1 3 4\nwheel 120\nwheel -240\nup v\n"
                    "mouse down 1 3 4\nwheel 120\n");
    EXPECT_EQ(run.result.exitCode, 0);
    EXPECT_EQ(run.result.out, startTrace + activateTrace + mouseLine(1, 1) + mouseLine(1, 3) +
                                  wheelLine(120) + wheelLine(-240) + deactivateTrace + stopTrace);
    // The home position is at the origin, so the pointer at (3, 4) gives the axis (0.6, 0.8, 0).
    double h = 2.5 * std::numbers::pi / 180.0;
    matrix turn = quatRotation(0.6 * std::sin(h), 0.8 * std::sin(h), 0, std::cos(h));
    expectMatrixNear(modelMatrix(run.dump), multiply(turn, multiply(turn, loadTime())));
}

TEST(mouse, otherButtonsAndEventsWithoutAPosition) {
    auto run = runScript("key Z\ndown v\nmouse down 3 0 0\nmouse drag 2 nopos\nmouse down 1 nopos\n"
                         "up v\n");
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_EQ(run.result.out, startTrace + activateTrace + mouseLine(3, 1) + mouseLine(2, 3) +
                                  mouseLine(1, 1) + deactivateTrace + stopTrace);
    // Pointer exactly over the home position: a turn about z.
    double h = 2.5 * std::numbers::pi / 180.0;
    expectMatrixNear(modelMatrix(run.dump),
                     multiply(quatRotation(0, 0, std::sin(h), std::cos(h)), loadTime()));
}

TEST(mouse, leavingXYZWhileVIsHeldSilencesTheButtons) {
    auto run = runScript("key Z\ndown v\nkey z\nmouse down 1 3 4\nwheel 120\nup v\n");
    EXPECT_EQ(run.result.exitCode, 0);
    EXPECT_EQ(run.result.out,
              startTrace + activateTrace + wheelLine(120) + deactivateTrace + stopTrace);
    expectMatrixNear(modelMatrix(run.dump), loadTime());
}

} // namespace
} // namespace e2e
