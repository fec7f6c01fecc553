// Key translation, computed normals and the ground grid: the pure parts of the renderer.
#include <zel/render/frame.h>
#include <zel/render/input.h>
#include <zel/render/normals.h>

#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>

using namespace zel::render;

namespace {

TEST(translateKey, usLayoutCharactersAndViewerKeys) {
    constexpr int shift = GLFW_MOD_SHIFT, caps = GLFW_MOD_CAPS_LOCK, num = GLFW_MOD_NUM_LOCK;
    struct row {
        const char* name;
        int key, mods;
        int character; // -1: none
        std::optional<viewerKey> viewer;
    };
    const row rows[] = {
        {"x", GLFW_KEY_X, 0, 'x', {}},
        {"shift+x", GLFW_KEY_X, shift, 'X', {}},
        {"caps lock+x", GLFW_KEY_X, caps, 'X', {}},
        {"caps lock+shift+x", GLFW_KEY_X, caps | shift, 'x', {}},
        {"ctrl+z undoes", GLFW_KEY_Z, GLFW_MOD_CONTROL, -1, viewerKey::undo},
        {"ctrl+caps lock+z undoes", GLFW_KEY_Z, GLFW_MOD_CONTROL | caps, -1, viewerKey::undo},
        {"ctrl+shift+z redoes", GLFW_KEY_Z, GLFW_MOD_CONTROL | shift, -1, viewerKey::redo},
        {"ctrl+y redoes", GLFW_KEY_Y, GLFW_MOD_CONTROL, -1, viewerKey::redo},
        {"ctrl+x types nothing", GLFW_KEY_X, GLFW_MOD_CONTROL, -1, {}},
        {"ctrl+period types nothing", GLFW_KEY_PERIOD, GLFW_MOD_CONTROL | shift, -1, {}},
        {"comma", GLFW_KEY_COMMA, 0, ',', {}},
        {"shift+comma", GLFW_KEY_COMMA, shift, '<', {}},
        {"shift+period", GLFW_KEY_PERIOD, shift, '>', {}},
        {"shift+slash", GLFW_KEY_SLASH, shift, '?', {}},
        {"caps lock leaves punctuation", GLFW_KEY_SLASH, caps, '/', {}},
        {"shift+1", GLFW_KEY_1, shift, '!', {}},
        {"shift+0", GLFW_KEY_0, shift, ')', {}},
        {"shift+apostrophe", GLFW_KEY_APOSTROPHE, shift, '"', {}},
        {"space", GLFW_KEY_SPACE, 0, ' ', {}},
        {"enter", GLFW_KEY_ENTER, 0, 13, {}},
        {"keypad enter", GLFW_KEY_KP_ENTER, 0, 13, {}},
        {"backspace", GLFW_KEY_BACKSPACE, 0, 8, {}},
        {"tab", GLFW_KEY_TAB, 0, -1, viewerKey::tab},
        {"shift+tab", GLFW_KEY_TAB, shift, -1, viewerKey::backTab},
        {"keypad 7 with num lock", GLFW_KEY_KP_7, num, '7', {}},
        {"keypad decimal with num lock", GLFW_KEY_KP_DECIMAL, num, '.', {}},
        {"keypad plus", GLFW_KEY_KP_ADD, 0, '+', {}},
        {"keypad 8 without num lock", GLFW_KEY_KP_8, 0, -1, viewerKey::up},
        {"keypad 9 without num lock", GLFW_KEY_KP_9, 0, -1, viewerKey::pageUp},
        {"keypad 5 without num lock", GLFW_KEY_KP_5, 0, -1, {}},
        {"left", GLFW_KEY_LEFT, 0, -1, viewerKey::left},
        {"shift+up", GLFW_KEY_UP, shift, -1, viewerKey::up},
        {"page down", GLFW_KEY_PAGE_DOWN, 0, -1, viewerKey::pageDown},
        {"F1", GLFW_KEY_F1, 0, -1, viewerKey::f1},
        {"F12", GLFW_KEY_F12, 0, -1, viewerKey::f12},
        {"escape", GLFW_KEY_ESCAPE, 0, -1, viewerKey::escape},
        {"delete", GLFW_KEY_DELETE, 0, -1, viewerKey::del},
        {"left shift alone", GLFW_KEY_LEFT_SHIFT, shift, -1, {}},
        {"F13", GLFW_KEY_F13, 0, -1, {}},
        {"unknown", GLFW_KEY_UNKNOWN, 0, -1, {}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const keyMeaning m = translateKey(r.key, r.mods);
        if (r.character < 0) {
            EXPECT_FALSE(m.character);
        } else {
            ASSERT_TRUE(m.character);
            EXPECT_EQ(*m.character, static_cast<unsigned int>(r.character));
        }
        EXPECT_EQ(m.viewer, r.viewer);
    }
}

TEST(translateKey, everyLetterAndDigitTypesItsOwnCharacter) {
    for (int k = GLFW_KEY_A; k <= GLFW_KEY_Z; ++k) {
        EXPECT_EQ(translateKey(k, 0).character, static_cast<unsigned int>(k - 'A' + 'a'));
        EXPECT_EQ(translateKey(k, GLFW_MOD_SHIFT).character, static_cast<unsigned int>(k));
    }
    for (int k = GLFW_KEY_0; k <= GLFW_KEY_9; ++k) {
        EXPECT_EQ(translateKey(k, 0).character, static_cast<unsigned int>(k));
    }
}

TEST(computeNormals, smoothWithinTheCreaseAngleSharpBeyondIt) {
    // Vertices 0..3: two triangles folded 90 degrees along the edge from (0,0,0) to (1,0,0), one
    // in the XY plane facing +Z, one in the XZ plane facing +Y. Vertex 4 lies far off.
    const float positions[] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, -1, 5, 5, 5};
    const float uvs[] = {0, 0, 1, 0, 0, 1, 0.5f, 0.5f, 1, 1};
    const float r = 1.0f / std::sqrt(2.0f);
    using n3 = std::array<float, 3>;
    struct row {
        const char* name;
        std::vector<std::uint32_t> indices;
        float crease;
        std::size_t vertices;          // after splitting
        std::vector<n3> cornerNormals; // per output corner, in triangle order
    };
    const n3 z{0, 0, 1}, y{0, 1, 0}, zero{0, 0, 0}, yz{0, r, r};
    const row rows[] = {
        {"one triangle", {0, 1, 2}, 50, 3, {z, z, z}},
        {"folded pair, sharp edge split", {0, 1, 2, 0, 1, 3}, 50, 6, {z, z, z, y, y, y}},
        {"folded pair, smooth under a wide crease",
         {0, 1, 2, 0, 1, 3},
         100,
         4,
         {yz, yz, z, yz, yz, y}},
        {"degenerate triangle decides nothing",
         {0, 1, 2, 0, 0, 1},
         50,
         5,
         {z, z, z, zero, zero, zero}},
        {"out-of-range triangle is dropped", {0, 1, 2, 0, 1, 99}, 50, 3, {z, z, z}},
        {"trailing partial triangle is dropped", {0, 1, 2, 3}, 50, 3, {z, z, z}},
    };
    for (const row& t : rows) {
        SCOPED_TRACE(t.name);
        const normalMesh m =
            computeNormals(positions, uvs, 5, t.indices.data(), t.indices.size(), t.crease);
        ASSERT_EQ(m.indices.size(), t.cornerNormals.size());
        EXPECT_EQ(m.positions.size(), t.vertices * 3);
        ASSERT_EQ(m.normals.size(), m.positions.size());
        ASSERT_EQ(m.uvs.size(), m.positions.size() / 3 * 2);
        for (std::size_t c = 0; c < m.indices.size(); ++c) {
            const std::uint32_t out = m.indices[c];
            const std::uint32_t in = t.indices[c];
            ASSERT_LT(out, m.positions.size() / 3);
            for (int k = 0; k < 3; ++k) {
                EXPECT_EQ(m.positions[out * 3 + k], positions[in * 3 + k]) << "corner " << c;
                EXPECT_NEAR(m.normals[out * 3 + k], t.cornerNormals[c][k], 1e-5) << "corner " << c;
            }
            EXPECT_EQ(m.uvs[out * 2], uvs[in * 2]) << "corner " << c;
            EXPECT_EQ(m.uvs[out * 2 + 1], uvs[in * 2 + 1]) << "corner " << c;
        }
    }
}

TEST(computeNormals, sharedCubeCornersSplitIntoFlatFaces) {
    const float p[] = {-1, -1, -1, 1, -1, -1, 1, 1, -1, -1, 1, -1,
                       -1, -1, 1,  1, -1, 1,  1, 1, 1,  -1, 1, 1};
    const std::uint32_t idx[] = {0, 2, 1, 0, 3, 2, 4, 5, 6, 4, 6, 7, 0, 1, 5, 0, 5, 4,
                                 3, 6, 2, 3, 7, 6, 0, 4, 7, 0, 7, 3, 1, 2, 6, 1, 6, 5};
    const normalMesh flat = computeNormals(p, nullptr, 8, idx, 36);
    EXPECT_EQ(flat.positions.size(), 24u * 3);
    EXPECT_TRUE(flat.uvs.empty());
    for (std::size_t v = 0; v < 24; ++v) {
        // Each normal is an axis, pointing out of the cube.
        const float* n = &flat.normals[v * 3];
        const float* pos = &flat.positions[v * 3];
        EXPECT_NEAR(std::abs(n[0]) + std::abs(n[1]) + std::abs(n[2]), 1.0f, 1e-6) << v;
        EXPECT_GT(n[0] * pos[0] + n[1] * pos[1] + n[2] * pos[2], 0.0f) << v;
    }
    const normalMesh smooth = computeNormals(p, nullptr, 8, idx, 36, 100.0f);
    EXPECT_EQ(smooth.positions.size(), 8u * 3);
}

TEST(weldVertices, mergesVerticesEqualInEveryAttribute) {
    // A quad stored as two triangles of their own (six vertices); vertex 5 repeats vertex 0 but
    // with another uv, vertex 3 repeats vertex 0 exactly, vertex 4 repeats vertex 2 exactly.
    const float positions[] = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0};
    const float normals[] = {0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1};
    const float uvs[] = {0, 0, 1, 0, 1, 1, 0, 0, 1, 1, 0.5f, 0};
    const std::uint32_t indices[] = {0, 1, 2, 3, 4, 5};
    const normalMesh m = weldVertices(positions, normals, uvs, 6, indices, 6);
    EXPECT_EQ(m.indices, (std::vector<std::uint32_t>{0, 1, 2, 0, 2, 3}));
    EXPECT_EQ(m.positions.size(), 4u * 3);
    EXPECT_EQ(m.normals.size(), 4u * 3);
    EXPECT_EQ(m.uvs, (std::vector<float>{0, 0, 1, 0, 1, 1, 0.5f, 0}));

    // Without normals and uvs only positions count; unused vertices are dropped.
    const std::uint32_t some[] = {5, 4, 1};
    const normalMesh p = weldVertices(positions, nullptr, nullptr, 6, some, 3);
    EXPECT_EQ(p.indices, (std::vector<std::uint32_t>{0, 1, 2}));
    EXPECT_EQ(p.positions, (std::vector<float>{0, 0, 0, 1, 1, 0, 1, 0, 0}));
    EXPECT_TRUE(p.normals.empty());
    EXPECT_TRUE(p.uvs.empty());

    // -0 and 0 are different bits: kept apart.
    const float signedZero[] = {0, 0, 0, -0.0f, 0, 0};
    const std::uint32_t two[] = {0, 1};
    EXPECT_EQ(weldVertices(signedZero, nullptr, nullptr, 2, two, 2).positions.size(), 6u);
}

TEST(makeGrid, linesThroughTheOriginOnTheFloor) {
    const gridMesh g = makeGrid(1.0f, 0.5f);
    // 5 lines each way (-1, -0.5, 0, 0.5, 1), two points each.
    ASSERT_EQ(g.positions.size(), 10u * 2 * 3);
    ASSERT_EQ(g.indices.size(), 20u);
    bool throughOrigin = false;
    for (std::size_t i = 0; i < g.positions.size(); i += 3) {
        EXPECT_EQ(g.positions[i + 1], 0.0f);
        EXPECT_LE(std::abs(g.positions[i]), 1.0f);
        EXPECT_LE(std::abs(g.positions[i + 2]), 1.0f);
        throughOrigin = throughOrigin || (g.positions[i] == 0.0f && g.positions[i + 2] == -1.0f);
    }
    EXPECT_TRUE(throughOrigin);
    for (std::uint32_t i : g.indices) {
        EXPECT_LT(i, g.positions.size() / 3);
    }
    for (auto [extent, step] :
         {std::pair{0.0f, 1.0f}, {1.0f, 0.0f}, {-1.0f, 1.0f}, {NAN, 1.0f}, {1.0f, INFINITY}}) {
        EXPECT_TRUE(makeGrid(extent, step).indices.empty());
    }
}

} // namespace
