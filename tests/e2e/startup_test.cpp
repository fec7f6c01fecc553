// zelhost with no script: the start-up and shutdown trace, and the scene and window it leaves.
#include "e2e.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

const std::string fullTrace = startTrace + activateTrace + deactivateTrace + stopTrace;

TEST(startup, traceOnTheDefaultsIsExact) {
    auto r = runHost({});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, fullTrace);
    EXPECT_EQ(r.err, "");
    // --headless changes nothing yet.
    auto headless = runHost({"--headless"});
    EXPECT_EQ(headless.exitCode, 0);
    EXPECT_EQ(headless.out, fullTrace);
}

TEST(startup, dumpShowsTheTabletopTheModelAndTheStatusWindow) {
    auto run = runScript("");
    ASSERT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_EQ(run.result.out, fullTrace);
    const json& d = run.dump;
    ASSERT_TRUE(d.is_object());
    EXPECT_EQ(d["scene"]["name"], "scene");

    const json* tabletop = findPath(d["scene"], {"navigator", "tabletop"});
    ASSERT_NE(tabletop, nullptr);
    expectMatrixNear(toMatrix((*tabletop)["matrix"]), translation(0.75, -1.0, -2.1));
    ASSERT_FALSE((*tabletop)["children"].empty());
    const json& model = (*tabletop)["children"][0];
    EXPECT_EQ(model["name"], "geomSink -> archi.3ds");
    EXPECT_GT(trianglesBelow(model), 0);
    // The 3DS root turns the Z-up file upright.
    expectMatrixNear(toMatrix(model["matrix"]), rotation(0, -90.0));

    ASSERT_EQ(d["windows"].size(), 1u);
    const json& window = d["windows"][0];
    EXPECT_EQ(window["title"], "vKivra Status");
    EXPECT_EQ(window["connected"], true);
    ASSERT_EQ(window["children"].size(), 2u);
    EXPECT_EQ(window["children"][0]["type"], "label");
    EXPECT_EQ(window["children"][1]["type"], "entry");
    auto names = catalogue(sampleModels());
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(labelText(d), statusText("X", names.front(), "tabletop", "OFF"));
    std::string url = entryText(d);
    EXPECT_EQ(url.rfind("http://", 0), 0u) << url;
    EXPECT_EQ(url.substr(url.size() - 9), "geoms.zip") << url;
    for (const json& child : window["children"]) {
        ASSERT_EQ(child["rect"].size(), 4u);
        EXPECT_GT(child["rect"][2].get<int>(), 0);
        EXPECT_GT(child["rect"][3].get<int>(), 0);
    }
}

TEST(startup, withoutTheStylesPackageTheModelIsPlacedAndNoWindowIsBuilt) {
    // A copy of zelhost finds packages beside itself; this folder has the package but no styles.
    tempFolder layout;
    fs::copy_file(zelhostPath(), layout.path() / "zelhost");
    fs::create_symlink(binFolder() / "libpropplacer.so", layout.path() / "libpropplacer.so");
    fs::path dump = layout.path() / "dump.json";
    processOptions spec;
    spec.args = {(layout.path() / "zelhost").string(), "--dump", dump.string()};
    spec.environment = {{"ZEL_PACKAGE_PATH", ""}};
    auto r = runProcess(spec);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "propPlacer - onStart\n|> in loadGeom\n" + activateTrace + deactivateTrace +
                         stopTrace);
    EXPECT_NE(r.err.find("libzelstyles.so"), std::string::npos) << r.err;
    json d = readJson(dump);
    EXPECT_TRUE(d["windows"].empty());
    const json* model = findPath(d["scene"], {"navigator", "tabletop", "geomSink -> archi.3ds"});
    ASSERT_NE(model, nullptr);
    EXPECT_GT(trianglesBelow(*model), 0);
}

TEST(startup, aModelFolderWithoutGeometryLeavesTheTabletopEmpty) {
    tempFolder models;
    writeText(models.path() / "notes.txt", "no models here\n");
    writeText(models.path() / "floor.obj", "v 0 0 0\n");
    auto run = runScript("", {"--models", models.path().string()});
    EXPECT_EQ(run.result.exitCode, 0);
    EXPECT_EQ(run.result.out, fullTrace);
    EXPECT_NE(run.result.err.find("archi.3ds"), std::string::npos) << run.result.err;
    const json* tabletop = findPath(run.dump["scene"], {"navigator", "tabletop"});
    ASSERT_NE(tabletop, nullptr);
    EXPECT_TRUE((*tabletop)["children"].empty());
    EXPECT_EQ(labelText(run.dump), statusText("X", "", "tabletop", "OFF"));
}

TEST(startup, afterAnUnreadableFirstModelTheNextOneGoesOnTheTabletop) {
    tempFolder models;
    writeText(models.path() / "archi.3ds", "not a model at all");
    fs::copy_file(sampleModels() / "table.3ds", models.path() / "table.3ds");
    auto run = runScript("key >\n", {"--models", models.path().string()});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_NE(findPath(run.dump["scene"], {"navigator", "tabletop", "geomSink -> table.3ds"}),
              nullptr)
        << run.dump["scene"].dump(1);
    EXPECT_EQ(findPath(run.dump["scene"], {"navigator", "geomSink -> table.3ds"}), nullptr);
    EXPECT_EQ(labelText(run.dump), statusText("X", "table.3ds", "tabletop", "OFF"));
}

TEST(startup, relativeModelFolderIsTakenFromTheWorkingFolder) {
    // The application gets the folder as an absolute path; the catalogue comes from it.
    tempFolder work;
    fs::create_directory(work.path() / "m");
    fs::copy_file(sampleModels() / "table.3ds", work.path() / "m" / "archi.3ds");
    fs::copy_file(sampleModels() / "tree.3ds", work.path() / "m" / "tree.3ds");
    auto r = runHost({"--models", "m", "--dump", "d.json"}, "", work.path());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, fullTrace);
    json d = readJson(work.path() / "d.json");
    EXPECT_EQ(labelText(d), statusText("X", "archi.3ds", "tabletop", "OFF"));
    EXPECT_NE(findPath(d["scene"], {"navigator", "tabletop", "geomSink -> archi.3ds"}), nullptr);
}

TEST(startup, anAnimatedModelIsFoundAndPlaysWhenSwitchedOn) {
    tempFolder models;
    fs::copy_file(sampleModels() / "windmill.3ds", models.path() / "archi.3ds");
    const std::string animated = "propPlacer - onStart\n|> in loadGeom\n"
                                 "|> Found Animation on geomSink: geomSink -> archi.3ds\n1\n";
    auto still = runScript("advance 0.5\n", {"--models", models.path().string()});
    EXPECT_EQ(still.result.exitCode, 0) << still.result.err;
    EXPECT_EQ(still.result.out, animated + activateTrace + deactivateTrace + stopTrace);
    const json* model = findNode(still.dump["scene"], "geomSink -> archi.3ds");
    ASSERT_NE(model, nullptr);
    ASSERT_TRUE(model->contains("anim"));
    EXPECT_EQ((*model)["anim"]["playing"], false);

    auto playing = runScript("key b\nadvance 0.5\n", {"--models", models.path().string()});
    EXPECT_EQ(playing.result.exitCode, 0) << playing.result.err;
    EXPECT_EQ(playing.result.out, still.result.out);
    const json* moving = findNode(playing.dump["scene"], "geomSink -> archi.3ds");
    ASSERT_NE(moving, nullptr);
    EXPECT_EQ((*moving)["anim"]["playing"], true);
    EXPECT_EQ(labelText(playing.dump), statusText("X", "archi.3ds", "tabletop", "ON"));
    // Some node of the model has moved.
    EXPECT_NE((*moving)["children"].dump(), (*model)["children"].dump());
}

} // namespace
} // namespace e2e
