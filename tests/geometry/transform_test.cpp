// The transform operations of the geometry holder, checked through the matrices and transform
// objects that the recording node receives.
#include "sink_fixture.h"

#include <cmath>

namespace {

using rec::sinkTest;

constexpr double pi = 3.14159265358979323846;

// The right-handed turn by `degrees` about a principal axis in the row-vector convention, from the
// textbook formula.
zel::matrix4 principalTurn(int axis, double degrees) {
    const auto c = static_cast<float>(std::cos(degrees * pi / 180.0));
    const auto s = static_cast<float>(std::sin(degrees * pi / 180.0));
    zel::matrix4 m;
    const int a = (axis + 1) % 3;
    const int b = (axis + 2) % 3;
    m(a, a) = c;
    m(a, b) = s;
    m(b, a) = -s;
    m(b, b) = c;
    return m;
}

// The upper 3x3 of `m` applied to the row vector v.
zel::vec3 turnVector(const zel::matrix4& m, const zel::vec3& v) {
    zel::vec3 out;
    for (int c = 0; c < 3; ++c)
        out[static_cast<std::size_t>(c)] = v[0] * m(0, c) + v[1] * m(1, c) + v[2] * m(2, c);
    return out;
}

TEST_F(sinkTest, translateComposesAlongOneAxisOnly) {
    const std::vector<std::tuple<float, std::int32_t, std::string>> cases = {
        {0.25f, 0, "applyXform point(0.25,0,0)"},
        {0.25f, 1, "applyXform point(0,0.25,0)"},
        {-0.25f, 2, "applyXform point(0,0,-0.25)"},
        {-0.25f, 3, ""},
        {0.25f, 4, ""},
        {0.25f, -1, ""},
        {0.0f, 0, ""},
    };
    placeUnderTabletop();
    const zel::vec3 home = sink->getPosition();
    for (const auto& [amount, axis, expected] : cases) {
        SCOPED_TRACE("amount " + std::to_string(amount) + " axis " + std::to_string(axis));
        w.log.clear();
        sink->translate(amount, axis);
        EXPECT_EQ(w.log, expected.empty() ? rec::journal{} : rec::journal{expected});
        EXPECT_EQ(sink->getPosition(), home);
    }
}

TEST_F(sinkTest, scaleComposesAlongOneAxisOrUniformly) {
    const float down = 1.0f / 1.1f;
    const std::vector<std::tuple<float, std::int32_t, zel::vec3, bool>> cases = {
        {1.1f, 0, zel::vec3(1.1f, 1, 1), true},
        {1.1f, 1, zel::vec3(1, 1.1f, 1), true},
        {down, 2, zel::vec3(1, 1, down), true},
        {down, 3, zel::vec3(down, down, down), true},
        {1.1f, 4, {}, false},
        {1.1f, -1, {}, false},
    };
    placeUnderTabletop();
    for (const auto& [factor, axis, factors, composed] : cases) {
        SCOPED_TRACE("axis " + std::to_string(axis));
        w.log.clear();
        sink->scale(factor, axis);
        EXPECT_EQ(w.log, composed ? rec::journal{"applyXform scale" + rec::vecText(factors)}
                                  : rec::journal{});
    }
    EXPECT_EQ(sink->getScale(), zel::vec3(1, 1, 1));
}

TEST_F(sinkTest, rotatePreMultipliesTheWholeMatrixByAnEulerTurn) {
    const std::vector<std::tuple<float, std::int32_t, int>> cases = {
        {5.0f, 0, 0},  {5.0f, 1, 1},  {5.0f, 2, 2},  {-5.0f, 2, 2},
        {5.0f, 3, -1}, {5.0f, 7, -1}, {0.0f, 1, -1},
    };
    for (const auto& [angle, axis, turned] : cases) {
        SCOPED_TRACE("angle " + std::to_string(angle) + " axis " + std::to_string(axis));
        rec::node* model = placeUnderTabletop();
        const zel::matrix4 before = rec::translation(1, 2, 3);
        model->matrix = before;
        sink->rotate(angle, axis);
        if (turned < 0) {
            EXPECT_TRUE(w.log.empty());
            continue;
        }
        EXPECT_EQ(w.log, (rec::journal{"getXform matrix", "setXform matrix"}));
        ASSERT_EQ(model->setMatrices.size(), 1u);
        // In front of the old matrix: the turn acts in the node's own frame, the translation row
        // stays.
        rec::expectNear(model->setMatrices[0], principalTurn(turned, angle) * before);
        EXPECT_EQ(model->setMatrices[0].getTranslate(), zel::vec3(1, 2, 3));
    }
}

TEST_F(sinkTest, rotateByTakesAllThreeAnglesAtOnce) {
    rec::node* model = placeUnderTabletop();
    sink->rotateBy(10.0f, 20.0f, 30.0f);
    zel::matrix4 euler;
    euler.setEuler(zel::vec3(10, 20, 30));
    rec::expectNear(model->matrix, euler);
    rec::expectNear(euler, principalTurn(0, 10) * principalTurn(1, 20) * principalTurn(2, 30));
    w.log.clear();
    sink->rotateBy(zel::vec3());
    EXPECT_TRUE(w.log.empty());
}

// What one trackball step must hand to the node, with the home position at `home`.
struct trackballCase {
    const char* name;
    std::int32_t axis;
    zel::vec3 home;
    int x;
    int y;
    zel::vec3 turnAxis; // unit vector the turn is about
};

TEST_F(sinkTest, trackballTurnsFiveDegreesAboutTheFixedOrPointerSteeredAxis) {
    const float r = std::sqrt(0.5f);
    const std::vector<trackballCase> cases = {
        {"axis 0", 0, {0, 0, -2}, 100, 100, {1, 0, 0}},
        {"axis 1", 1, {0, 0, -2}, 100, 100, {0, 1, 0}},
        {"axis 2", 2, {0, 0, -2}, 100, 100, {0, 0, 1}},
        {"pointer (3, 4) from home (0, 0, z)", 3, {0, 0, -2}, 3, 4, {0.6f, 0.8f, 0}},
        {"pointer on home x and y", 3, {5, 7, -2}, 5, 7, {0, 0, 1}},
        {"pointer within one unit", 3, {0.5f, 0.5f, -2}, 1, 1, {0.5f, 0.5f, r}},
        {"pointer far away", 3, {0.25f, -1, -2}, 640, -1, {1, 0, 0}},
    };
    for (const trackballCase& c : cases) {
        SCOPED_TRACE(c.name);
        w.readerService.files[u"archi.3ds"].matrix =
            rec::translation(c.home[0], c.home[1], c.home[2]);
        rec::node* model = placeUnderTabletop();
        sink->trackballRotate(5.0f, c.axis, c.x, c.y);
        EXPECT_EQ(w.log, (rec::journal{"getXform matrix", "setXform matrix"}));
        ASSERT_EQ(model->setMatrices.size(), 1u);
        const zel::matrix4& m = model->setMatrices[0];
        EXPECT_EQ(m.getTranslate(), c.home) << "the turn is put in front of the translation";
        // The axis stays where it is; a vector across it turns by exactly 5 degrees.
        const zel::vec3 kept = turnVector(m, c.turnAxis);
        for (std::size_t i = 0; i < 3; ++i)
            EXPECT_NEAR(kept[i], c.turnAxis[i], 1e-6f);
        const zel::vec3 across = std::fabs(c.turnAxis[2]) < 0.9f
                                     ? zel::vec3(-c.turnAxis[1], c.turnAxis[0], 0)
                                     : zel::vec3(1, 0, 0);
        const zel::vec3 turned = turnVector(m, across);
        const float len =
            std::sqrt(across[0] * across[0] + across[1] * across[1] + across[2] * across[2]);
        const float dot =
            (turned[0] * across[0] + turned[1] * across[1] + turned[2] * across[2]) / (len * len);
        EXPECT_NEAR(dot, std::cos(5.0 * pi / 180.0), 1e-6);
    }
}

TEST_F(sinkTest, trackballQuaternionsAreComputedInSinglePrecision) {
    const float h = zel::FloatTrait<float>::d2r(5.0f) / 2.0f;
    const float hs = std::sin(h);
    const float hc = std::cos(h);
    ASSERT_NEAR(hs, std::sin(2.5 * pi / 180.0), 1e-7);
    const std::vector<std::tuple<const char*, std::int32_t, int, int, zel::quat>> cases = {
        {"axis 0", 0, 0, 0, zel::quat(hs, 0, 0, hc)},
        {"axis 1", 1, 0, 0, zel::quat(0, hs, 0, hc)},
        {"axis 2", 2, 0, 0, zel::quat(0, 0, hs, hc)},
        {"pointer (3, 4)", 3, 3, 4, zel::quat(hs * 0.2f * 3.0f, hs * 0.2f * 4.0f, 0, hc)},
        {"pointer on home", 3, 0, 0, zel::quat(0, 0, hs, hc)},
    };
    for (const auto& [name, axis, x, y, q] : cases) {
        SCOPED_TRACE(name);
        w.readerService.files[u"archi.3ds"].matrix = rec::translation(0, 0, -2.1f);
        rec::node* model = placeUnderTabletop();
        model->matrix = zel::matrix4();
        sink->trackballRotate(5.0f, axis, x, y);
        ASSERT_EQ(model->setMatrices.size(), 1u);
        zel::matrix4 expected;
        expected.setQuat(q);
        EXPECT_EQ(model->setMatrices[0], expected);
    }
}

TEST_F(sinkTest, trackballWithoutATurnTouchesNothing) {
    const std::vector<std::tuple<const char*, float, std::int32_t>> cases = {
        {"axis 4", 5.0f, 4},
        {"axis -1", 5.0f, -1},
        {"zero angle, axis 0", 0.0f, 0},
        {"zero angle, axis 3", 0.0f, 3},
    };
    for (const auto& [name, angle, axis] : cases) {
        SCOPED_TRACE(name);
        placeUnderTabletop();
        sink->trackballRotate(angle, axis, 3, 4);
        EXPECT_TRUE(w.log.empty());
    }
}

TEST_F(sinkTest, transformOperationsWriteNoTrace) {
    placeUnderTabletop();
    rec::captureStdout out;
    sink->translate(0.25f, 0);
    sink->scale(1.1f, 1);
    sink->rotate(5.0f, 2);
    sink->rotateBy(1, 2, 3);
    sink->trackballRotate(5.0f, 3, 3, 4);
    sink->resetXform();
    EXPECT_EQ(out.text(), "");
}

} // namespace
