// The viewer's camera moves on a world holding the corpus's 1 m cube where the package puts its
// models: only "head" moves, framing fits the bounding sphere to the view, orbit and zoom keep
// the distance and direction they promise, and the window's mouse turns the camera only while the
// package does not hold the mouse.
#include "camera_control.h"

#include <zel/polymath.h>
#include <zel/world/scene_node.h>
#include <zel/xstd.h>

#include <gtest/gtest.h>

#include "corpus.h"

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace zel;
using namespace zel::host;

constexpr double pi = 3.14159265358979323846;

double distance(const vec3& a, const vec3& b) {
    return std::hypot(double(a[0] - b[0]), double(a[1] - b[1]), double(a[2] - b[2]));
}

class camera : public ::testing::Test {
protected:
    void SetUp() override {
        ZEL_NEEDS_CORPUS();
        nav = dynamic_cast<world::sceneNode*>(w.getNavigatorNode());
        head = dynamic_cast<world::sceneNode*>(w.findNode(u"head"));
        tabletop =
            dynamic_cast<world::sceneNode*>(w.getSceneContext()->getNodeFactory()->createNode());
        tabletop->setName(u"tabletop");
        matrix4 place;
        place.setTranslate(vec3(0.75f, -1.0f, -2.1f));
        tabletop->setMatrix(place);
        nav->addChild(tabletop);
        const auto file =
            std::filesystem::path(ZEL_CORPUS_DIR) / "online3dviewer" / "cube_with_materials.3ds";
        model = w.getReader()->readFile(xstd::fromUtf8(file.string()));
        ASSERT_NE(model, nullptr);
        model->setName(u"geomSink -> archi.3ds");
        tabletop->insertChild(model, 0);
        control = std::make_unique<cameraControl>(w);
        const modelExtent e = control->measure();
        ASSERT_TRUE(e.hasVertices);
        centre = e.centre; // the navigator stands unturned: its frame is the scene's, moved
        centre[1] -= 1.6f;
        radius = e.radius;
    }
    vec3 eye() const { return head->getMatrix().getTranslate(); }
    // Where the camera looks, as a unit vector.
    vec3 forward() const {
        const matrix4& m = head->getMatrix();
        const double l = std::hypot(double(m(2, 0)), double(m(2, 1)), double(m(2, 2)));
        return vec3(float(-m(2, 0) / l), float(-m(2, 1) / l), float(-m(2, 2) / l));
    }
    // The angle in degrees between the view direction and the way to the centre.
    double offAxis() const {
        const vec3 e = eye(), f = forward();
        const double d = distance(e, centre);
        double c = 0;
        for (std::size_t i = 0; i < 3; ++i)
            c += f[i] * (centre[i] - e[i]) / d;
        return std::acos(std::min(1.0, c)) * 180.0 / pi;
    }
    void expectOthersUnchanged() {
        EXPECT_EQ(nav->getMatrix(), navigatorHome);
        EXPECT_EQ(tabletop->getMatrix(), tabletopHome);
        polyMath::matrix4Xform m;
        model->getXform(m);
        EXPECT_EQ(m.getData(), modelHome);
    }

    world::world w;
    world::sceneNode* nav = nullptr;
    world::sceneNode* head = nullptr;
    world::sceneNode* tabletop = nullptr;
    sceneGraph::iSceneNode* model = nullptr;
    std::unique_ptr<cameraControl> control;
    vec3 centre;
    double radius = 0;
    matrix4 navigatorHome = matrix4(), tabletopHome, modelHome;
};

TEST_F(camera, framesOrbitsZoomsAndGoesHomeMovingOnlyTheHead) {
    navigatorHome = nav->getMatrix();
    tabletopHome = tabletop->getMatrix();
    polyMath::matrix4Xform m;
    model->getXform(m);
    modelHome = m.getData();
    EXPECT_NEAR(radius, std::sqrt(3.0) / 2.0, 1e-4);

    // 16:9 with 60 degrees vertically: the height is the smaller side; the sphere's outline spans
    // 80 % of its half-angle's tangent.
    ASSERT_TRUE(control->frame());
    const double framed = radius / std::sin(std::atan(0.8 * std::tan(pi / 6)));
    EXPECT_NEAR(distance(eye(), centre), framed, 1e-3);
    EXPECT_LT(offAxis(), 0.01);
    // A tall narrow view fits the width instead.
    control->aspect = 0.5;
    ASSERT_TRUE(control->frame());
    const double halfWidth = std::atan(0.5 * std::tan(pi / 6));
    EXPECT_NEAR(distance(eye(), centre), radius / std::sin(std::atan(0.8 * std::tan(halfWidth))),
                1e-3);
    control->aspect = 16.0 / 9.0;
    ASSERT_TRUE(control->frame());

    // Half a turn round: the same distance, from the other side, still looking at the centre.
    const vec3 before = eye();
    ASSERT_TRUE(control->orbit(180, 0));
    EXPECT_NEAR(distance(eye(), centre), framed, 1e-3);
    for (std::size_t i : {0u, 2u})
        EXPECT_NEAR(eye()[i] - centre[i], centre[i] - before[i], 1e-3) << "axis " << i;
    EXPECT_NEAR(eye()[1], before[1], 1e-3);
    EXPECT_LT(offAxis(), 0.01);

    // Up by 30 degrees looks down on it; past the top the camera stops short of overhead.
    ASSERT_TRUE(control->orbit(0, 30));
    EXPECT_NEAR(std::asin((eye()[1] - centre[1]) / framed) * 180 / pi, 30.0, 0.01);
    ASSERT_TRUE(control->orbit(0, 100));
    EXPECT_NEAR(std::asin((eye()[1] - centre[1]) / framed) * 180 / pi, 89.0, 0.01);
    EXPECT_NEAR(head->getMatrix()(0, 1), 0.0f, 1e-5f) << "the horizon stays level";
    EXPECT_LT(offAxis(), 0.01);

    ASSERT_TRUE(control->zoom(2));
    EXPECT_NEAR(distance(eye(), centre), framed / 2, 1e-3);
    EXPECT_FALSE(control->zoom(0));
    EXPECT_FALSE(control->zoom(std::nan("")));
    EXPECT_NEAR(distance(eye(), centre), framed / 2, 1e-3);

    // A pan by half the view's height moves the camera by half the visible height at the centre.
    const vec3 panned = eye();
    ASSERT_TRUE(control->pan(0, 360, 720));
    EXPECT_NEAR(distance(eye(), panned), framed / 2 * std::tan(pi / 6), 1e-3);

    expectOthersUnchanged();
    ASSERT_TRUE(control->home());
    EXPECT_EQ(head->getMatrix(), matrix4());
}

// What reaches the world past the camera.
struct recordingSink : render::inputSink {
    std::vector<std::string> events;
    void keyDown(unsigned int code) override { events.push_back("down " + std::to_string(code)); }
    void keyUp(unsigned int code) override { events.push_back("up " + std::to_string(code)); }
    void viewerKeyDown(render::viewerKey, bool) override { events.push_back("viewer key"); }
    void buttonEvent(render::mouseButton, bool pressed, int, int) override {
        events.push_back(pressed ? "press" : "release");
    }
    void mouseMove(int, int, render::mouseButton) override { events.push_back("move"); }
    void wheel(int, bool) override { events.push_back("wheel"); }
};

struct holdingObserver : sceneGraph::iMouseObserver {};

TEST_F(camera, mouseTurnsTheCameraOnlyWhileThePackageDoesNotHoldIt) {
    recordingSink next;
    cameraInput input(*control, next);
    using render::mouseButton;

    // Free mouse: the drag and the wheel are the camera's; nothing passes on.
    input.buttonEvent(mouseButton::left, true, 600, 300);
    input.mouseMove(640, 300, mouseButton::left);
    input.buttonEvent(mouseButton::left, false, 640, 300);
    EXPECT_TRUE(next.events.empty());
    EXPECT_NE(head->getMatrix(), matrix4()) << "the left drag turned the camera";
    const double before = distance(eye(), centre);
    input.wheel(120, false);
    EXPECT_NEAR(distance(eye(), centre), before / 1.15, 1e-3);
    // f frames and Home goes home, neither passing on; other keys do.
    input.keyDown('f');
    input.keyUp('f');
    EXPECT_LT(offAxis(), 0.01);
    input.viewerKeyDown(render::viewerKey::home, false);
    EXPECT_EQ(head->getMatrix(), matrix4());
    input.keyDown('x');
    input.viewerKeyDown(render::viewerKey::up, false);
    EXPECT_EQ(next.events, (std::vector<std::string>{"down 120", "viewer key"}));

    // The package holds the mouse: everything passes on and the camera stays.
    next.events.clear();
    holdingObserver holder;
    sceneGraph::iMouseSource* mouse = w.getClientContext()->getView()->getMouseSource();
    mouse->addMouseObserver(&holder);
    input.buttonEvent(mouseButton::left, true, 600, 300);
    input.mouseMove(640, 300, mouseButton::left);
    // Letting go of v mid-drag does not hand the drag to the camera.
    mouse->removeMouseObserver(&holder);
    input.mouseMove(680, 300, mouseButton::left);
    input.buttonEvent(mouseButton::left, false, 680, 300);
    mouse->addMouseObserver(&holder);
    input.wheel(120, false);
    mouse->removeMouseObserver(&holder);
    EXPECT_EQ(next.events, (std::vector<std::string>{"press", "move", "move", "release", "wheel"}));
    EXPECT_EQ(head->getMatrix(), matrix4());
}

} // namespace
