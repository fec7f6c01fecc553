// What zelhost draws of generated models that are easy to get wrong: a town 10 km across seen
// whole, and a cylinder whose faces an exporter wound either way.
#include "e2e.h"
#include "pictures.h"

#include <test_models.h>

#include <gtest/gtest.h>

namespace e2e {
namespace {

constexpr int width = 1280;
constexpr int height = 720;

// zelhost with the model as archi.3ds, which the package places at start, drawn after the script.
image shoot(const zel::genModels::model& model, const std::string& script) {
    tempFolder folder;
    std::vector<std::uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(zel::genModels::encode3ds(model, bytes, error)) << error;
    writeText(folder.path() / "archi.3ds", std::string(bytes.begin(), bytes.end()));
    const fs::path png = folder.path() / "shot.png";
    const auto r = runHost(
        {"--models", folder.path().string(), "--script", "-", "--snapshot", png.string()}, script);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return zel::render::readImage(png);
}

TEST(painted, aTownTenKilometresAcrossShowsItsRoofAndNoWallThroughIt) {
    // From where "view frame" puts the camera, then turned to look down on the roof, which reaches
    // 100 m past the walls: every wall lies under it.
    const image im = shoot(zel::genModels::makeBigTown(), "view frame\nview orbit 0 50\n");
    ASSERT_EQ(im.width, width);
    long roof = 0, wall = 0;
    for (int y = 0; y < height - 40; ++y)
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* p = im.pixel(x, y);
            roof += p[0] > 90 && std::abs(p[0] - p[1]) < 12 && std::abs(p[1] - p[2]) < 12;
            wall += p[0] > 90 && p[1] < 60 && p[2] < 60;
        }
    EXPECT_GT(roof, width * height / 10) << "the roof fills much of the picture";
    EXPECT_EQ(wall, 0) << "wall pixels through the roof";
}

TEST(painted, aCylinderWoundEitherWayIsDrawnLikeOneWoundOneWay) {
    const std::string script = "view frame\nview orbit 20 15\n";
    const image oneWay = shoot(zel::genModels::makeCylinder(false), script);
    const image mixed = shoot(zel::genModels::makeCylinder(true), script);
    ASSERT_EQ(oneWay.width, width);
    ASSERT_EQ(mixed.width, width);
    // The cylinder's grey, lit at least by the ambient part.
    long cylinder = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* p = oneWay.pixel(x, y);
            cylinder += p[0] > 55 && std::abs(p[0] - p[1]) < 10 && std::abs(p[1] - p[2]) < 10;
        }
    EXPECT_GT(cylinder, width * height / 20);
    const changed c = difference(oneWay, mixed, {0, 0, width, height}, 24);
    EXPECT_LT(double(c.count), 0.02 * double(cylinder)) << describe(c);
}

} // namespace
} // namespace e2e
