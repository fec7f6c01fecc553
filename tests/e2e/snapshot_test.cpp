// zelhost --snapshot: one frame drawn offscreen after the script, checked by its pixels. The model
// is found as what differs from a render without it; the status window's title and label by the
// extent of their text, one character cell (7 pixels) per character.
#include "e2e.h"
#include "pictures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

namespace e2e {
namespace {

constexpr int width = 1280;
constexpr int height = 720;
constexpr int cell = 7; // pixels per character of the UI's monospaced font

struct shot {
    processResult result;
    image picture;
    json dump;
};

// zelhost on the script with --snapshot (and --dump) into a fresh folder.
shot snapshot(const std::string& script, const std::vector<std::string>& extra = {}) {
    tempFolder tmp;
    const fs::path png = tmp.path() / "shot.png";
    const fs::path dump = tmp.path() / "dump.json";
    std::vector<std::string> args{"--script",   "-",      "--snapshot",
                                  png.string(), "--dump", dump.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    shot s;
    s.result = runHost(args, script);
    std::string reason;
    s.picture = zel::render::readImage(png, &reason);
    if (fs::exists(dump))
        s.dump = readJson(dump);
    return s;
}

// The model is drawn right of the middle and above the HUD's line at the bottom: the status window
// and the HUD stay out of this area.
const area modelSide{width * 45 / 100, 0, width, height - 34};
constexpr int modelThreshold = 24;

// What differs from a render of the same world without a model, on the model's side.
changed modelPixels(const image& withModel) {
    static const image without = [] {
        tempFolder empty;
        return snapshot("", {"--models", empty.path().string()}).picture;
    }();
    return difference(withModel, without, modelSide, modelThreshold);
}

TEST(snapshot, tourShowsTheModelTheGroundAndTheStatusWindowWithTheTraceUnchanged) {
    tempFolder work;
    auto r = runHost({"--script", (examples() / "tour.zel").string(), "--snapshot", "tour.png"}, "",
                     work.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, readText(fs::path(__FILE__).parent_path() / "tour.expected"));
    const image im = zel::render::readImage(work.path() / "tour.png");
    ASSERT_EQ(im.width, width);
    ASSERT_EQ(im.height, height);

    const changed model = modelPixels(im);
    EXPECT_GT(model.count, 2000) << describe(model);

    // The sky is the background colour; the ground's grid lines cross the lower half.
    const std::uint8_t* sky = im.pixel(width - 1, 0);
    long skyLike = 0, groundLines = 0;
    for (int x = width / 2; x < width; ++x) {
        skyLike += std::memcmp(im.pixel(x, height / 4), sky, 3) == 0;
        for (int y = height * 2 / 3; y < height * 2 / 3 + 4; ++y)
            groundLines += std::memcmp(im.pixel(x, y), sky, 3) != 0;
    }
    EXPECT_EQ(skyLike, width / 2) << "nothing stands in the sky";
    EXPECT_GT(groundLines, 20) << "grid lines";

    // The status window is drawn at the top left, over the sky.
    long window = 0;
    for (int y = 12; y < 100; ++y)
        for (int x = 12; x < 200; ++x)
            window += std::memcmp(im.pixel(x, y), sky, 3) != 0;
    EXPECT_GT(window, 88 * 188 * 9 / 10);
}

TEST(snapshot, modelStandsWhereTheCameraSeesTheTabletopAndXMovesItRight) {
    const shot start = snapshot("");
    ASSERT_EQ(start.result.exitCode, 0) << start.result.err;
    ASSERT_EQ(start.picture.width, width);
    const changed at = modelPixels(start.picture);
    ASSERT_GT(at.count, 2000) << describe(at);

    // The tabletop's origin: the navigator (0, 1.6, 0) plus (0.75, -1.0, -2.1). The model (a house
    // half a metre across) stands on it, centred.
    const pixel origin = project(0.75, 0.6, -2.1, width, height);
    EXPECT_NEAR(at.cx, origin.x, 25) << describe(at);
    EXPECT_LE(at.x0, origin.x);
    EXPECT_GE(at.x1, origin.x);
    EXPECT_LE(at.y0, origin.y - 40) << "it rises above its base";
    EXPECT_GE(at.y1, origin.y);
    EXPECT_LE(at.y1, origin.y + 40);

    // x in axis mode X: 0.25 m to the right, seen from 2.1 m away.
    const shot moved = snapshot("key x\n");
    ASSERT_EQ(moved.result.exitCode, 0) << moved.result.err;
    const changed after = modelPixels(moved.picture);
    const pixel shifted = project(1.0, 0.6, -2.1, width, height);
    SCOPED_TRACE("before: " + describe(at) + "; after: " + describe(after));
    EXPECT_NEAR(after.cx - at.cx, shifted.x - origin.x, 8);
    EXPECT_NEAR(after.cy, at.cy, 4);
    EXPECT_NEAR(double(after.count), double(at.count), double(at.count) * 0.15);

    // The dump agrees with the picture.
    const json* model = findPath(moved.dump["scene"], {"navigator", "tabletop"});
    ASSERT_NE(model, nullptr);
    EXPECT_NEAR(toMatrix((*model)["children"][0]["matrix"])[12], 0.25, 1e-6);
}

// Bands of rows holding text ink (near-white pixels) inside an area, top to bottom, each with the
// horizontal extent of its ink.
struct band {
    int y0, y1, x0, x1;
};
std::vector<band> textBands(const image& im, const area& where) {
    auto ink = [](const std::uint8_t* p) { return p[0] > 150 && p[1] > 150 && p[2] > 150; };
    std::vector<band> bands;
    bool open = false;
    for (int y = where.y0; y < where.y1; ++y) {
        int x0 = where.x1, x1 = -1;
        for (int x = where.x0; x < where.x1; ++x)
            if (ink(im.pixel(x, y))) {
                x0 = std::min(x0, x);
                x1 = std::max(x1, x);
            }
        if (x1 < 0) {
            open = false;
            continue;
        }
        if (!open)
            bands.push_back({y, y, x0, x1});
        band& b = bands.back();
        b.y1 = y;
        b.x0 = std::min(b.x0, x0);
        b.x1 = std::max(b.x1, x1);
        open = true;
    }
    return bands;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A line of n characters spans n - 1 cells and most of the last one.
void expectSpansCharacters(const band& b, std::size_t characters) {
    const int span = b.x1 - b.x0 + 1;
    EXPECT_GE(span, int(characters - 1) * cell + 2) << "from x " << b.x0 << " to " << b.x1;
    EXPECT_LE(span, int(characters) * cell) << "from x " << b.x0 << " to " << b.x1;
}

TEST(snapshot, statusWindowShowsItsTitleAndTheLabelsLines) {
    const shot s = snapshot("");
    ASSERT_EQ(s.result.exitCode, 0) << s.result.err;
    const std::vector<std::string> lines = splitLines(labelText(s.dump));
    ASSERT_EQ(lines.size(), 5u);
    const json& window = s.dump["windows"][0];
    ASSERT_EQ(window["title"], "vKivra Status");

    // Title, five label lines, the entry: seven bands of text in the window's corner.
    const std::vector<band> bands = textBands(s.picture, {0, 0, width / 2, height / 2});
    ASSERT_GE(bands.size(), 7u);
    {
        SCOPED_TRACE("title");
        expectSpansCharacters(bands[0], std::string("vKivra Status").size());
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE("label line " + std::to_string(i + 1) + ": " + lines[i]);
        const band& b = bands[1 + i];
        expectSpansCharacters(b, lines[i].size());
        EXPECT_EQ(b.x0, bands[1].x0) << "lines start in one column";
        if (i > 0) {
            EXPECT_EQ(b.y0 - bands[i].y0, 14) << "one cell row apart";
        }
    }

    // "z" turns the axis mode to Y: the label's first line changes in its twelfth character only.
    const shot y = snapshot("key z\n");
    ASSERT_EQ(splitLines(labelText(y.dump))[0], "Axis Mode: Y");
    const changed c = difference(s.picture, y.picture, {0, 0, width / 2, height / 2}, 40);
    ASSERT_GT(c.count, 5);
    EXPECT_GE(c.x0, bands[1].x0 + 11 * cell - 1) << describe(c);
    EXPECT_LE(c.x1, bands[1].x0 + 12 * cell) << describe(c);
    EXPECT_GE(c.y0, bands[1].y0 - 2) << describe(c);
    EXPECT_LE(c.y1, bands[1].y1 + 2) << describe(c);
}

TEST(snapshot, texturedCorpusModelShowsItsTexture) {
    // A cube whose file names its texture TEST.PNG; the file is test.png. Scaled down 1.1^55 times
    // in axis mode XYZ, it stands on the tabletop about 0.4 m across.
    const fs::path corpusFolder = corpus() / "assimp" / "3DS";
    tempFolder textured, plain;
    for (const fs::path& folder : {textured.path(), plain.path()})
        fs::copy_file(corpusFolder / "cube_with_diffuse_texture.3DS", folder / "archi.3ds");
    fs::copy_file(corpusFolder / "test.png", textured.path() / "test.png");
    std::string shrink = "key Z\n";
    for (int i = 0; i < 55; ++i)
        shrink += "key C\n";

    const shot withTexture = snapshot(shrink, {"--models", textured.path().string()});
    const shot without = snapshot(shrink, {"--models", plain.path().string()});
    ASSERT_EQ(withTexture.result.exitCode, 0) << withTexture.result.err;
    ASSERT_EQ(without.result.exitCode, 0) << without.result.err;

    // Counted on the cube's pixels: the texture is cyan with dark lettering where the plain
    // material is grey.
    auto tally = [](const image& im, const changed& where, long& cyan, long& dark, long& grey) {
        cyan = dark = grey = 0;
        for (int y = where.y0; y <= where.y1; ++y)
            for (int x = where.x0; x <= where.x1; ++x) {
                const std::uint8_t* p = im.pixel(x, y);
                cyan += p[0] < 120 && p[1] > 200 && p[2] > 200;
                dark += p[0] < 60 && p[1] < 60 && p[2] < 60;
                grey += std::abs(p[0] - p[1]) < 8 && std::abs(p[1] - p[2]) < 8 && p[0] > 100;
            }
    };
    const changed cube = modelPixels(withTexture.picture);
    const changed plainCube = modelPixels(without.picture);
    ASSERT_GT(cube.count, 1500) << describe(cube);
    ASSERT_GT(plainCube.count, 1500) << describe(plainCube);
    long cyan = 0, dark = 0, grey = 0;
    tally(withTexture.picture, cube, cyan, dark, grey);
    EXPECT_GT(cyan, cube.count / 4) << describe(cube);
    EXPECT_GT(dark, 10) << "lettering";
    tally(without.picture, plainCube, cyan, dark, grey);
    EXPECT_EQ(cyan, 0);
    EXPECT_GT(grey, plainCube.count / 4) << describe(plainCube);
}

TEST(snapshot, sizeAndFailures) {
    const shot small = snapshot("", {"--size", "320x200"});
    ASSERT_EQ(small.result.exitCode, 0) << small.result.err;
    EXPECT_EQ(small.picture.width, 320);
    EXPECT_EQ(small.picture.height, 200);

    tempFolder tmp;
    struct failure {
        const char* name;
        std::vector<std::string> args;
        bool ran; // the applications started (and were stopped) before the failure
        const char* errHas;
    };
    const std::string missing = (tmp.path() / "no" / "shot.png").string();
    const std::vector<failure> cases = {
        {"missing folder", {"--snapshot", missing}, false, "no folder"},
        {"a folder", {"--snapshot", tmp.path().string()}, false, "it is a folder"},
        {"bad size", {"--snapshot", "x.png", "--size", "12x"}, false, "--size"},
        {"too large", {"--snapshot", "x.png", "--size", "16385x2"}, false, "--size"},
        {"full disk", {"--snapshot", "/dev/full"}, true, "/dev/full"},
    };
    for (const failure& f : cases) {
        SCOPED_TRACE(f.name);
        if (std::string(f.name) == "full disk" && !fs::exists("/dev/full"))
            continue;
        auto r = runHost(f.args, "", tmp.path());
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, f.ran ? startTrace + activateTrace + deactivateTrace + stopTrace : "");
        EXPECT_NE(r.err.find(f.errHas), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_FALSE(fs::exists(tmp.path() / "x.png"));
}

} // namespace
} // namespace e2e
