// The solid builders: every solid closed, wound outward, with the volume geometry says it has.
#include "geometry.h"
#include "sample_models.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <numbers>
#include <utility>

namespace zel::genModels {
namespace {

// Each directed edge once and its reverse once: the surface is closed and consistently wound.
bool closedAndConsistent(const meshObject& obj) {
    std::map<std::pair<int, int>, int> edges;
    for (const face& f : obj.faces) {
        ++edges[{f.a, f.b}];
        ++edges[{f.b, f.c}];
        ++edges[{f.c, f.a}];
    }
    for (const auto& [edge, count] : edges) {
        if (count != 1) {
            return false;
        }
        auto back = edges.find({edge.second, edge.first});
        if (back == edges.end() || back->second != 1) {
            return false;
        }
    }
    return true;
}

// Positive for a closed surface whose faces turn counter-clockwise seen from outside.
double signedVolume(const meshObject& obj) {
    double v = 0.0;
    for (const face& f : obj.faces) {
        v += dot(obj.vertices[f.a], cross(obj.vertices[f.b], obj.vertices[f.c]));
    }
    return v / 6.0;
}

double polygonArea(int n, double r) {
    return 0.5 * n * r * r * std::sin(2 * std::numbers::pi / n);
}

TEST(SolidBuilders, ClosedOutwardAndOfTheRightVolume) {
    struct solidCase {
        const char* name;
        void (*build)(meshObject&);
        std::size_t triangles;
        double volume;
    };
    const double cone8 = polygonArea(8, 0.1) * 0.3 / 3;
    const double a0 = polygonArea(12, 0.2);
    const double a1 = polygonArea(12, 0.1);
    const double frustum12 = 0.5 / 3 * (a0 + a1 + std::sqrt(a0 * a1));
    const solidCase cases[] = {
        {"box",
         [](meshObject& o) {
             addBox(o, 0, {-0.1, 0.2, 1.0}, {0.3, 0.5, 1.25});
         },
         12, 0.4 * 0.3 * 0.25},
        {"triangular prism given clockwise",
         [](meshObject& o) {
             addPrism(o, 0, {{0, 0, 0}, {0, 0, 1}, {0, 2, 0}}, {0.5, 0, 0});
         },
         8, 0.5},
        {"tilted quad prism",
         [](meshObject& o) {
             addPrism(o, 0, {{0, 0, 0}, {1, 0, 0}, {1, 1, 1}, {0, 1, 1}}, {0, -0.5, 0.5});
         },
         12, 1.0 * std::sqrt(2.0) * (0.5 * std::sqrt(2.0))},
        {"octagonal cone",
         [](meshObject& o) {
             addFrustum(o, 0, {{0, 0, 0}, {0, 0, 0.3}, {1, 0, 0}, 0.1, 0.0, 8, true, 1});
         },
         14, cone8},
        {"12-sided frustum about -y",
         [](meshObject& o) {
             addFrustum(o, 0, {{1, 2, 3}, {0, -0.5, 0}, {0, 0, 1}, 0.2, 0.1, 12, false, 0});
         },
         44, frustum12},
    };
    for (const solidCase& c : cases) {
        SCOPED_TRACE(c.name);
        meshObject obj;
        c.build(obj);
        EXPECT_EQ(obj.faces.size(), c.triangles);
        EXPECT_TRUE(closedAndConsistent(obj));
        EXPECT_NEAR(signedVolume(obj), c.volume, 1e-12);
    }
}

TEST(SolidBuilders, CirclePointsAreExact) {
    for (int count : {4, 8, 12, 16}) {
        for (int k = -count; k <= 2 * count; ++k) {
            for (bool half : {false, true}) {
                if (half && count > 8) {
                    continue; // 15 and 11.25 degrees have no exact form
                }
                SCOPED_TRACE(testing::Message() << k << "/" << count << (half ? " + half" : ""));
                const double angle = 2 * std::numbers::pi * (k + (half ? 0.5 : 0.0)) / count;
                const circlePoint p = onCircle(k, count, half);
                EXPECT_NEAR(p.c, std::cos(angle), 1e-14);
                EXPECT_NEAR(p.s, std::sin(angle), 1e-14);
            }
        }
    }
}

TEST(SolidBuilders, EverySampleObjectIsClosedAndWoundOutward) {
    for (const model& m : {makeArchi(), makeTable(), makeTree(), makeWindmill(), makeCrate()}) {
        for (const meshObject& obj : m.objects) {
            SCOPED_TRACE(m.name + "/" + obj.name);
            EXPECT_TRUE(closedAndConsistent(obj));
            EXPECT_GT(signedVolume(obj), 0.0);
        }
    }
}

TEST(SolidBuildersDeathTest, AnglesWithoutExactFormAbort) {
    EXPECT_DEATH(onCircle(1, 7), "not a whole number of half degrees");
    EXPECT_DEATH(onCircle(1, 36), "no exact form");
}

} // namespace
} // namespace zel::genModels
