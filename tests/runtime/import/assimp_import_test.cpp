// The conversion from Assimp's scene, checked in process against facts known from the files
// themselves (3DS is Z-up, Collada matrices act on column vectors, OBJ faces are quads).

#include "assimp_import.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace zel::import {
namespace {

using test::corpusDir;

scene mustImport(const std::filesystem::path& file) {
    std::string reason;
    std::optional<scene> s = importInProcess(file, &reason);
    EXPECT_TRUE(s) << file << ": " << reason;
    return s ? std::move(*s) : scene{};
}

const node* findNode(const scene& s, std::string_view name) {
    for (const node& n : s.nodes)
        if (n.name == name)
            return &n;
    return nullptr;
}

void expectMatrix(const float (&m)[16], std::initializer_list<float> want) {
    int i = 0;
    for (float w : want) {
        EXPECT_NEAR(m[i], w, 1e-5f) << "element " << i;
        ++i;
    }
}

TEST(AssimpImport, ThreeDsRootTurnsZUpIntoYUp) {
    ZEL_NEEDS_CORPUS();
    const scene s = mustImport(corpusDir() / "online3dviewer/cube_hierarchy.3ds");
    ASSERT_FALSE(s.nodes.empty());
    // Row-vector form: the file's up axis (0, 0, 1) times M gives row 2, which must be +Y.
    expectMatrix(s.nodes[0].matrix, {1, 0, 0, 0, 0, 0, -1, 0, 0, 1, 0, 0, 0, 0, 0, 1});
    const node* second = findNode(s, "Node 02");
    const node* inst = findNode(s, "Cube_inst_3");
    ASSERT_TRUE(second && inst);
    EXPECT_EQ(second->matrix[12], 0);
    EXPECT_EQ(second->matrix[13], 0);
    EXPECT_EQ(second->matrix[14], 3);
    EXPECT_EQ(inst->matrix[12], 3);
    EXPECT_EQ(inst->matrix[13], 3);
}

// A Collada scene: node "turned" with the given matrix text and a triangle mesh, its child "child"
// moved by (0, 0, 1) with the same mesh, and "wirenode" with a mesh of one line.
std::string collada(const std::string& matrix) {
    return R"(<?xml version="1.0" encoding="utf-8"?>
<COLLADA xmlns="http://www.collada.org/2005/11/COLLADASchema" version="1.4.1">
  <asset><unit meter="1"/><up_axis>Y_UP</up_axis></asset>
  <library_geometries>
    <geometry id="tri"><mesh>
      <source id="tri-pos"><float_array id="tri-pos-array" count="9">0 0 0 1 0 0 0 1 0</float_array>
        <technique_common><accessor source="#tri-pos-array" count="3" stride="3">
          <param name="X" type="float"/><param name="Y" type="float"/><param name="Z" type="float"/>
        </accessor></technique_common></source>
      <vertices id="tri-vtx"><input semantic="POSITION" source="#tri-pos"/></vertices>
      <triangles count="1"><input semantic="VERTEX" source="#tri-vtx" offset="0"/><p>0 1 2</p></triangles>
    </mesh></geometry>
    <geometry id="wire"><mesh>
      <source id="wire-pos"><float_array id="wire-pos-array" count="6">0 0 0 1 1 1</float_array>
        <technique_common><accessor source="#wire-pos-array" count="2" stride="3">
          <param name="X" type="float"/><param name="Y" type="float"/><param name="Z" type="float"/>
        </accessor></technique_common></source>
      <vertices id="wire-vtx"><input semantic="POSITION" source="#wire-pos"/></vertices>
      <lines count="1"><input semantic="VERTEX" source="#wire-vtx" offset="0"/><p>0 1</p></lines>
    </mesh></geometry>
  </library_geometries>
  <library_visual_scenes>
    <visual_scene id="scene" name="scene">
      <node id="turned" name="turned">
        <matrix>)" +
           matrix + R"(</matrix>
        <instance_geometry url="#tri"/>
        <node id="child" name="child"><translate>0 0 1</translate><instance_geometry url="#tri"/></node>
      </node>
      <node id="wirenode" name="wirenode"><instance_geometry url="#wire"/></node>
    </visual_scene>
  </library_visual_scenes>
  <scene><instance_visual_scene url="#scene"/></scene>
</COLLADA>
)";
}

TEST(AssimpImport, MatricesAreTransposedIntoRowVectorForm) {
    test::tempDir dir;
    // Collada writes column-vector matrices row by row: a quarter turn about Z, then (5, 6, 7).
    const auto file = dir.write("turned.dae", collada("0 -1 0 5 1 0 0 6 0 0 1 7 0 0 0 1"));
    const scene s = mustImport(file);
    const node* turned = findNode(s, "turned");
    const node* child = findNode(s, "child");
    const node* wire = findNode(s, "wirenode");
    ASSERT_TRUE(turned && child && wire);
    // (1, 0, 0) turns to (0, 1, 0): row 0 of the row-vector matrix.
    expectMatrix(turned->matrix, {0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1, 0, 5, 6, 7, 1});
    EXPECT_EQ(child->matrix[14], 1);
    // One triangle mesh shared by both nodes; the line mesh is gone, its node stays, bare.
    ASSERT_EQ(s.meshes.size(), 1u);
    EXPECT_EQ(turned->meshes, std::vector<std::uint32_t>{0});
    EXPECT_EQ(child->meshes, std::vector<std::uint32_t>{0});
    EXPECT_TRUE(wire->meshes.empty());
    EXPECT_TRUE(s.meshes[0].normals.empty());
}

TEST(AssimpImport, KeepsTrianglesDropsPointsAndLines) {
    test::tempDir dir;
    const auto file = dir.write("mixed.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 1\n"
                                             "o lines\nl 1 2 3\np 4\n"
                                             "o quad\nf 1 2 4 3\n"
                                             "o mixed\nf 1 2 4\nl 2 4\n");
    const scene s = mustImport(file);
    const node* lines = findNode(s, "lines");
    const node* quad = findNode(s, "quad");
    const node* mixed = findNode(s, "mixed");
    ASSERT_TRUE(lines && quad && mixed);
    EXPECT_TRUE(lines->meshes.empty());
    ASSERT_EQ(quad->meshes.size(), 1u);
    ASSERT_EQ(mixed->meshes.size(), 1u);
    EXPECT_EQ(s.meshes[quad->meshes[0]].triangleCount(), 2u);
    EXPECT_EQ(s.meshes[mixed->meshes[0]].triangleCount(), 1u);
}

TEST(AssimpImport, SharedMeshesAreStoredOnce) {
    ZEL_NEEDS_CORPUS();
    const scene s = mustImport(corpusDir() / "online3dviewer/cube_four_instances.3ds");
    std::size_t drawn = 0, users = 0;
    for (const node& n : s.nodes) {
        users += n.meshes.empty() ? 0 : 1;
        for (std::uint32_t m : n.meshes)
            drawn += s.meshes[m].triangleCount();
    }
    EXPECT_EQ(users, 4u);
    EXPECT_EQ(s.triangleCount(), 12u);
    EXPECT_EQ(drawn, 4 * 12u);
}

TEST(AssimpImport, MaterialsAndTexturesAsNamed) {
    ZEL_NEEDS_CORPUS();
    const scene s = mustImport(corpusDir() / "assimp/3DS/cube_with_diffuse_texture.3DS");
    ASSERT_EQ(s.materials.size(), 1u);
    EXPECT_EQ(s.materials[0].diffuseTexture, "TEST.PNG");

    const scene colours = mustImport(corpusDir() / "online3dviewer/cube_with_materials.3ds");
    bool red = false;
    for (const material& m : colours.materials)
        if (m.name == "red") {
            red = true;
            EXPECT_NEAR(m.diffuse[0], 0.8f, 0.01f);
            EXPECT_EQ(m.diffuse[1], 0);
            EXPECT_EQ(m.opacity, 1);
        }
    EXPECT_TRUE(red);
}

TEST(AssimpImport, QuadsAreTriangulatedAndMissingNormalsStayMissing) {
    ZEL_NEEDS_CORPUS();
    const scene s = mustImport(corpusDir() / "assimp/OBJ/box.obj");
    ASSERT_EQ(s.meshes.size(), 1u);
    EXPECT_EQ(s.meshes[0].triangleCount(), 12u); // six quads
    EXPECT_TRUE(s.meshes[0].normals.empty());
    EXPECT_TRUE(s.meshes[0].uvs.empty());
}

TEST(AssimpImport, ThreeDsKeyframes) {
    ZEL_NEEDS_CORPUS();
    const scene s = mustImport(corpusDir() / "assimp/3DS/RotatingCube.3DS");
    ASSERT_EQ(s.animations.size(), 1u);
    const animation& a = s.animations[0];
    EXPECT_EQ(a.ticksPerSecond, 0); // 3DS gives no rate
    EXPECT_GT(a.duration, 0);
    ASSERT_EQ(a.channels.size(), 1u);
    EXPECT_EQ(a.channels[0].node, "Box01");
    ASSERT_GT(a.channels[0].rotation.size(), 1u);
    for (const quatKey& k : a.channels[0].rotation) {
        const float* q = k.quat;
        EXPECT_NEAR(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3], 1.0f, 1e-3f);
    }
    // Static files carry none.
    EXPECT_TRUE(mustImport(corpusDir() / "castle-demo-models/p47d.3ds").animations.empty());
}

TEST(AssimpImport, NodesComeParentFirstInDepthFirstOrder) {
    ZEL_NEEDS_CORPUS();
    const scene s = mustImport(corpusDir() / "online3dviewer/cube_hierarchy.3ds");
    std::vector<std::string> names;
    for (const node& n : s.nodes)
        names.push_back(n.name);
    const std::vector<std::string> want = {
        "<3DSRoot>", "Node 01",     "Cube",        "Cube_inst_2", "Cube_inst_3", "Cube_inst_4",
        "Node 02",   "Cube_inst_5", "Cube_inst_6", "Cube_inst_7", "Cube_inst_8"};
    EXPECT_EQ(names, want);
}

TEST(AssimpImport, FailuresCarryAssimpsReason) {
    ZEL_NEEDS_CORPUS();
    std::string reason;
    EXPECT_FALSE(importInProcess(corpusDir() / "online3dviewer/wrong.3ds", &reason));
    EXPECT_FALSE(reason.empty());
    EXPECT_FALSE(importInProcess(corpusDir() / "no/such/file.3ds", &reason));
    EXPECT_NE(reason.find("Unable to open"), std::string::npos) << reason;
    // A transform out of float range: refused here rather than handed on to poison a scene.
    test::tempDir dir;
    EXPECT_FALSE(importInProcess(
        dir.write("huge.dae", collada("1e39 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1")), &reason));
    EXPECT_EQ(reason, "node 'turned' has a transform that is not a number");
}

} // namespace
} // namespace zel::import
