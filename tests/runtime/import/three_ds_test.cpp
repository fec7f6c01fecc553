// 3DS parts stand where their vertices are stored, whatever the keyframer says, unless the
// keyframer animates them: generated files whose keyframer disagrees with the vertices, the
// corpus's P-47 (whose keyframer scatters it) and its animated files (which must not change).
// Materials take their highlights from the file's own chunks, and a damaged chunk ends the walk of
// its parent.

#include "assimp_import.h"
#include "test_support.h"
#include "three_ds_file.h"
#include <zel/import/isolated_import.h>

#include <chunk_writer.h>
#include <model3ds.h>
#include <test_models.h>

#include <assimp/Importer.hpp>
#include <assimp/scene.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <functional>

namespace zel::import {
namespace {

using test::corpusDir;

struct box {
    std::array<double, 3> lo{HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi{-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    void add(const std::array<double, 3>& p) {
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], p[k]);
            hi[k] = std::max(hi[k], p[k]);
        }
    }
};

// The world-space bounding box of the meshes of the node named `name`.
box worldBox(const scene& s, const std::string& name) {
    std::vector<std::size_t> parent(s.nodes.size(), SIZE_MAX);
    for (std::size_t i = 0; i < s.nodes.size(); ++i)
        for (std::uint32_t c : s.nodes[i].children)
            parent[c] = i;
    box b;
    for (std::size_t i = 0; i < s.nodes.size(); ++i) {
        if (s.nodes[i].name != name)
            continue;
        for (std::uint32_t mi : s.nodes[i].meshes) {
            const std::vector<float>& p = s.meshes[mi].positions;
            for (std::size_t v = 0; v + 2 < p.size(); v += 3) {
                std::array<double, 3> q{p[v], p[v + 1], p[v + 2]};
                for (std::size_t n = i; n != SIZE_MAX; n = parent[n]) {
                    const float* m = s.nodes[n].matrix;
                    q = {q[0] * m[0] + q[1] * m[4] + q[2] * m[8] + m[12],
                         q[0] * m[1] + q[1] * m[5] + q[2] * m[9] + m[13],
                         q[0] * m[2] + q[1] * m[6] + q[2] * m[10] + m[14]};
                }
                b.add(q);
            }
        }
    }
    return b;
}

// A 3DS box as stored (Z up), as it stands after the root's turn to Y up.
box yUp(std::array<double, 3> lo, std::array<double, 3> hi) {
    box b;
    b.add({lo[0], lo[2], -hi[1]});
    b.add({hi[0], hi[2], -lo[1]});
    return b;
}

void expectBox(const box& got, const box& want, double tolerance, const std::string& what) {
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(got.lo[k], want.lo[k], tolerance) << what << ", axis " << k;
        EXPECT_NEAR(got.hi[k], want.hi[k], tolerance) << what << ", axis " << k;
    }
}

// A body at the origin and a wing beside it, both static unless the case spins the wing.
genModels::model bodyAndWing() {
    genModels::model m;
    m.name = "plane";
    m.materials = {{"PAINT", {200, 200, 200}, {80, 80, 80}}};
    genModels::meshObject body{"Body", {0, 0, 0}, {}, {}, {}};
    genModels::addBox(body, 0, {-1, -0.25, 0}, {1, 0.25, 0.5});
    genModels::meshObject wing{"Wing", {1, 0, 0.25}, {}, {}, {}};
    genModels::addBox(wing, 0, {1, -0.5, 0.2}, {3, 0.5, 0.3});
    m.objects = {body, wing};
    return m;
}

std::filesystem::path writeModel(const test::tempDir& dir, const genModels::model& m) {
    std::vector<std::uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(genModels::encode3ds(m, bytes, error)) << error;
    return dir.write("plane.3ds",
                     std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// Assimp's scene of the file, without the placement.
scene assimpOnly(const std::filesystem::path& file) {
    Assimp::Importer importer;
    const aiScene* as = importer.ReadFile(file.string(), assimpImportFlags());
    EXPECT_TRUE(as) << file << ": " << importer.GetErrorString();
    std::optional<scene> s = as ? convertScene(*as, nullptr) : std::nullopt;
    return s ? std::move(*s) : scene{};
}

TEST(ThreeDsPlacement, PartsStandAsStoredUnlessTheKeyframerAnimatesThem) {
    const genModels::vec3 offset{4, -2, 1}; // where the keyframer puts the wing instead
    struct testCase {
        const char* name;
        bool misplaced;
        bool spinning;
        std::size_t placed;      // nodes the pass moves
        bool wingWhereKeyframer; // else where stored
    } cases[] = {
        {"keyframer agrees", false, false, 0, false},
        {"keyframer disagrees, static", true, false, 1, false},
        {"keyframer disagrees, the wing spins", true, true, 0, true},
    };
    for (const testCase& c : cases) {
        SCOPED_TRACE(c.name);
        genModels::model m = bodyAndWing();
        if (c.misplaced)
            m.misplaced = {{"Wing", offset}};
        if (c.spinning)
            m.spins = {{"Wing", {{0, 0.0f, {0, 0, 1}}, {50, 1.5f, {0, 0, 1}}}}};
        test::tempDir dir;
        const auto file = writeModel(dir, m);

        scene s = assimpOnly(file);
        const scene before = s;
        EXPECT_EQ(amendFromThreeDsFile(s, file).placed, c.placed);
        // The import the helper runs does the same.
        std::string reason;
        const std::optional<scene> imported = importInProcess(file, &reason);
        ASSERT_TRUE(imported) << reason;
        EXPECT_EQ(*imported, s);

        expectBox(worldBox(s, "Body"), yUp({-1, -0.25, 0}, {1, 0.25, 0.5}), 1e-5, "body");
        const box storedWing = yUp({1, -0.5, 0.2}, {3, 0.5, 0.3});
        const box keyframerWing = yUp({1 + offset.x, -0.5 + offset.y, 0.2 + offset.z},
                                      {3 + offset.x, 0.5 + offset.y, 0.3 + offset.z});
        expectBox(worldBox(s, "Wing"),
                  c.wingWhereKeyframer && c.misplaced ? keyframerWing : storedWing, 1e-5, "wing");
        // Animation, meshes and materials are never touched.
        EXPECT_EQ(s.animations, before.animations);
        EXPECT_EQ(s.meshes, before.meshes);
        EXPECT_EQ(s.animations.size(), c.spinning ? 1u : 0u);
        if (c.placed == 0) {
            EXPECT_EQ(s.nodes, before.nodes);
        }
    }
}

// The pass reads the file again on its own: every cut and a sweep of byte flips of a file that
// needs it leave a scene that is still whole (matrices finite) and never read outside the file.
TEST(ThreeDsPlacement, DamagedFilesAreReadWithinTheirBounds) {
    const test::timeBound bound(std::chrono::seconds(60));
    genModels::model m = bodyAndWing();
    m.misplaced = {{"Wing", {4, -2, 1}}};
    test::tempDir dir;
    const auto file = writeModel(dir, m);
    const scene good = assimpOnly(file);
    const std::string bytes = test::readBytes(file);
    ASSERT_GT(bytes.size(), 100u);

    auto check = [&](const std::string& damaged, const std::string& what) {
        const auto path = dir.write("damaged.3ds", damaged);
        scene s = good;
        EXPECT_LE(amendFromThreeDsFile(s, path).placed, 2u) << what;
        // A damaged smoothing list may smooth faces anew; nothing else of a mesh changes.
        ASSERT_EQ(s.meshes.size(), good.meshes.size()) << what;
        for (std::size_t i = 0; i < s.meshes.size(); ++i) {
            mesh read = s.meshes[i];
            ASSERT_EQ(read.normals.size(), good.meshes[i].normals.size()) << what;
            for (float f : read.normals)
                ASSERT_TRUE(std::isfinite(f)) << what;
            read.normals = good.meshes[i].normals;
            EXPECT_EQ(read, good.meshes[i]) << what;
        }
        for (const node& n : s.nodes)
            for (float f : n.matrix)
                ASSERT_TRUE(std::isfinite(f)) << what;
    };
    for (std::size_t cut = 0; cut < bytes.size(); cut += 7)
        check(bytes.substr(0, cut), "cut at " + std::to_string(cut));
    for (std::size_t at = 0; at < bytes.size(); at += 3) {
        std::string flipped = bytes;
        flipped[at] = static_cast<char>(flipped[at] ^ 0xA5);
        check(flipped, "byte " + std::to_string(at) + " flipped");
    }
    // Not a 3DS file at all, or none there.
    scene s = good;
    EXPECT_EQ(amendFromThreeDsFile(s, dir.write("other.obj", "v 0 0 0\n")).materials, 0u);
    EXPECT_EQ(amendFromThreeDsFile(s, dir.path() / "missing.3ds").placed, 0u);
    EXPECT_EQ(s, good);
}

TEST(ThreeDsPlacement, TheP47StandsInOnePieceAsStored) {
    ZEL_NEEDS_CORPUS();
    const auto file = corpusDir() / "castle-demo-models/p47d.3ds";
    scene s = assimpOnly(file);
    // Every one of its 21 parts is misplaced by the keyframer.
    EXPECT_EQ(amendFromThreeDsFile(s, file).placed, 21u);
    // The stored extents (3D Studio's Z-up coordinates, read from the file's vertex lists).
    expectBox(worldBox(s, "TUBE"), yUp({-183.33, -12.46, -58.29}, {78.92, 23.12, 7.02}), 0.01,
              "fuselage");
    expectBox(worldBox(s, "AXIS.8"), yUp({-39.12, -148.76, -43.22}, {51.99, 6.87, -21.64}), 0.01,
              "right wing");
    expectBox(worldBox(s, "AXIS.6"), yUp({-39.12, 6.4, -43.01}, {51.99, 161.96, -20.78}), 0.01,
              "left wing");
    expectBox(worldBox(s, "FIN"), yUp({-207.5, 4.44, -26.44}, {-33.0, 8.17, 49.16}), 0.01, "fin");

    // The helper, which has no file system, reads the same chunks through the broker.
    std::string reason;
    const auto isolated = importIsolated(file, test::testOptions(), &reason);
    ASSERT_TRUE(isolated) << reason;
    expectBox(worldBox(*isolated, "TUBE"), yUp({-183.33, -12.46, -58.29}, {78.92, 23.12, 7.02}),
              0.01, "fuselage in the helper");
}

// Files whose keyframer agrees with their vertices, and animated ones, come out as Assimp made
// them: the animation still plays from the keyframer.
TEST(ThreeDsPlacement, CorpusFilesThatAgreeOrAnimateAreUnchanged) {
    ZEL_NEEDS_CORPUS();
    for (const char* name :
         {"assimp/3DS/RotatingCube.3DS", "assimp/3DS/CameraRollAnim.3ds",
          "assimp/3DS/CameraRollAnimWithChildObject.3ds", "assimp/3DS/TargetCameraAnim.3ds",
          "assimp/3DS/fels.3ds", "assimp/3DS/test1.3ds", "assimp/3DS/cubes_with_alpha.3DS",
          "online3dviewer/cube_hierarchy.3ds", "online3dviewer/cube_instance_scale_rotation.3ds",
          "online3dviewer/cube_four_instances.3ds"}) {
        SCOPED_TRACE(name);
        const auto file = corpusDir() / name;
        scene s = assimpOnly(file);
        const scene before = s;
        EXPECT_EQ(amendFromThreeDsFile(s, file).placed, 0u);
        EXPECT_EQ(s.nodes, before.nodes);
        EXPECT_EQ(s.animations, before.animations);
    }
    EXPECT_FALSE(assimpOnly(corpusDir() / "assimp/3DS/RotatingCube.3DS").animations.empty());
}

// Smoothing groups: a cylinder's sides in one group get normals that point straight out from its
// axis (in or out: the light is two-sided), whichever way each face is wound; the import the helper
// runs does the same.
TEST(ThreeDsNormals, ASmoothingGroupIsSmoothWhicheverWayItsFacesAreWound) {
    for (const bool mixed : {false, true}) {
        SCOPED_TRACE(mixed ? "mixed windings" : "one winding");
        test::tempDir dir;
        const auto file = writeModel(dir, genModels::makeCylinder(mixed));
        scene s = assimpOnly(file);
        EXPECT_EQ(amendFromThreeDsFile(s, file).smoothed, 32u);
        std::string reason;
        const std::optional<scene> imported = importInProcess(file, &reason);
        ASSERT_TRUE(imported) << reason;
        EXPECT_EQ(*imported, s);
        ASSERT_EQ(s.meshes.size(), 1u);
        const mesh& m = s.meshes[0];
        ASSERT_EQ(m.normals.size(), m.positions.size());
        double worst = 1;
        for (std::size_t v = 0; v < m.vertexCount(); ++v) {
            // Stored Z up: the axis is Z, so the outward direction is (x, y, 0).
            const float* p = &m.positions[3 * v];
            const float* n = &m.normals[3 * v];
            const double radial = std::hypot(p[0], p[1]);
            const double along = std::fabs(n[0] * p[0] + n[1] * p[1]) / radial;
            worst = std::min(worst, along / std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]));
        }
        EXPECT_GT(worst, 0.99);
    }
}

// Faces that name no material are drawn in a light grey, not Assimp's dark one; a file's own
// materials keep their colours.
TEST(ThreeDsMaterials, FacesWithoutAMaterialAreLightGrey) {
    genModels::model m = genModels::makeCylinder(false);
    m.materials.clear();
    test::tempDir dir;
    std::string reason;
    const std::optional<scene> bare = importInProcess(writeModel(dir, m), &reason);
    ASSERT_TRUE(bare) << reason;
    ASSERT_EQ(bare->meshes.size(), 1u);
    const material& grey = bare->materials.at(bare->meshes[0].material);
    for (int c = 0; c < 3; ++c)
        EXPECT_FLOAT_EQ(grey.diffuse[c], 0.75f);
    const std::optional<scene> painted =
        importInProcess(writeModel(dir, genModels::makeCylinder(false)), &reason);
    ASSERT_TRUE(painted) << reason;
    EXPECT_NEAR(painted->materials.at(painted->meshes[0].material).diffuse[0], 200 / 255.0, 0.01);
}

// Materials alone, as 3D Studio writes their highlights: the specular colour as floats, the
// shininess and its strength as percentages (whole ones, or floats from 0 to 100).
struct highlightRow {
    const char* name;
    std::array<float, 3> colour;
    bool hasColour;
    int shininess; // percent; -1: none
    int strength;  // percent; -1: none
    bool floatPercents = false;
};

// A 3DS file of the materials; betweenMaterials(w, i) writes more into the editor's chunk before
// material i.
std::string materialsFile(
    const std::vector<highlightRow>& rows,
    const std::function<void(genModels::chunkWriter&, std::size_t)>& betweenMaterials = nullptr) {
    genModels::chunkWriter w;
    auto percent = [&](std::uint16_t id, int value, bool asFloat) {
        if (value < 0)
            return;
        w.beginChunk(id);
        w.beginChunk(asFloat ? 0x0031 : 0x0030);
        if (asFloat)
            w.f32(static_cast<float>(value));
        else
            w.i16(static_cast<std::int16_t>(value));
        w.endChunk();
        w.endChunk();
    };
    w.beginChunk(0x4D4D);
    w.beginChunk(0x3D3D);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const highlightRow& r = rows[i];
        if (betweenMaterials)
            betweenMaterials(w, i);
        w.beginChunk(0xAFFF);
        w.beginChunk(0xA000);
        w.cstr(r.name);
        w.endChunk();
        if (r.hasColour) {
            w.beginChunk(0xA030);
            w.beginChunk(0x0010);
            for (float c : r.colour)
                w.f32(c);
            w.endChunk();
            w.endChunk();
        }
        percent(0xA040, r.shininess, r.floatPercents);
        percent(0xA041, r.strength, r.floatPercents);
        w.endChunk();
    }
    w.endChunk();
    w.endChunk();
    const std::vector<std::uint8_t> bytes = w.take();
    return std::string(bytes.begin(), bytes.end());
}

// A scene of the rows' materials, each with a highlight the file must replace.
scene materialsScene(const std::vector<highlightRow>& rows) {
    scene s;
    for (const highlightRow& r : rows) {
        material& m = s.materials.emplace_back();
        m.name = r.name;
        std::fill(std::begin(m.specular), std::end(m.specular), 9.0f);
        m.shininess = 99.0f;
    }
    return s;
}

TEST(ThreeDsMaterials, TheHighlightIsTheSpecularColourTimesItsStrength) {
    struct testCase {
        highlightRow material;
        std::array<float, 3> specular;
        float shininess;
    };
    // Shininess and strength differ wherever both are given, so that one read for the other shows.
    const testCase cases[] = {
        {{"HALF", {1.0f, 0.5f, 0.25f}, true, 25, 50}, {0.5f, 0.25f, 0.125f}, 32.0f},
        {{"NO STRENGTH", {0.2f, 0.4f, 0.6f}, true, 10, -1}, {0.2f, 0.4f, 0.6f}, 12.8f},
        {{"STRENGTH 0", {1.0f, 1.0f, 1.0f}, true, 50, 0}, {0.0f, 0.0f, 0.0f}, 0.0f},
        {{"NO COLOUR", {}, false, 50, 40}, {0.0f, 0.0f, 0.0f}, 0.0f},
        {{"BLACK", {0.0f, 0.0f, 0.0f}, true, 30, 70}, {0.0f, 0.0f, 0.0f}, 0.0f},
        // Shininess 0 is still a highlight, the broadest.
        {{"MATTE", {1.0f, 1.0f, 1.0f}, true, 0, 100}, {1.0f, 1.0f, 1.0f}, 1.0f},
        {{"OVER 100 %", {0.5f, 0.5f, 0.5f}, true, 150, 200}, {0.5f, 0.5f, 0.5f}, 128.0f},
        {{"FLOATS", {0.8f, 0.4f, 0.2f}, true, 75, 25, true}, {0.2f, 0.1f, 0.05f}, 96.0f},
    };
    std::vector<highlightRow> rows;
    for (const testCase& c : cases)
        rows.push_back(c.material);
    test::tempDir dir;
    const auto file = dir.write("materials.3ds", materialsFile(rows));
    scene s = materialsScene(rows);
    s.materials.emplace_back().name = "NOT IN THE FILE";
    const material untouched = s.materials.back();
    EXPECT_EQ(amendFromThreeDsFile(s, file).materials, rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].name);
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(s.materials[i].specular[k], cases[i].specular[k], 1e-6) << k;
        EXPECT_NEAR(s.materials[i].shininess, cases[i].shininess, 1e-4);
    }
    EXPECT_EQ(s.materials.back(), untouched);
}

// A chunk shorter than its own header, or longer than what is left of its parent, ends the walk of
// that parent: what follows it is not read, and nothing loops.
TEST(ThreeDsMaterials, AChunkShorterThanItsHeaderEndsItsParent) {
    const test::timeBound bound(std::chrono::seconds(10));
    const std::vector<highlightRow> materials = {{"FIRST", {1.0f, 1.0f, 1.0f}, true, 50, 50},
                                                 {"SECOND", {1.0f, 1.0f, 1.0f}, true, 50, 50}};
    struct row {
        const char* what;
        std::uint32_t length; // of a chunk before the second material
        std::size_t amended;
    };
    const row rows[] = {
        {"length 0", 0, 1},
        {"length 5", 5, 1},
        {"length 6, the header alone", 6, 2},
        {"longer than the rest of the file", 1000, 1},
        {"the longest length", 0xFFFFFFFF, 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        test::tempDir dir;
        const auto file = dir.write(
            "bad.3ds", materialsFile(materials, [&](genModels::chunkWriter& w, std::size_t i) {
                if (i != 1)
                    return;
                w.u16(0x1234);
                w.u32(r.length);
            }));
        scene s = materialsScene(materials);
        EXPECT_EQ(amendFromThreeDsFile(s, file).materials, r.amended);
        EXPECT_FLOAT_EQ(s.materials[0].specular[0], 0.5f);
        EXPECT_FLOAT_EQ(s.materials[1].specular[0], r.amended == 2 ? 0.5f : 9.0f);
    }
}

} // namespace
} // namespace zel::import
