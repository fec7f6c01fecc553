// Transform composition and read-back. Expected numbers are worked out by hand in the row-vector
// convention (v' = v * M): a turn of 90 degrees about z takes (1, 0, 0) to (0, 1, 0).
#include "test_support.h"

#include <zel/world/scene_node.h>

#include <cmath>

using zel::matrix4;
using zel::quat;
using zel::vec3;
using zel::polyMath::matrix4Xform;
using zel::polyMath::point3Xform;
using zel::polyMath::quatXform;
using zel::polyMath::scaleXform;
using zel::world::sceneNode;
using zeltest::matrixNear;

namespace {

const float h = std::sqrt(0.5f); // sin 45 = cos 45

point3Xform position(float x, float y, float z) {
    point3Xform p;
    p.setData(vec3(x, y, z));
    return p;
}

scaleXform scale(float x, float y, float z) {
    scaleXform s;
    s.setData(vec3(x, y, z));
    return s;
}

quatXform rotation(float x, float y, float z, float w) {
    quatXform q;
    q.setData(quat(x, y, z, w));
    return q;
}

void expectVec(const vec3& v, float x, float y, float z) {
    EXPECT_NEAR(v[0], x, 1e-5f);
    EXPECT_NEAR(v[1], y, 1e-5f);
    EXPECT_NEAR(v[2], z, 1e-5f);
}

// q and -q are the same rotation.
void expectQuat(const quat& q, float x, float y, float z, float w) {
    const float sign = (q[0] * x + q[1] * y + q[2] * z + q[3] * w) < 0 ? -1.0f : 1.0f;
    EXPECT_NEAR(sign * q[0], x, 1e-5f);
    EXPECT_NEAR(sign * q[1], y, 1e-5f);
    EXPECT_NEAR(sign * q[2], z, 1e-5f);
    EXPECT_NEAR(sign * q[3], w, 1e-5f);
}

} // namespace

TEST(xform, CompositionOrderOfEachKind) {
    sceneNode n;
    ASSERT_TRUE(n.applyXform(position(1, 2, 3)));
    EXPECT_TRUE(matrixNear(n.getMatrix(), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 1, 2, 3, 1}));

    // A rotation goes in front: the position row stays, the axes turn.
    ASSERT_TRUE(n.applyXform(rotation(0, 0, h, h)));
    EXPECT_TRUE(matrixNear(n.getMatrix(), {0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1, 0, 1, 2, 3, 1}));

    // A scale goes in front too: in the node's own frame, row i by factor i.
    ASSERT_TRUE(n.applyXform(scale(2, 3, 4)));
    EXPECT_TRUE(matrixNear(n.getMatrix(), {0, 2, 0, 0, -3, 0, 0, 0, 0, 0, 4, 0, 1, 2, 3, 1}));

    // A translation goes after everything: along the parent's axes, untouched by scale and turn.
    ASSERT_TRUE(n.applyXform(position(1, 0, 0)));
    EXPECT_TRUE(matrixNear(n.getMatrix(), {0, 2, 0, 0, -3, 0, 0, 0, 0, 0, 4, 0, 2, 2, 3, 1}));

    // The node's (1, 0, 0): scaled by 2, turned onto +y, then moved by (2, 2, 3).
    expectVec(n.getMatrix().transformPoint(vec3(1, 0, 0)), 2, 4, 3);

    // A whole matrix goes in front: here a mirror of x.
    matrix4Xform mirror;
    matrix4 m;
    m.setScale(vec3(-1, 1, 1));
    mirror.setData(m);
    ASSERT_TRUE(n.applyXform(mirror));
    EXPECT_TRUE(matrixNear(n.getMatrix(), {0, -2, 0, 0, -3, 0, 0, 0, 0, 0, 4, 0, 2, 2, 3, 1}));
}

TEST(xform, SetXformReplacesWithTheObjectsMatrix) {
    struct replace {
        const char* name;
        const zel::polyMath::xform& with;
        std::array<float, 16> expected;
    };
    const point3Xform p = position(5, 6, 7);
    const scaleXform s = scale(2, 3, 4);
    const quatXform q = rotation(0, 0, h, h);
    matrix4Xform x;
    const float raw[16] = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 1};
    x.setData(matrix4(raw));
    const replace cases[] = {
        {"position", p, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 5, 6, 7, 1}},
        {"scale", s, {2, 0, 0, 0, 0, 3, 0, 0, 0, 0, 4, 0, 0, 0, 0, 1}},
        {"rotation", q, {0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}},
        {"matrix", x, {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 1}},
    };
    for (const replace& c : cases) {
        SCOPED_TRACE(c.name);
        sceneNode n;
        n.applyXform(position(9, 9, 9));
        n.applyXform(scale(5, 5, 5));
        ASSERT_TRUE(n.setXform(c.with));
        EXPECT_TRUE(matrixNear(n.getMatrix(), c.expected));
    }
}

TEST(xform, GetXformReadsPositionScaleRotationAndMatrix) {
    sceneNode n;
    n.setXform(rotation(0, 0, h, h));
    n.applyXform(scale(2, 3, 4));
    n.applyXform(position(1, 2, 3));

    point3Xform p;
    scaleXform s;
    quatXform q;
    matrix4Xform m;
    ASSERT_TRUE(n.getXform(p));
    ASSERT_TRUE(n.getXform(s));
    ASSERT_TRUE(n.getXform(q));
    ASSERT_TRUE(n.getXform(m));
    expectVec(p.getData(), 1, 2, 3);
    expectVec(s.getData(), 2, 3, 4);
    expectQuat(q.getData(), 0, 0, h, h);
    EXPECT_EQ(m.getData(), n.getMatrix());
}

TEST(xform, UnknownTransformKindIsRefused) {
    struct otherXform : zel::polyMath::xform {};
    sceneNode n;
    n.applyXform(position(1, 2, 3));
    const matrix4 before = n.getMatrix();
    otherXform other;
    EXPECT_FALSE(n.setXform(other));
    EXPECT_FALSE(n.applyXform(other));
    EXPECT_FALSE(n.getXform(other));
    EXPECT_EQ(n.getMatrix(), before);
}

// What a model's home transform does: read position, scale and rotation after loading, and later
// rebuild M = S * R * T from them with setXform(rotation), applyXform(scale), applyXform(position).
TEST(xform, ReadBackRebuildsTheSameMatrix) {
    struct pose {
        const char* name;
        vec3 euler; // degrees
        vec3 scale;
        vec3 position;
        quat expected; // the rotation as read back, worked out by hand
    };
    const float s30 = std::sin(0.5f * 0.523598776f), c30 = std::cos(0.5f * 0.523598776f);
    const pose poses[] = {
        {"identity", {0, 0, 0}, {1, 1, 1}, {0, 0, 0}, {0, 0, 0, 1}},
        {"z 90", {0, 0, 90}, {1, 1, 1}, {1, 2, 3}, {0, 0, h, h}},
        {"x 30, scaled", {30, 0, 0}, {2, 2, 2}, {-1, 0, 5}, {s30, 0, 0, c30}},
        {"x 180", {180, 0, 0}, {1, 2, 3}, {0, 0, 0}, {1, 0, 0, 0}},
        {"y 180", {0, 180, 0}, {3, 1, 2}, {0, 1, 0}, {0, 1, 0, 0}},
        {"z 180", {0, 0, 180}, {1, 1, 0.5f}, {0, 0, -2}, {0, 0, 1, 0}},
        {"y -90", {0, -90, 0}, {0.25f, 4, 1}, {7, 8, 9}, {0, -h, 0, h}},
        // Rx(90) then Ry(90): the turn by 120 degrees about (1, 1, -1)/sqrt(3), worked out from
        // q = qx * qy composed for row vectors.
        {"x 90 y 90", {90, 90, 0}, {1, 1, 1}, {0, 0, 0}, {0.5f, 0.5f, -0.5f, 0.5f}},
    };
    for (const pose& p : poses) {
        SCOPED_TRACE(p.name);
        sceneNode loaded;
        matrix4 r;
        r.setEuler(p.euler);
        matrix4 m = r;
        matrix4 s;
        s.setScale(p.scale);
        m.preMult(s);
        m(3, 0) = p.position[0];
        m(3, 1) = p.position[1];
        m(3, 2) = p.position[2];
        loaded.setMatrix(m);

        point3Xform homePosition;
        scaleXform homeScale;
        quatXform homeRotation;
        loaded.getXform(homePosition);
        loaded.getXform(homeScale);
        loaded.getXform(homeRotation);
        expectVec(homePosition.getData(), p.position[0], p.position[1], p.position[2]);
        expectVec(homeScale.getData(), p.scale[0], p.scale[1], p.scale[2]);
        expectQuat(homeRotation.getData(), p.expected[0], p.expected[1], p.expected[2],
                   p.expected[3]);

        sceneNode rebuilt;
        rebuilt.applyXform(position(4, 4, 4)); // whatever the user did since
        rebuilt.setXform(homeRotation);
        rebuilt.applyXform(homeScale);
        rebuilt.applyXform(homePosition);
        std::array<float, 16> expected;
        std::copy(m.data(), m.data() + 16, expected.begin());
        EXPECT_TRUE(matrixNear(rebuilt.getMatrix(), expected, 2e-5f));
    }
}

TEST(xform, DegenerateMatricesReadBackFinite) {
    struct degenerate {
        const char* name;
        vec3 scale;
    };
    const degenerate cases[] = {{"flattened", {1, 0, 1}}, {"mirrored", {-1, 1, 1}}};
    for (const degenerate& c : cases) {
        SCOPED_TRACE(c.name);
        sceneNode n;
        n.setXform(rotation(0, 0, h, h));
        n.applyXform(scale(c.scale[0], c.scale[1], c.scale[2]));
        scaleXform s;
        quatXform q;
        n.getXform(s);
        n.getXform(q);
        expectVec(s.getData(), std::fabs(c.scale[0]), std::fabs(c.scale[1]), std::fabs(c.scale[2]));
        const quat r = q.getData();
        const float length = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2] + r[3] * r[3]);
        EXPECT_NEAR(length, 1.0f, 1e-5f);
    }
}
