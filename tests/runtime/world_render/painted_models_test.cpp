// Model files read by the world's reader (through the import helper) and drawn offscreen: every
// material shows its own picture, whatever the file format, wherever the picture is kept, tinted by
// the material's colour and see-through only where the material says so.
#include "model_files.h"
#include "scenes.h"

#include <zel/render/backend.h>
#include <zel/render/screen.h>
#include <zel/world/scene_node.h>
#include <zel/world/world.h>
#include <zel/world_render/world_frames.h>
#include <zel/xstd.h>

#include <gtest/gtest.h>

#include <test_models.h>

#include <array>
#include <cstdlib>
#include <vector>

using namespace zel::render;
using namespace rendertest;
namespace zw = zel::world;
namespace fs = std::filesystem;

namespace {

constexpr int width = 320;
constexpr int height = 240;

// The file read by a fresh world, hung in front of the camera (the navigator's eye at (0, 1.6, 0)
// looking along -z), drawn once.
image drawFile(const fs::path& file, float distance = 3.0f) {
    zw::world w;
    zel::sceneGraph::iSceneNode* model =
        w.getReader()->readFile(zel::xstd::fromUtf8(file.string()));
    EXPECT_NE(model, nullptr) << file;
    if (!model)
        return {};
    auto* place = w.createNode(u"place");
    zel::matrix4 m;
    m.setTranslate(zel::vec3(0, 1.6f, -distance));
    place->setMatrix(m);
    place->addChild(model);
    w.getRoot()->addChild(place);
    backendOptions o;
    o.width = width;
    o.height = height;
    auto v = screen::create(makeOffscreenBackend(o), nullptr);
    EXPECT_TRUE(v);
    if (!v)
        return {};
    zel::worldRender::worldFrames frames(w);
    return v->capture(frames.build());
}

bool redPixel(const std::uint8_t* p) {
    return p[0] > 120 && p[1] < 60 && p[2] < 60;
}
bool bluePixel(const std::uint8_t* p) {
    return p[2] > 120 && p[0] < 60 && p[1] < 60;
}

TEST(paintedModels, eachQuadShowsItsOwnPictureInEveryFormat) {
    modeltest::tempFolder dir;
    modeltest::writeSolidPng(dir.path() / "red.png", 255, 0, 0);
    modeltest::writeSolidPng(dir.path() / "blue.png", 0, 0, 255);
    const struct {
        const char* format;
        fs::path file;
    } cases[] = {
        {"3DS", modeltest::writeTwoQuads3ds(dir.path())},
        {"OBJ", modeltest::writeTwoQuadsObj(dir.path())},
        {"glTF", modeltest::writeTwoQuadsGltf(dir.path())},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        const image im = drawFile(c.file);
        ASSERT_EQ(im.width, width);
        int reds = 0, blues = 0;
        const double redX = centroidX(im, redPixel, &reds);
        const double blueX = centroidX(im, bluePixel, &blues);
        // Each quad, a metre square at 3 m, covers several thousand pixels.
        EXPECT_GT(reds, 2000);
        EXPECT_GT(blues, 2000);
        EXPECT_LT(redX, width / 2) << "red on the left";
        EXPECT_GT(blueX, width / 2) << "blue on the right";
    }
}

// "Tr 1" as some editors write it for opaque, which Assimp reads as fully transparent: a model with
// nothing else to show is drawn opaque, and the reader says so once; a model that also shows an
// opaque material keeps its clear one clear.
TEST(paintedModels, aModelWhoseEveryMaterialIsClearIsDrawnOpaqueAndSaidSo) {
    modeltest::tempFolder dir;
    modeltest::writeSolidPng(dir.path() / "red.png", 255, 0, 0);
    modeltest::writeSolidPng(dir.path() / "blue.png", 0, 0, 255);
    const struct {
        const char* name;
        const char* red;
        const char* blue;
        bool redShown, blueShown;
        const char* said;
    } cases[] = {
        {"both clear", "Tr 1.000000\n", "Tr 1.000000\n", true, true,
         ": drawn opaque: its materials red, blue are fully transparent\n"},
        {"one clear", "Tr 1.000000\n", "", false, true, ""},
        {"both opaque", "Tr 0.000000\n", "d 1\n", true, true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = std::string(c.name).substr(0, c.name[0] == 'o' ? 3 : 4);
        const fs::path file = modeltest::writeTwoQuadsObj(dir.path(), c.red, c.blue, name);
        testing::internal::CaptureStderr();
        const image im = drawFile(file);
        const std::string said = testing::internal::GetCapturedStderr();
        ASSERT_EQ(im.width, width);
        int reds = 0, blues = 0;
        centroidX(im, redPixel, &reds);
        centroidX(im, bluePixel, &blues);
        EXPECT_EQ(reds > 2000, c.redShown) << reds;
        EXPECT_EQ(blues > 2000, c.blueShown) << blues;
        EXPECT_EQ(said, *c.said ? "readFile(): " + file.string() + c.said : "");
    }
}

// The mean colour of the pixels in [x0, x1) x [y0, y1).
std::array<int, 3> meanIn(const image& im, int x0, int y0, int x1, int y1) {
    std::array<long, 3> sum{0, 0, 0};
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            for (int c = 0; c < 3; ++c)
                sum[std::size_t(c)] += im.pixel(x, y)[c];
    const long n = long(x1 - x0) * (y1 - y0);
    return {int(sum[0] / n), int(sum[1] / n), int(sum[2] / n)};
}

bool near(const std::array<int, 3>& a, const std::array<int, 3>& b, int tolerance = 24) {
    for (std::size_t c = 0; c < 3; ++c)
        if (std::abs(a[c] - b[c]) > tolerance)
            return false;
    return true;
}

std::string shown(const std::array<int, 3>& c) {
    return std::to_string(c[0]) + "," + std::to_string(c[1]) + "," + std::to_string(c[2]);
}

// 4 x 2 pixels: the left half one colour, the right half another.
std::vector<std::uint8_t> halves(std::array<std::uint8_t, 4> left,
                                 std::array<std::uint8_t, 4> right) {
    std::vector<std::uint8_t> rgba;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x)
            rgba.insert(rgba.end(), (x < 2 ? left : right).begin(), (x < 2 ? left : right).end());
    return modeltest::pngOf(4, 2, rgba);
}

// A quad 2 m wide and 1 m high facing +z, showing the whole picture.
const float quadPositions[] = {-1, -0.5f, 0, 1, -0.5f, 0, 1, 0.5f, 0, -1, 0.5f, 0};
const float quadUvs[] = {0, 0, 1, 0, 1, 1, 0, 1};

modeltest::glbModel quadGlb(const std::string& material, std::vector<std::uint8_t> png) {
    modeltest::glbModel m;
    m.positions.assign(std::begin(quadPositions), std::end(quadPositions));
    m.normals = {0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1};
    m.uvs.assign(std::begin(quadUvs), std::end(quadUvs));
    m.indices = {0, 1, 2, 0, 2, 3};
    m.material = material;
    m.png = std::move(png);
    return m;
}

// The quad as an OBJ whose material (with the extra lines) names picture.
fs::path quadObj(const fs::path& folder, const std::string& name, const std::string& material,
                 const std::string& picture) {
    std::string obj = "mtllib " + name + ".mtl\n";
    for (int v = 0; v < 4; ++v)
        obj += "v " + std::to_string(quadPositions[3 * v]) + " " +
               std::to_string(quadPositions[3 * v + 1]) + " 0\nvt " +
               std::to_string(quadUvs[2 * v]) + " " + std::to_string(quadUvs[2 * v + 1]) + "\n";
    obj += "usemtl quad\nf 1/1 2/2 3/3 4/4\n";
    modeltest::writeText(folder / (name + ".mtl"),
                         "newmtl quad\n" + material + "map_Kd " + picture + "\n");
    modeltest::writeText(folder / (name + ".obj"), obj);
    return folder / (name + ".obj");
}

// The quad as a 3DS file (Z up: it stands in the XZ plane facing -y) whose material has the
// given colour and names picture.
fs::path quad3ds(const fs::path& folder, const std::string& name, zel::genModels::colour colour,
                 const std::string& picture) {
    namespace gm = zel::genModels;
    gm::model m;
    m.name = name;
    m.materials = {{"quad", colour, colour}};
    m.pictures = {picture};
    gm::meshObject& obj = m.objects.emplace_back();
    obj.name = "quad";
    for (int v = 0; v < 4; ++v) {
        obj.vertices.push_back({quadPositions[3 * v], 0.0, quadPositions[3 * v + 1]});
        obj.uvs.emplace_back(quadUvs[2 * v], quadUvs[2 * v + 1]);
    }
    obj.faces = {{0, 1, 2, 7, 0, 0}, {0, 2, 3, 7, 0, 0}};
    std::vector<std::uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(gm::encode3ds(m, bytes, error)) << error;
    modeltest::writeText(folder / (name + ".3ds"), std::string(bytes.begin(), bytes.end()));
    return folder / (name + ".3ds");
}

// The quad's left and right quarters, where the picture's halves show (the quad, 2 m at 3 m, is
// about 140 pixels wide and 70 high).
std::array<int, 3> leftQuarter(const image& im) {
    return meanIn(im, width / 2 - 40, height / 2 - 8, width / 2 - 30, height / 2 + 8);
}
std::array<int, 3> rightQuarter(const image& im) {
    return meanIn(im, width / 2 + 30, height / 2 - 8, width / 2 + 40, height / 2 + 8);
}

const char* const pictureMaterial =
    R"({"pbrMetallicRoughness": {"baseColorTexture": {"index": 0}, "metallicFactor": 0}})";
const char* const tintedPictureMaterial =
    R"({"pbrMetallicRoughness": {"baseColorTexture": {"index": 0}, "metallicFactor": 0,
        "baseColorFactor": [0, 1, 1, 1]}})";

// A picture shows wherever it is kept, and the material's colour tints it, except in 3DS, where
// the picture stands for the colour.
TEST(paintedModels, aPictureShowsTintedByItsMaterialsColourExceptIn3ds) {
    modeltest::tempFolder dir;
    const std::array<std::uint8_t, 4> white{255, 255, 255, 255}, orange{255, 160, 0, 255};
    modeltest::writeText(dir.path() / "pic.png", [&] {
        const std::vector<std::uint8_t> png = halves(white, orange);
        return std::string(png.begin(), png.end());
    }());
    const std::array<int, 3> asIs[2] = {{255, 255, 255}, {255, 160, 0}};
    const std::array<int, 3> tinted[2] = {{0, 255, 255}, {0, 160, 0}};
    const struct {
        const char* name;
        fs::path file;
        const std::array<int, 3>* expected; // left, right
    } cases[] = {
        {"glTF binary, picture stored in it",
         modeltest::writeGlb(dir.path(), "stored", quadGlb(pictureMaterial, halves(white, orange))),
         asIs},
        {"glTF binary, base colour factor",
         modeltest::writeGlb(dir.path(), "tinted",
                             quadGlb(tintedPictureMaterial, halves(white, orange))),
         tinted},
        {"OBJ, Kd", quadObj(dir.path(), "kd", "Kd 0 1 1\n", "pic.png"), tinted},
        {"3DS, the picture replaces the colour",
         quad3ds(dir.path(), "tds", {0, 255, 255}, "pic.png"), asIs},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const image im = drawFile(c.file);
        ASSERT_EQ(im.width, width);
        const std::array<int, 3> left = leftQuarter(im), right = rightQuarter(im);
        EXPECT_TRUE(near(left, c.expected[0])) << shown(left);
        EXPECT_TRUE(near(right, c.expected[1])) << shown(right);
    }
}

// A cube a metre wide whose every face shows the whole picture, upright when the cube is turned by
// its face's rotation: the corners of neighbouring faces share positions but not texture
// coordinates. Face k lies where rotations[k] turns it to face +z.
const int rotations[6][3][3] = {
    {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},   {{0, 0, 1}, {0, 1, 0}, {-1, 0, 0}},
    {{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}, {{0, 0, -1}, {0, 1, 0}, {1, 0, 0}},
    {{1, 0, 0}, {0, 0, 1}, {0, -1, 0}},  {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}},
};

modeltest::glbModel pictureCube(int turned, bool normals, std::vector<std::uint8_t> png) {
    modeltest::glbModel m;
    for (const auto& r : rotations) {
        // The face's outward normal, right and up: the rotation's rows.
        const int* right = r[0];
        const int* up = r[1];
        const int* out = r[2];
        const auto base = static_cast<std::uint16_t>(m.positions.size() / 3);
        for (const auto& [s, t] : {std::pair{-1, -1}, {1, -1}, {1, 1}, {-1, 1}}) {
            for (int c = 0; c < 3; ++c) {
                m.positions.push_back(0.5f * float(out[c] + s * right[c] + t * up[c]));
                if (normals)
                    m.normals.push_back(float(out[c]));
            }
            m.uvs.insert(m.uvs.end(), {float(s + 1) / 2, float(t + 1) / 2});
        }
        for (int i : {0, 1, 2, 0, 2, 3})
            m.indices.push_back(static_cast<std::uint16_t>(base + i));
    }
    for (int col = 0; col < 3; ++col)
        for (int row = 0; row < 3; ++row)
            m.matrix[std::size_t(col * 4 + row)] = float(rotations[turned][row][col]);
    m.material = pictureMaterial;
    m.png = std::move(png);
    return m;
}

// The picture's quarters each show on their own quarter of every face, whichever face is turned
// to the viewer, with the file's normals or computed ones; the picture is opaque though stored
// with an alpha channel.
TEST(paintedModels, everyFaceOfACubeShowsTheWholePicture) {
    modeltest::tempFolder dir;
    const std::array<std::uint8_t, 4> red{255, 0, 0, 255}, green{0, 255, 0, 255},
        blue{0, 0, 255, 255}, yellow{255, 255, 0, 255};
    // 4 x 4 pixels, rows from the top: blue and yellow above, red and green below.
    std::vector<std::uint8_t> rgba;
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            const auto& c = y < 2 ? (x < 2 ? blue : yellow) : (x < 2 ? red : green);
            rgba.insert(rgba.end(), c.begin(), c.end());
        }
    const std::vector<std::uint8_t> png = modeltest::pngOf(4, 4, rgba);
    for (int face = 0; face < 6; ++face)
        for (bool normals : {true, false}) {
            SCOPED_TRACE("face " + std::to_string(face) + (normals ? "" : ", normals computed"));
            const fs::path file = modeltest::writeGlb(
                dir.path(), "cube" + std::to_string(face) + (normals ? "n" : ""),
                pictureCube(face, normals, png));
            const image im = drawFile(file);
            ASSERT_EQ(im.width, width);
            // The front face, about 70 pixels wide, centred; quarters 17 pixels off its centre.
            auto quarter = [&](int dx, int dy) {
                const int x = width / 2 + dx, y = height / 2 + dy;
                return meanIn(im, x - 4, y - 4, x + 4, y + 4);
            };
            const struct {
                const char* where;
                std::array<int, 3> got, wanted;
            } quarters[] = {
                {"top left", quarter(-17, -17), {0, 0, 255}},
                {"top right", quarter(17, -17), {255, 255, 0}},
                {"bottom left", quarter(-17, 17), {255, 0, 0}},
                {"bottom right", quarter(17, 17), {0, 255, 0}},
            };
            for (const auto& q : quarters)
                EXPECT_TRUE(near(q.got, q.wanted)) << q.where << ": " << shown(q.got);
        }
}

// A picture's alpha makes the model see-through only where its material asks for it.
TEST(paintedModels, aPicturesAlphaCountsWhereTheMaterialAsksForIt) {
    modeltest::tempFolder dir;
    const std::array<std::uint8_t, 4> halfRed{255, 0, 0, 128};
    modeltest::writeText(dir.path() / "alpha.png", [&] {
        const std::vector<std::uint8_t> png = halves(halfRed, halfRed);
        return std::string(png.begin(), png.end());
    }());
    struct row {
        const char* name;
        fs::path file;
        bool seeThrough;
    };
    std::vector<row> cases = {
        {"OBJ, d 1", quadObj(dir.path(), "opaque", "Kd 1 1 1\nd 1\n", "alpha.png"), false},
        {"OBJ, map_d", quadObj(dir.path(), "mapd", "Kd 1 1 1\nmap_d alpha.png\n", "alpha.png"),
         true},
        {"glTF, no alpha mode",
         modeltest::writeGlb(dir.path(), "gltfopaque",
                             quadGlb(pictureMaterial, halves(halfRed, halfRed))),
         false},
        {"glTF, alpha mode BLEND",
         modeltest::writeGlb(dir.path(), "gltfblend",
                             quadGlb(R"({"alphaMode": "BLEND", "pbrMetallicRoughness":
                                       {"baseColorTexture": {"index": 0}, "metallicFactor": 0}})",
                                     halves(halfRed, halfRed))),
         true},
    };
    const std::array<std::uint8_t, 4> red{255, 0, 0, 255};
    // A glTF material's alpha is its base colour's, once, and only where its alpha mode asks.
    auto halfAlpha = [&](const char* mode) {
        return quadGlb(std::string(R"({"alphaMode": ")") + mode +
                           R"(", "pbrMetallicRoughness": {"baseColorTexture": {"index": 0},
                              "metallicFactor": 0, "baseColorFactor": [1, 1, 1, 0.5]}})",
                       halves(red, red));
    };
    const row factors[] = {
        {"glTF, OPAQUE, base colour alpha 0.5",
         modeltest::writeGlb(dir.path(), "factoropaque", halfAlpha("OPAQUE")), false},
        {"glTF, BLEND, base colour alpha 0.5",
         modeltest::writeGlb(dir.path(), "factorblend", halfAlpha("BLEND")), true},
    };
    cases.insert(cases.end(), std::begin(factors), std::end(factors));
    for (const row& c : cases) {
        SCOPED_TRACE(c.name);
        const image im = drawFile(c.file);
        ASSERT_EQ(im.width, width);
        const std::array<int, 3> seen = leftQuarter(im);
        // Half the background comes through a see-through quad.
        if (c.seeThrough)
            EXPECT_TRUE(seen[0] > 100 && seen[0] < 200) << shown(seen);
        else
            EXPECT_TRUE(near(seen, {255, 0, 0})) << shown(seen);
    }
}

} // namespace
