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

// The pixels of `im` inside `where` whose largest channel differs from `from`'s by more than 24,
// as a mask; `from` is a picture of the same size or, when empty, the colour of im's top left
// pixel.
struct mask {
    int width = 0, height = 0;
    std::vector<bool> set;
    int x0 = 0, y0 = 0, x1 = -1, y1 = -1; // bounding box, inclusive
    long count = 0;
    bool at(int x, int y) const {
        return set[std::size_t(y) * std::size_t(width) + std::size_t(x)];
    }
};

mask maskOf(const image& im, const image& from, const area& where) {
    mask m;
    m.width = im.width;
    m.height = im.height;
    m.set.assign(std::size_t(im.width) * std::size_t(im.height), false);
    m.x0 = im.width;
    m.y0 = im.height;
    for (int y = where.y0; y < where.y1; ++y)
        for (int x = where.x0; x < where.x1; ++x) {
            const std::uint8_t* a = im.pixel(x, y);
            const std::uint8_t* b = from.empty() ? im.pixel(0, 0) : from.pixel(x, y);
            int d = 0;
            for (int c = 0; c < 3; ++c)
                d = std::max(d, std::abs(int(a[c]) - int(b[c])));
            if (d <= 24)
                continue;
            m.set[std::size_t(y) * std::size_t(im.width) + std::size_t(x)] = true;
            ++m.count;
            m.x0 = std::min(m.x0, x);
            m.y0 = std::min(m.y0, y);
            m.x1 = std::max(m.x1, x);
            m.y1 = std::max(m.y1, y);
        }
    return m;
}

// The share of the mask's pixels in its largest 8-connected piece.
double largestPiece(const mask& m) {
    std::vector<bool> seen(m.set.size(), false);
    long best = 0;
    std::vector<std::pair<int, int>> stack;
    for (int y = m.y0; y <= m.y1; ++y)
        for (int x = m.x0; x <= m.x1; ++x) {
            const std::size_t i = std::size_t(y) * std::size_t(m.width) + std::size_t(x);
            if (!m.set[i] || seen[i])
                continue;
            long size = 0;
            seen[i] = true;
            stack.assign(1, {x, y});
            while (!stack.empty()) {
                const auto [cx, cy] = stack.back();
                stack.pop_back();
                ++size;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        const int nx = cx + dx, ny = cy + dy;
                        if (nx < 0 || ny < 0 || nx >= m.width || ny >= m.height)
                            continue;
                        const std::size_t n =
                            std::size_t(ny) * std::size_t(m.width) + std::size_t(nx);
                        if (m.set[n] && !seen[n]) {
                            seen[n] = true;
                            stack.emplace_back(nx, ny);
                        }
                    }
            }
            best = std::max(best, size);
        }
    return m.count ? double(best) / double(m.count) : 0.0;
}

// The mask over its bounding box, on a grid of cells: true where at least a third of a cell's
// pixels are set.
std::vector<bool> cells(const mask& m, int columns, int rows) {
    std::vector<bool> out;
    const double w = double(m.x1 - m.x0 + 1) / columns, h = double(m.y1 - m.y0 + 1) / rows;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) {
            long set = 0, all = 0;
            for (int y = m.y0 + int(r * h); y < m.y0 + int((r + 1) * h); ++y)
                for (int x = m.x0 + int(c * w); x < m.x0 + int((c + 1) * w); ++x) {
                    set += m.at(x, y);
                    ++all;
                }
            out.push_back(all > 0 && set * 3 >= all);
        }
    return out;
}

// The P-47 seen from above stands in one piece with its wings and tail, in the outline of the
// picture that came with the file (another program's rendering of it, straight from above).
TEST(camera, theP47FromAboveHasTheOutlineOfItsReferencePicture) {
    ZEL_NEEDS_CORPUS();
    const corpusModel plane("castle-demo-models/p47d.3ds");
    const std::string view = "view frame\nview orbit 0 89\n";
    const image ours = plane.shoot(view, "from above");
    const image background = plane.shoot(view + "key >\n", "background");
    const image reference =
        zel::render::readImage(corpus() / "castle-demo-models/p47d.3ds_screenshot.png");
    ASSERT_FALSE(reference.empty());
    ASSERT_EQ(ours.width, width);

    // The status window (top left, its label changed by "key >") and the heads-up line aside;
    // the plane, framed in the middle, stays clear of both.
    const int statusRight = 280, hud = 40;
    const mask model = maskOf(ours, background, {statusRight, 0, width, height - hud});
    ASSERT_GT(model.count, 0);
    ASSERT_GT(model.x0, statusRight) << "the plane is whole in the picture";
    ASSERT_LT(model.y1, height - hud - 1) << "the plane is whole in the picture";
    const mask wanted = maskOf(reference, image{}, {0, 0, reference.width, reference.height});
    ASSERT_GT(wanted.count, 1000);

    EXPECT_GT(largestPiece(model), 0.97) << "one piece";
    // The same proportions: span (nose to tail) against wingspan.
    const double ourShape = double(model.x1 - model.x0) / double(model.y1 - model.y0);
    const double theirShape = double(wanted.x1 - wanted.x0) / double(wanted.y1 - wanted.y0);
    EXPECT_NEAR(ourShape, theirShape, 0.1 * theirShape);
    // The same outline, cell by cell.
    const int columns = 40, rows = 32;
    const std::vector<bool> a = cells(model, columns, rows), b = cells(wanted, columns, rows);
    long both = 0, either = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        both += a[i] && b[i];
        either += a[i] || b[i];
    }
    const double overlap = either ? double(both) / double(either) : 0.0;
    std::printf("[ outline  ] p47d.3ds from above: %.0f %% of the reference outline's cells "
                "shared, largest piece %.1f %% of the pixels\n",
                overlap * 100.0, largestPiece(model) * 100.0);
    EXPECT_GT(overlap, 0.8);
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
