// Model files read by the world's reader (through the import helper) and drawn offscreen: every
// material shows its own picture, whatever the file format.
#include "model_files.h"
#include "scenes.h"

#include <zel/render/backend.h>
#include <zel/render/screen.h>
#include <zel/world/scene_node.h>
#include <zel/world/world.h>
#include <zel/world_render/world_frames.h>
#include <zel/xstd.h>

#include <gtest/gtest.h>

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

} // namespace
