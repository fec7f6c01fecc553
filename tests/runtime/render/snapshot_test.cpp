// Offscreen renders checked by their pixels: where the scene lands, its colours and textures, the
// widget windows, the PNG file, and the upload cache.
#include "scenes.h"
#include "status_window.h"

#include <zel/render/backend.h>
#include <zel/render/screen.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace zel::render;
using namespace rendertest;

namespace {

constexpr int width = 320;
constexpr int height = 240;
constexpr std::array<float, 4> red{0.9f, 0.1f, 0.1f, 1.0f};

std::filesystem::path scratchDir() {
    auto dir =
        std::filesystem::temp_directory_path() / ("zel_render_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return dir;
}

class snapshot : public ::testing::Test {
protected:
    void SetUp() override {
        backendOptions o;
        o.width = width;
        o.height = height;
        v = screen::create(makeOffscreenBackend(o), nullptr);
        ASSERT_TRUE(v);
        background = {0.2f, 0.3f, 0.4f, 1.0f};
    }
    frame withItems(std::vector<drawItem> items) const {
        frame f;
        f.background = background;
        f.items = std::move(items);
        return f;
    }
    bool isBackground(const std::uint8_t* px) const { return near(px, 51, 77, 102, 2); }
    std::unique_ptr<screen> v;
    std::array<float, 4> background{};
};

TEST_F(snapshot, cubeInFrontShowsItsColourInTheCentreAndBackgroundAtTheCorners) {
    auto c = cube(1.0f);
    const image im = v->capture(withItems({item(c, translation(0, 0, -3), red)}));
    ASSERT_EQ(im.width, width);
    ASSERT_EQ(im.height, height);
    for (auto [x, y] : {std::pair{width / 2, height / 2}, {width / 2 - 10, height / 2 + 10}}) {
        SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
        EXPECT_TRUE(reddish(im.pixel(x, y)));
        // The face toward the camera is lit by the headlight, not just the ambient term.
        EXPECT_GT(im.pixel(x, y)[0], 180);
    }
    for (auto [x, y] :
         {std::pair{0, 0}, {width - 1, 0}, {0, height - 1}, {width - 1, height - 1}}) {
        SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
        EXPECT_TRUE(isBackground(im.pixel(x, y)));
    }
}

// Where the cube lands for a given cube placement and camera: the sign of its offset from the
// centre column, or no cube in the picture at all.
TEST_F(snapshot, placementAndCameraMoveTheCubeInThePicture) {
    struct placement {
        const char* name;
        matrix cubeWorld;
        matrix cameraWorld;
        int expectedSide; // -1 left, 0 centre, +1 right, 2 not visible
    };
    const placement cases[] = {
        {"centre", translation(0, 0, -3), identityMatrix, 0},
        {"moved right by +X", translation(1, 0, -3), identityMatrix, +1},
        {"moved left by -X", translation(-1, 0, -3), identityMatrix, -1},
        {"camera moved right", translation(0, 0, -3), translation(1, 0, 0), -1},
        {"behind the camera", translation(0, 0, 3), identityMatrix, 2},
        {"camera turned to face -X", translation(-3, 0, 0), turnY(90), 0},
        {"camera turned, cube ahead and to its right", translation(-3, 0, -1), turnY(90), +1},
        {"camera turned away", translation(0, 0, -3), turnY(180), 2},
    };
    auto c = cube(1.0f);
    for (const placement& p : cases) {
        SCOPED_TRACE(p.name);
        frame f = withItems({item(c, p.cubeWorld, red)});
        f.view.world = p.cameraWorld;
        int count = 0;
        const double cx = centroidX(v->capture(f), reddish, &count);
        if (p.expectedSide == 2) {
            EXPECT_EQ(count, 0);
            continue;
        }
        ASSERT_GT(count, 100);
        const double offset = cx - width / 2.0;
        if (p.expectedSide == 0) {
            EXPECT_NEAR(offset, 0.0, 2.0);
        } else {
            EXPECT_GT(offset * p.expectedSide, 20.0);
        }
    }
}

TEST_F(snapshot, headlightShadesFacesThatTurnAway) {
    // A cube turned 45 degrees shows two faces at an angle: darker than one facing the camera.
    auto c = cube(1.0f);
    const image facing = v->capture(withItems({item(c, translation(0, 0, -3), red)}));
    const image turned = v->capture(withItems({item(c, turnY(45, 0, 0, -3), red)}));
    const int x = width / 2 + 15, y = height / 2;
    EXPECT_TRUE(reddish(turned.pixel(x, y)));
    EXPECT_LT(turned.pixel(x, y)[0] + 20, facing.pixel(x, y)[0]);
}

TEST_F(snapshot, highlightBrightensFacesThatFaceTheHeadlightOnly) {
    // Dark blue with a white highlight of exponent 32: a face towards the camera takes the whole
    // highlight; faces turned 45 degrees away a small share of it; no exponent, none.
    auto c = cube(1.0f);
    const std::array<float, 4> blue{0.1f, 0.1f, 0.5f, 1};
    auto shiny = [&](const matrix& world, float shininess) {
        drawItem d = item(c, world, blue);
        d.specular = {1, 1, 1};
        d.shininess = shininess;
        return d;
    };
    const int x = width / 2 + 15, y = height / 2;
    const image plain = v->capture(withItems({item(c, translation(0, 0, -3), blue)}));
    const image lit = v->capture(withItems({shiny(translation(0, 0, -3), 32)}));
    EXPECT_LT(plain.pixel(x, y)[0], 40);
    EXPECT_GT(lit.pixel(x, y)[0], 240) << "white on the face that faces the light";
    const image turnedPlain = v->capture(withItems({item(c, turnY(45, 0, 0, -3), blue)}));
    const image turned = v->capture(withItems({shiny(turnY(45, 0, 0, -3), 32)}));
    EXPECT_GE(turned.pixel(x, y)[0], turnedPlain.pixel(x, y)[0]);
    EXPECT_LT(turned.pixel(x, y)[0], turnedPlain.pixel(x, y)[0] + 30);
    const image none = v->capture(withItems({shiny(translation(0, 0, -3), 0)}));
    EXPECT_EQ(none.pixel(x, y)[0], plain.pixel(x, y)[0]);
}

TEST_F(snapshot, texturedQuadShowsTheTextureTheRightWayUp) {
    // 2x2 texture, top row red and green, bottom row blue and white.
    auto texels = std::make_shared<std::vector<std::uint8_t>>(std::vector<std::uint8_t>{
        255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255});
    auto q = quad(2.0f);
    drawItem d = item(q, translation(0, 0, -1.0f), {1, 1, 1, 1});
    d.textureKey = texels;
    d.texture = {texels->data(), 2, 2, false};
    const image im = v->capture(withItems({d}));

    struct sample {
        const char* name;
        int x, y;
        int r, g, b;
    };
    // The quad spans 2 units at distance 1 with a 60-degree view: it covers the picture's height,
    // and the texel centres (uv 0.25 and 0.75) lie about 104 pixels from the picture's centre.
    const sample samples[] = {
        {"top left", width / 2 - 100, height / 2 - 100, 255, 0, 0},
        {"top right", width / 2 + 100, height / 2 - 100, 0, 255, 0},
        {"bottom left", width / 2 - 100, height / 2 + 100, 0, 0, 255},
        {"bottom right", width / 2 + 100, height / 2 + 100, 255, 255, 255},
    };
    for (const sample& s : samples) {
        SCOPED_TRACE(s.name);
        const std::uint8_t* px = im.pixel(s.x, s.y);
        // Lit by the headlight, so somewhat darker than the texel away from the centre.
        for (int ch = 0; ch < 3; ++ch) {
            const int expected = (&s.r)[ch];
            if (expected) {
                EXPECT_GT(px[ch], 200) << "channel " << ch;
            } else {
                EXPECT_LT(px[ch], 40) << "channel " << ch;
            }
        }
    }
    EXPECT_EQ(v->scene().stats().textures, 1u);

    // The picture goes with its key: a frame after the key expired holds no GPU copy of it.
    d = {};
    texels.reset();
    v->capture(withItems({}));
    EXPECT_EQ(v->scene().stats().textures, 0u);
}

// The edge pass: a square turned 30 degrees has pixels between its colour and the background along
// its edges, and none without the pass; inside the square and out in the background nothing
// changes.
TEST_F(snapshot, edgePassBlendsAcrossEdgesAndLeavesFlatAreasAlone) {
    auto q = quad(1.0f);
    const float c = std::cos(0.5236f), s = std::sin(0.5236f);
    const matrix turned{c, s, 0, 0, -s, c, 0, 0, 0, 0, 1, 0, 0, 0, -2.5f, 1};
    const frame f = withItems({item(q, turned, {1, 1, 1, 1})});
    const image stairs = v->capture(f);
    v.reset(); // one screen at a time
    backendOptions o;
    o.width = width;
    o.height = height;
    screenOptions smoothing;
    smoothing.smoothEdges = true;
    auto smooth = screen::create(makeOffscreenBackend(o), nullptr, smoothing);
    ASSERT_TRUE(smooth);
    const image blended = smooth->capture(f);
    ASSERT_EQ(blended.width, width);
    // Grey levels strictly between the background's and the square's, in the scene's part of the
    // picture (the UI draws nothing here).
    auto between = [](const image& im) {
        return countIn(im, 0, 0, width, height, [](const std::uint8_t* p) {
            return p[0] > 70 && p[0] < 220 && p[1] > 90 && p[1] < 220;
        });
    };
    EXPECT_LT(between(stairs), 20);
    EXPECT_GT(between(blended), 200);
    for (auto [x, y] : {std::pair{width / 2, height / 2}, {5, 5}, {width - 5, height - 5}}) {
        SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
        EXPECT_TRUE(std::equal(stairs.pixel(x, y), stairs.pixel(x, y) + 3, blended.pixel(x, y)));
    }
}

TEST_F(snapshot, emptyTextureFallsBackToTheDiffuseColour) {
    auto q = quad(1.0f);
    drawItem d = item(q, translation(0, 0, -2), red);
    d.textureKey = std::make_shared<char>(0); // a picture without pixels
    const image im = v->capture(withItems({d}));
    EXPECT_TRUE(reddish(im.pixel(width / 2, height / 2)));
    EXPECT_EQ(v->scene().stats().textures, 0u);
}

TEST_F(snapshot, translucentItemBlendsOverWhatIsBehindIt) {
    auto front = quad(1.0f);
    auto back = quad(4.0f);
    drawItem glass = item(front, translation(0, 0, -2), {0.0f, 0.0f, 1.0f, 0.5f});
    drawItem wall = item(back, translation(0, 0, -4), {1.0f, 0.0f, 0.0f, 1.0f});
    // The translucent one comes first in the list: it must still show the wall through it.
    const std::uint8_t* px = nullptr;
    const image im = v->capture(withItems({glass, wall}));
    px = im.pixel(width / 2, height / 2);
    EXPECT_GT(px[0], 90);
    EXPECT_GT(px[2], 90);
}

TEST_F(snapshot, groundGridDrawsLinesOnTheFloor) {
    auto g = std::make_shared<gridMesh>(makeGrid(5.0f, 0.5f));
    drawItem d;
    d.key = g;
    d.positions = g->positions.data();
    d.vertexCount = static_cast<std::uint32_t>(g->positions.size() / 3);
    d.indices = g->indices.data();
    d.indexCount = static_cast<std::uint32_t>(g->indices.size());
    d.lines = true;
    d.diffuse = {1, 1, 0, 1};
    frame f = withItems({d});
    f.view.world = translation(0, 1.6f, 0); // eye height above the floor
    const image im = v->capture(f);
    auto yellowish = [](const std::uint8_t* p) { return p[0] > 120 && p[1] > 120 && p[2] < 100; };
    EXPECT_GT(countIn(im, 0, height / 2 + 5, width, height, yellowish), 200);
    EXPECT_EQ(countIn(im, 0, 0, width, height / 2 - 5, yellowish), 0) << "the sky has no grid";
}

TEST_F(snapshot, windowShowsItsTitleAndLabelText) {
    auto windowFrame = [](std::string title, std::string label) {
        frame f;
        f.background = {0, 0, 0, 1};
        f.windows.push_back(
            statusWindow(std::move(title), std::move(label), "geoms.zip", {200}, 7));
        return f;
    };
    auto bright = [](const std::uint8_t* p) { return p[0] > 170 && p[1] > 170 && p[2] > 170; };
    const image both = v->capture(windowFrame("Status Window", "Axis: X"));
    const image noTitle = v->capture(windowFrame("", "Axis: X"));
    const image noLabel = v->capture(windowFrame("Status Window", ""));

    const int titleBar[] = {windowLeft, windowTop, contentX(200), windowTop + titleBarHeight()};
    const int labelArea[] = {contentX(0), contentY(0), contentX(200), contentY(28)};
    auto count = [&](const image& im, const int* r) {
        return countIn(im, r[0], r[1], r[2], r[3], bright);
    };
    EXPECT_GT(count(both, titleBar), 20);
    EXPECT_LT(count(noTitle, titleBar), 3);
    EXPECT_GT(count(both, labelArea), 20);
    EXPECT_LT(count(noLabel, labelArea), 3);
    // The window covers the scene's background where it stands, and nothing beyond it.
    EXPECT_FALSE(near(both.pixel(100, 100), 0, 0, 0, 0));
    EXPECT_TRUE(near(both.pixel(300, 200), 0, 0, 0, 0));
}

TEST_F(snapshot, hudLinesAppearAtTheBottomLeft) {
    frame f = withItems({});
    const image plain = v->capture(f);
    f.hud = {"position 0 0 0", "scale 1 1 1"};
    const image hud = v->capture(f);
    auto differs = [&](int x0, int y0, int x1, int y1) {
        int n = 0;
        for (int y = y0; y < y1; ++y) {
            for (int x = x0; x < x1; ++x) {
                n += std::memcmp(plain.pixel(x, y), hud.pixel(x, y), 3) != 0;
            }
        }
        return n;
    };
    EXPECT_GT(differs(0, height - 60, width / 2, height), 100);
    EXPECT_EQ(differs(0, 0, width, height / 2), 0);
}

// A character that first appears in a later frame gets its glyph between two frames: the picture
// is the one a view that had it from the start draws.
TEST_F(snapshot, glyphsGrowBetweenFramesAsNewCharactersAppear) {
    frame f = withItems({});
    f.hud = {"abc"};
    const image latin = v->capture(f);
    f.hud = {"abc \u65E5\u672C\u8A9E \u0414\u043E\u043C"};
    const image grown = v->capture(f);
    v.reset();
    backendOptions o;
    o.width = width;
    o.height = height;
    v = screen::create(makeOffscreenBackend(o), nullptr);
    ASSERT_TRUE(v);
    const image fresh = v->capture(f);
    ASSERT_EQ(grown.rgba.size(), fresh.rgba.size());
    EXPECT_TRUE(grown.rgba == fresh.rgba);
    EXPECT_FALSE(grown.rgba == latin.rgba);
}

TEST_F(snapshot, pngIsWrittenAndReadsBackAsTheCapturedPicture) {
    auto c = cube(1.0f);
    const frame f = withItems({item(c, translation(0.5f, 0, -3), red)});
    const auto file = scratchDir() / "snap.png";
    ASSERT_TRUE(v->snapshot(f, file));
    const image captured = v->capture(f);
    std::string why;
    const image read = readImage(file, &why);
    ASSERT_FALSE(read.empty()) << why;
    ASSERT_EQ(read.width, width);
    ASSERT_EQ(read.height, height);
    int different = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            different += std::memcmp(read.pixel(x, y), captured.pixel(x, y), 3) != 0;
        }
    }
    // Renders on one Mesa are identical from frame to frame.
    EXPECT_EQ(different, 0);
    // Top row first in the file: the bottom rows of a floorless picture are background.
    EXPECT_TRUE(isBackground(read.pixel(5, height - 1)));
}

TEST_F(snapshot, unwritablePngIsAFailureNotACrash) {
    const frame f = withItems({});
    EXPECT_FALSE(v->snapshot(f, scratchDir() / "no" / "such" / "folder" / "x.png"));
}

TEST_F(snapshot, meshWithAnIndexOutOfRangeIsNotDrawn) {
    auto bad = cube(1.0f);
    bad->indices[4] = 8; // one past the last corner
    auto good = cube(0.5f);
    const image im = v->capture(withItems(
        {item(bad, translation(0, 0, -3), red), item(good, translation(1, 0, -3), {0, 1, 0, 1})}));
    EXPECT_TRUE(isBackground(im.pixel(width / 2, height / 2)));
    auto greenish = [](const std::uint8_t* p) { return p[1] > 120 && p[0] < 60; };
    EXPECT_GT(countIn(im, width / 2, 0, width, height, greenish), 100) << "the rest still draws";
}

TEST_F(snapshot, uploadsOncePerMeshAndReleasesWhatIsGone) {
    auto a = cube(1.0f);
    auto b = cube(0.5f);
    frame f = withItems({item(a, translation(-1, 0, -4), red), item(a, translation(1, 0, -4), red),
                         item(b, translation(0, 1, -4), red)});
    v->capture(f);
    v->capture(f);
    rendererStats s = v->scene().stats();
    EXPECT_EQ(s.meshes, 2u);
    EXPECT_EQ(s.uploads, 2u) << "a shared mesh and a repeated frame upload nothing again";
    EXPECT_EQ(s.drawnItems, 3u);
    EXPECT_EQ(s.drawnTriangles, 36u);

    // Gone from the frame but alive: kept until released.
    v->capture(withItems({item(a, translation(0, 0, -4), red)}));
    EXPECT_EQ(v->scene().stats().meshes, 2u);
    v->scene().releaseUnused({a.get()});
    EXPECT_EQ(v->scene().stats().meshes, 1u);

    // Expired key: freed at the next frame, and a new mesh at the same address is a new upload.
    f.items.clear();
    a.reset();
    v->capture(f);
    EXPECT_EQ(v->scene().stats().meshes, 0u);
}

TEST_F(snapshot, idleMeshesAreReleasedAfterTheirFrames) {
    v->scene().setIdleFrames(2);
    auto a = cube(1.0f);
    v->capture(withItems({item(a, translation(0, 0, -3), red)}));
    for (int i = 0; i < 2; ++i) {
        v->capture(withItems({}));
        EXPECT_EQ(v->scene().stats().meshes, 1u) << "frame " << i;
    }
    v->capture(withItems({}));
    EXPECT_EQ(v->scene().stats().meshes, 0u);
    // Drawn again: uploaded again.
    const std::size_t before = v->scene().stats().uploads;
    v->capture(withItems({item(a, translation(0, 0, -3), red)}));
    EXPECT_EQ(v->scene().stats().uploads, before + 1);
}

TEST_F(snapshot, transientItemsWithoutKeyDrawEveryFrame) {
    auto c = cube(1.0f);
    drawItem d = item(c, translation(0, 0, -3), red);
    d.key.reset();
    const image im = v->capture(withItems({d}));
    EXPECT_TRUE(reddish(im.pixel(width / 2, height / 2)));
    EXPECT_EQ(v->scene().stats().meshes, 0u);
}

// The whole picture against a committed one: floor grid, a turned cube, a status window and the
// HUD. Renders on one Mesa are identical; the tolerance absorbs another Mesa's rounding. Set
// ZEL_RENDER_UPDATE_GOLDEN=1 to write a new golden file after a deliberate change.
TEST_F(snapshot, sceneMatchesTheGoldenPicture) {
    auto g = std::make_shared<gridMesh>(makeGrid(5.0f, 0.5f));
    drawItem grid;
    grid.key = g;
    grid.positions = g->positions.data();
    grid.vertexCount = static_cast<std::uint32_t>(g->positions.size() / 3);
    grid.indices = g->indices.data();
    grid.indexCount = static_cast<std::uint32_t>(g->indices.size());
    grid.lines = true;
    grid.diffuse = {0.5f, 0.5f, 0.5f, 1};
    auto c = cube(0.5f);
    frame f = withItems({grid, item(c, turnY(30, 0, 0.25f, -2), {0.9f, 0.3f, 0.2f, 1})});
    f.view.world = translation(0, 1.2f, 0.5f);
    f.windows.push_back(
        statusWindow("Status", "Axis: XYZ\nAnim: OFF", "geoms.zip", {140, 42, 28, 14}));
    f.hud = {"position 0 0 0"};
    const image im = v->capture(f);

    const std::filesystem::path golden = ZEL_RENDER_GOLDEN_DIR "/scene.png";
    if (std::getenv("ZEL_RENDER_UPDATE_GOLDEN")) {
        ASSERT_TRUE(writePng(im, golden));
    }
    std::string why;
    const image expected = readImage(golden, &why);
    ASSERT_FALSE(expected.empty()) << golden << ": " << why;
    ASSERT_EQ(expected.width, im.width);
    ASSERT_EQ(expected.height, im.height);
    int off = 0;
    for (int y = 0; y < im.height; ++y) {
        for (int x = 0; x < im.width; ++x) {
            off += near(im.pixel(x, y), expected.pixel(x, y)[0], expected.pixel(x, y)[1],
                        expected.pixel(x, y)[2], 8)
                       ? 0
                       : 1;
        }
    }
    EXPECT_LE(off, im.width * im.height / 200) << "pixels that differ by more than 8";
}

TEST(offscreen, rejectsImpossibleSizes) {
    for (auto [w, h] : {std::pair{0, 720}, {1280, -1}, {100000, 10}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        backendOptions o;
        o.width = w;
        o.height = h;
        EXPECT_FALSE(makeOffscreenBackend(o));
    }
}

} // namespace
