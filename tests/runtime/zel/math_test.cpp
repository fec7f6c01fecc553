// Math conventions: row vectors (v' = v * M), right-handed rotations, M = Rx * Ry * Rz.
#include <zel/math.h>

#include <gtest/gtest.h>

#include <cmath>

namespace {

using zel::matrix4;
using zel::quat;
using zel::vec3;

constexpr float tolerance = 1e-5f;

void expectNear(const vec3& a, const vec3& b) {
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_NEAR(a[i], b[i], tolerance) << "component " << i;
}

void expectNear(const matrix4& a, const matrix4& b) {
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(a.data()[i], b.data()[i], tolerance) << "element " << i;
}

matrix4 euler(float x, float y, float z) {
    matrix4 m;
    m.setEuler(vec3(x, y, z));
    return m;
}

matrix4 fromQuat(const quat& q) {
    matrix4 m;
    m.setQuat(q);
    return m;
}

matrix4 translate(float x, float y, float z) {
    matrix4 m;
    m.setTranslate(vec3(x, y, z));
    return m;
}

matrix4 scale(float x, float y, float z) {
    matrix4 m;
    m.setScale(vec3(x, y, z));
    return m;
}

TEST(Math, RotationsAreRightHandedOnRowVectors) {
    expectNear(euler(0, 0, 90).transformPoint(vec3(1, 0, 0)), vec3(0, 1, 0));
    expectNear(euler(90, 0, 0).transformPoint(vec3(0, 1, 0)), vec3(0, 0, 1));
    expectNear(euler(0, 90, 0).transformPoint(vec3(0, 0, 1)), vec3(1, 0, 0));
    // Element (0, 1) of Rz(90) is +1: the image of the x axis is row 0.
    EXPECT_NEAR(euler(0, 0, 90)(0, 1), 1.0f, tolerance);
}

TEST(Math, EulerIsXThenYThenZ) {
    expectNear(euler(30, -45, 120), euler(30, 0, 0) * euler(0, -45, 0) * euler(0, 0, 120));
    // Not the other order.
    const matrix4 reversed = euler(0, 0, 120) * euler(0, -45, 0) * euler(30, 0, 0);
    EXPECT_GT(std::fabs(reversed(0, 2) - euler(30, -45, 120)(0, 2)), 0.1f);
}

TEST(Math, UnitQuaternionTurnsLikeEuler) {
    const vec3 axes[] = {vec3(1, 0, 0), vec3(0, 1, 0), vec3(0, 0, 1)};
    for (int a = 0; a < 3; ++a) {
        for (float degrees : {-170.0f, -30.0f, 5.0f, 90.0f, 137.0f, 180.0f}) {
            SCOPED_TRACE("axis " + std::to_string(a) + ", " + std::to_string(degrees) + " deg");
            const float half = degrees * 3.14159265f / 360.0f;
            const float s = std::sin(half);
            const quat q(s * axes[a][0], s * axes[a][1], s * axes[a][2], std::cos(half));
            vec3 e;
            e[a] = degrees;
            expectNear(fromQuat(q), euler(e[0], e[1], e[2]));
        }
    }
    // A scaled quaternion means the same rotation; a zero one means none.
    const float h = std::sqrt(0.5f);
    expectNear(fromQuat(quat(0, 0, 3 * h, 3 * h)), euler(0, 0, 90));
    expectNear(fromQuat(quat(0, 0, 0, 0)), matrix4());
    expectNear(fromQuat(quat()), matrix4());
}

TEST(Math, ProductsFollowTheRowVectorOrder) {
    const matrix4 a = scale(2, 3, 4) * euler(10, 20, 30);
    const matrix4 b = euler(-50, 5, 70) * translate(1, -2, 3);
    const vec3 p(0.5f, -1.5f, 2.0f);
    expectNear((a * b).transformPoint(p), b.transformPoint(a.transformPoint(p)));

    matrix4 pre = a;
    pre.preMult(b);
    expectNear(pre, b * a);
    matrix4 post = a;
    post.postMult(b);
    expectNear(post, a * b);

    const float h = std::sqrt(0.5f);
    matrix4 turned = a;
    turned.preQuat(quat(h, 0, 0, h));
    expectNear(turned, euler(90, 0, 0) * a);
}

TEST(Math, ScaleRotateTranslateGoldenPoint) {
    // (1,0,0) scaled by 2 is (2,0,0), turned 90 degrees about Z is (0,2,0), moved by (1,2,3).
    const matrix4 m = scale(2, 2, 2) * euler(0, 0, 90) * translate(1, 2, 3);
    expectNear(m.transformPoint(vec3(1, 0, 0)), vec3(1, 4, 3));
    expectNear(m.getTranslate(), vec3(1, 2, 3));
    EXPECT_EQ(translate(1, 2, 3).data()[12], 1.0f);
    EXPECT_EQ(translate(1, 2, 3).data()[14], 3.0f);
}

TEST(Math, InverseAffine) {
    const matrix4 m = scale(2, 0.5f, 4) * euler(10, 20, 30) * translate(1, 2, 3);
    expectNear(m * m.inverseAffine(), matrix4());
    expectNear(m.inverseAffine().transformPoint(m.transformPoint(vec3(3, -1, 7))), vec3(3, -1, 7));
    EXPECT_EQ(scale(1, 0, 1).inverseAffine(), matrix4());
}

TEST(Math, RowMajorStorage) {
    float values[16];
    for (int i = 0; i < 16; ++i)
        values[i] = static_cast<float>(i);
    const matrix4 m(values);
    EXPECT_EQ(m(0, 3), 3.0f);
    EXPECT_EQ(m(3, 0), 12.0f);
    matrix4 identity(values);
    identity.makeIdentity();
    EXPECT_EQ(identity, matrix4());
}

} // namespace
