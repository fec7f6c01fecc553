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
        // Letters' ink starts where their side bearing puts it in the cell ("A" and "G" differ).
        EXPECT_NEAR(b.x0, bands[1].x0, 1) << "lines start in one column";
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

// ---- file names in every script ---------------------------------------------------------------

// The sample house as archi.3ds (loaded at start-up) and under `name` (bytes, as the file system
// keeps them) in a fresh models folder; ">" steps to the second, so that the status window's file
// line and the heads-up line show the name.
shot namedModel(const std::string& name) {
    tempFolder models;
    const fs::path house = examples() / "models" / "archi.3ds";
    fs::copy_file(house, models.path() / "archi.3ds");
    fs::copy_file(house, models.path() / fs::path(name));
    return snapshot("key >\n", {"--models", models.path().string()});
}

// The characters of a UTF-8 name with the cells each takes: two for the CJK ones used here.
std::vector<std::pair<std::string, int>> characters(const std::string& utf8) {
    std::vector<std::pair<std::string, int>> out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        const std::size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        out.emplace_back(utf8.substr(i, n), n == 3 && b >= 0xE3 ? 2 : 1);
        i += n;
    }
    return out;
}

// Where one line of text is drawn: the left edge of its first cell and the rows of its cell.
struct textLine {
    int x = 0, y0 = 0, y1 = 0;
};

// The status window's file line ("Geom File: ..."; the label's second line) and the heads-up line.
// Both are found in a render of a Latin name: every render of these tests puts them in the same
// place, only the name's glyphs change.
struct linePlaces {
    textLine file, hud;
};
const linePlaces& places() {
    static const linePlaces p = [] {
        const shot latin = namedModel("house.3ds");
        const std::vector<band> window = textBands(latin.picture, {0, 0, width / 2, height / 2});
        const std::vector<band> hud = textBands(latin.picture, {0, height - 40, width, height});
        linePlaces r;
        if (window.size() < 3 || hud.empty()) {
            ADD_FAILURE() << "no text found in the render of house.3ds";
            return r;
        }
        // "G" and "h" start at the left edge of their cells; a cell row is 14 pixels high.
        r.file = {window[2].x0, window[2].y0 - 3, window[2].y0 + 11};
        r.hud = {hud.front().x0, hud.front().y0 - 3, hud.front().y0 + 11};
        return r;
    }();
    return p;
}

// The pixels of `cells` character cells from cell `first` of a line.
struct patch {
    std::vector<std::uint8_t> rgb;
    int w = 0, h = 0;
};
patch cellsAt(const image& im, const textLine& line, int first, int cells) {
    patch p;
    p.w = cells * cell;
    p.h = line.y1 - line.y0;
    for (int y = line.y0; y < line.y1; ++y)
        for (int x = line.x + first * cell; x < line.x + (first + cells) * cell; ++x)
            p.rgb.insert(p.rgb.end(), im.pixel(x, y), im.pixel(x, y) + 3);
    return p;
}

// Pixels of the left `columns` columns of two patches whose largest channel difference exceeds 40.
// The outermost column on either side is left out: a glyph may reach a pixel into its neighbour's
// cell.
long differing(const patch& a, const patch& b, int columns) {
    long n = 0;
    for (int y = 0; y < std::min(a.h, b.h); ++y)
        for (int x = 1; x < columns - 1; ++x) {
            const std::uint8_t* p = &a.rgb[std::size_t(y * a.w + x) * 3];
            const std::uint8_t* q = &b.rgb[std::size_t(y * b.w + x) * 3];
            int d = 0;
            for (int c = 0; c < 3; ++c)
                d = std::max(d, std::abs(int(p[c]) - int(q[c])));
            n += d > 40;
        }
    return n;
}

// Ink: pixels that stand out from the patch's first pixel (its background).
long ink(const patch& p) {
    patch blank = p;
    for (std::size_t i = 0; i < blank.rgb.size(); ++i)
        blank.rgb[i] = p.rgb[i % 3];
    return differing(p, blank, p.w);
}

TEST(snapshot, fileNamesInEveryScriptShowTheirOwnGlyphs) {
    const linePlaces& at = places();
    constexpr int prefix = 11; // "Geom File: "

    // What the UI draws for a character no font has (U+0378 is unassigned): the fallback glyph,
    // U+FFFD. A name with bytes that are not UTF-8 shows it where the bad bytes are.
    const shot unassigned = namedModel("\u0378.3ds");
    ASSERT_EQ(unassigned.result.exitCode, 0) << unassigned.result.err;
    EXPECT_NE(unassigned.result.err.find("no installed font has U+0378"), std::string::npos)
        << unassigned.result.err;
    const patch missingInFile = cellsAt(unassigned.picture, at.file, prefix, 1);
    const patch missingInHud = cellsAt(unassigned.picture, at.hud, 0, 1);
    ASSERT_GT(ink(missingInFile), 10);
    ASSERT_GT(ink(missingInHud), 10);
    {
        SCOPED_TRACE("bytes that are not UTF-8");
        const shot bad = namedModel("a\xFF\xFE"
                                    "b.3ds");
        ASSERT_EQ(bad.result.exitCode, 0) << bad.result.err;
        EXPECT_EQ(bad.result.err.find("view:"), std::string::npos) << bad.result.err;
        for (int i : {1, 2}) {
            EXPECT_LE(differing(cellsAt(bad.picture, at.file, prefix + i, 1), missingInFile, cell),
                      2);
            EXPECT_LE(differing(cellsAt(bad.picture, at.hud, i, 1), missingInHud, cell), 2);
        }
        EXPECT_GT(differing(cellsAt(bad.picture, at.file, prefix, 1), missingInFile, cell), 10)
            << "\"a\" is drawn";
    }

    const shot questions = namedModel("???.3ds");
    ASSERT_EQ(questions.result.exitCode, 0) << questions.result.err;

    // Scripts whose characters stand alone take one glyph per cell; a joined, right-to-left name
    // is checked against HarfBuzz's own drawing in the renderer's tests.
    for (const std::string name : {"日本語.3ds", "Дом.3ds", "Σπίτι.3ds"}) {
        SCOPED_TRACE(name);
        const shot s = namedModel(name);
        ASSERT_EQ(s.result.exitCode, 0) << s.result.err;
        // Every character found a font.
        EXPECT_EQ(s.result.err.find("view:"), std::string::npos) << s.result.err;
        ASSERT_EQ(splitLines(labelText(s.dump)).at(1), "Geom File: " + name);

        for (const bool inFile : {true, false}) {
            SCOPED_TRACE(inFile ? "file line" : "heads-up line");
            const textLine& line = inFile ? at.file : at.hud;
            const int first = inFile ? prefix : 0;
            const patch* missing = inFile ? &missingInFile : &missingInHud;
            std::vector<patch> seen;
            int column = first;
            for (const auto& [character, cells] : characters(name)) {
                SCOPED_TRACE("character " + character + " at cell " + std::to_string(column));
                const patch p = cellsAt(s.picture, line, column, cells);
                EXPECT_GT(differing(p, *missing, cell), 6) << "not the missing-glyph fallback";
                if (static_cast<unsigned char>(character[0]) >= 0x80) {
                    EXPECT_GT(ink(p), 6) << "a glyph is drawn";
                    for (const patch& other : seen) {
                        if (other.w == p.w) {
                            EXPECT_GT(differing(p, other, p.w), 2) << "its own glyph";
                        }
                    }
                    seen.push_back(p);
                }
                column += cells;
            }
            EXPECT_GE(seen.size(), 3u);
        }
    }

    // The Japanese line is not the "???" one.
    const shot japanese = namedModel("日本語.3ds");
    const changed fileLine =
        difference(japanese.picture, questions.picture, {0, at.file.y0, width / 2, at.file.y1}, 40);
    const changed hudLine =
        difference(japanese.picture, questions.picture, {0, at.hud.y0, width, at.hud.y1}, 40);
    EXPECT_GT(fileLine.count, 40) << describe(fileLine);
    EXPECT_GT(hudLine.count, 40) << describe(hudLine);
}

TEST(snapshot, texturedCorpusModelShowsItsTexture) {
    ZEL_NEEDS_CORPUS();
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
