// zelhost's view moves in scripts: framed snapshots of corpus models of very different sizes, the
// far side of the cube after half an orbit, and the package's nodes untouched by every move.
#include "e2e.h"
#include "pictures.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>

namespace e2e {
namespace {

constexpr int width = 1280;
constexpr int height = 720;

// A models folder with the corpus file as archi.3ds, which the package places at start, and an
// empty zz.3ds after it in the catalogue: "key >" steps to it, the reader refuses it, and the
// model leaves the scene while the camera stays. That picture is the model's background.
class corpusModel {
public:
    explicit corpusModel(const fs::path& relative) {
        fs::copy_file(corpus() / relative, folder_.path() / "archi.3ds");
        writeText(folder_.path() / "zz.3ds", "");
    }
    image shoot(const std::string& script, const std::string& what) const {
        const fs::path png = folder_.path() / "shot.png";
        auto r = runHost(
            {"--models", folder_.path().string(), "--script", "-", "--snapshot", png.string()},
            script);
        EXPECT_EQ(r.exitCode, 0) << what << ": " << r.err;
        // The empty file is refused on stderr; nothing else is said.
        const bool refused = script.find("key >") != std::string::npos;
        EXPECT_EQ(r.err, refused ? "readFile(): cannot read zz.3ds: the file is empty\n" : "")
            << what;
        return zel::render::readImage(png);
    }

private:
    tempFolder folder_;
};

// Where the model differs from its background, the status window (top left) and the heads-up
// line (bottom) aside.
changed modelPixels(const image& model, const image& background) {
    const int statusRight = 280, statusBottom = 160, hud = 40;
    const changed right = difference(model, background, {statusRight, 0, width, height - hud}, 24);
    const changed below =
        difference(model, background, {0, statusBottom, statusRight, height - hud}, 24);
    changed all = right;
    all.count += below.count;
    if (below.count > 0) {
        all.cx =
            (right.cx * double(right.count) + below.cx * double(below.count)) / double(all.count);
        all.cy =
            (right.cy * double(right.count) + below.cy * double(below.count)) / double(all.count);
        all.x0 = std::min(right.x0, below.x0);
        all.y0 = std::min(right.y0, below.y0);
        all.x1 = std::max(right.x1, below.x1);
        all.y1 = std::max(right.y1, below.y1);
    }
    return all;
}

TEST(camera, framedModelsOfEverySizeFillASensibleShareOfThePicture) {
    ZEL_NEEDS_CORPUS();
    const char* const models[] = {"castle-demo-models/p47d.3ds", "assimp/3DS/fels.3ds",
                                  "online3dviewer/cube_with_materials.3ds"};
    for (const char* name : models) {
        SCOPED_TRACE(name);
        const corpusModel m(name);
        const image framed = m.shoot("view frame\n", "framed");
        const image background = m.shoot("view frame\nkey >\n", "background");
        ASSERT_EQ(framed.width, width);
        ASSERT_EQ(background.width, width);
        const changed c = modelPixels(framed, background);
        const double share = double(c.count) / (double(width) * double(height));
        std::printf("[ coverage ] %s after view frame: %.1f %% of the picture (%s)\n", name,
                    share * 100.0, describe(c).c_str());
        // The bounding sphere spans 80 % of the height, so the model covers at most the sphere's
        // disc (28 % of the picture); a plane seen from the side, wings edge-on, much less.
        EXPECT_GT(share, 0.01) << describe(c);
        EXPECT_LT(share, 0.30) << describe(c);
        EXPECT_LE(c.y1 - c.y0, height * 8 / 10 + 4) << describe(c);
        EXPECT_GE(std::max(c.x1 - c.x0, c.y1 - c.y0), height / 4) << describe(c);
        // In the middle of the view.
        EXPECT_LE(c.x0 + c.x1, width + height * 8 / 10) << describe(c);
        EXPECT_GE(c.x0 + c.x1, width - height * 8 / 10) << describe(c);
        EXPECT_LE(c.y0 + c.y1, height + height * 8 / 10) << describe(c);
        EXPECT_GE(c.y0 + c.y1, height - height * 8 / 10) << describe(c);
    }
}

// The mean colour of the square of side 2 * half round the picture's centre.
std::array<double, 3> centreColour(const image& im, int half = 20) {
    std::array<double, 3> sum{};
    for (int y = height / 2 - half; y < height / 2 + half; ++y)
        for (int x = width / 2 - half; x < width / 2 + half; ++x)
            for (int c = 0; c < 3; ++c)
                sum[std::size_t(c)] += im.pixel(x, y)[c];
    for (double& s : sum)
        s /= 4.0 * half * half;
    return sum;
}

double colourDistance(const std::array<double, 3>& a, const std::array<double, 3>& b) {
    double d = 0;
    for (std::size_t c = 0; c < 3; ++c)
        d = std::max(d, std::abs(a[c] - b[c]));
    return d;
}

TEST(camera, halfAnOrbitShowsTheCubesOtherFace) {
    ZEL_NEEDS_CORPUS();
    const corpusModel cube("online3dviewer/cube_with_materials.3ds");
    const auto front = centreColour(cube.shoot("view frame\n", "front"));
    const auto back = centreColour(cube.shoot("view frame\nview orbit 180 0\n", "back"));
    const auto empty = centreColour(cube.shoot("view frame\nkey >\n", "background"));
    EXPECT_GT(colourDistance(front, empty), 30) << "the cube fills the middle";
    EXPECT_GT(colourDistance(back, empty), 30) << "from behind too";
    EXPECT_GT(colourDistance(front, back), 30)
        << "front (" << front[0] << ", " << front[1] << ", " << front[2] << "), back (" << back[0]
        << ", " << back[1] << ", " << back[2] << ")";
}

TEST(camera, viewMovesChangeOnlyTheHead) {
    tempFolder tmp;
    const std::string script = "dump " + (tmp.path() / "0.json").string() +
                               "\nview frame\n"
                               "dump " +
                               (tmp.path() / "1.json").string() +
                               "\nview orbit 30 20\n"
                               "dump " +
                               (tmp.path() / "2.json").string() +
                               "\nview zoom 2\n"
                               "dump " +
                               (tmp.path() / "3.json").string() +
                               "\nview home\n"
                               "dump " +
                               (tmp.path() / "4.json").string() + "\n";
    auto r = runHost({"--script", "-"}, script);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, startTrace + activateTrace + deactivateTrace + stopTrace);

    auto matrixAt = [](const json& dump, const std::vector<std::string>& names) {
        const json* node = findPath(dump["scene"], names);
        return node ? toMatrix((*node)["matrix"]) : matrix{};
    };
    auto modelMatrix = [](const json& dump) {
        const json* tabletop = findPath(dump["scene"], {"navigator", "tabletop"});
        return tabletop ? toMatrix((*tabletop)["children"][0]["matrix"]) : matrix{};
    };
    const json start = readJson(tmp.path() / "0.json");
    ASSERT_NE(findPath(start["scene"], {"navigator", "tabletop"}), nullptr);
    for (int i = 1; i <= 4; ++i) {
        SCOPED_TRACE("after move " + std::to_string(i));
        const json d = readJson(tmp.path() / (std::to_string(i) + ".json"));
        EXPECT_EQ(matrixAt(d, {"navigator"}), matrixAt(start, {"navigator"}));
        EXPECT_EQ(matrixAt(d, {"navigator", "tabletop"}),
                  matrixAt(start, {"navigator", "tabletop"}));
        EXPECT_EQ(modelMatrix(d), modelMatrix(start));
        const bool home = i == 4;
        EXPECT_EQ(matrixAt(d, {"navigator", "head"}) == matrixAt(start, {"navigator", "head"}),
                  home);
    }
}

TEST(camera, movesWithNothingToLookAtSaySoAndGoOn) {
    // "." hangs the model on the next attach point, "head": it would ride along with the camera.
    auto onHead = runHost({"--script", "-"}, "key .\nview frame\nview home\n");
    EXPECT_EQ(onHead.exitCode, 0);
    EXPECT_EQ(onHead.err, "zelhost: line 2: view frame: the placed model hangs on the camera's "
                          "own \"head\" node; the camera stays\n");
    tempFolder empty;
    auto none = runHost({"--models", empty.path().string(), "--script", "-"}, "view frame\n");
    EXPECT_EQ(none.exitCode, 0);
    const std::string said = "zelhost: line 1: view frame: no model is placed; the camera stays\n";
    ASSERT_GE(none.err.size(), said.size()) << none.err;
    EXPECT_EQ(none.err.substr(none.err.size() - said.size()), said) << "after the reader's line";
}

} // namespace
} // namespace e2e
