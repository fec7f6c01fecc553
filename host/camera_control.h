// The viewer's camera moves. The camera follows the navigator's "head" node, so every move here
// changes the matrix of "head" alone, relative to the navigator: the navigator, the attach points
// and the placed model keep theirs, and the package sees nothing different (a model attached at
// "head" rides along with the camera).
#pragma once

#include "placed_model.h"

#include <zel/render/input.h>
#include <zel/share/shared_scene.h>
#include <zel/world/world.h>

#include <cstdint>
#include <map>
#include <string>

namespace zel::world {
class sceneNode;
}

namespace zel::host {

class arrival;

// The moves, in the navigator's frame. They turn and move towards the placed model's bounding
// sphere; without a placed model they use a point a little ahead of the camera instead, and
// frame() does nothing.
class cameraControl {
public:
    // "head" as it is now is the home position.
    explicit cameraControl(world::world& w);

    // The view's shape, width / height, and vertical field of view in degrees (the renderer's).
    double aspect = 16.0 / 9.0;
    double fovY = 60.0;
    // The share of the view's smaller side that frame() gives to the bounding sphere.
    double frameShare = 0.8;

    // Why the last move did nothing, or empty when it moved the camera.
    const std::string& refusal() const { return refusal_; }

    // Keeps the camera's direction and moves it so that it looks at the sphere's centre from where
    // the sphere fills frameShare of the smaller side.
    bool frame();
    // "head" back to its home matrix and, in a shared scene, the navigator back on its arrival
    // spot.
    bool home();
    // The site's arrival in a shared scene (null: none; the navigator stays where it is).
    void setArrival(arrival* a) { arrival_ = a; }
    // The shared scene, for finding the other sites (null: none).
    void setShare(const share::sharedScene* s) { share_ = s; }

    // Turns the camera towards another site's avatar and its placed model and moves it so that
    // both fill frameShare of the view's smaller side: the first other site of that user.
    bool frameUser(const std::string& user);
    // The same for the next (step 1) or previous (step -1) other site, in site order after the
    // one framed last.
    bool frameNextSite(int step);
    // Turns the camera round the centre: dx degrees about the navigator's vertical axis (positive:
    // the camera goes to its right), dy about the camera's horizontal axis (positive: the camera
    // rises and looks down on the model). The camera stays upright: its elevation stops 1 degree
    // short of straight above and below.
    bool orbit(double dx, double dy);
    // Divides the camera's distance to the centre by factor (> 1 comes closer), keeping the
    // distance within 1 mm and 100 km.
    bool zoom(double factor);
    // Moves the camera across its view by dx, dy window pixels of a view height pixels high, so
    // that the centre's depth follows the pointer (positive dx moves the scene right, positive dy
    // down).
    bool pan(double dx, double dy, double height);

    const world::world& getWorld() const { return world_; }
    modelExtent measure() { return meter_.measure(world_); }

private:
    struct pivot {
        vec3 centre; // in the navigator's frame
        float radius = 0.0f;
        bool model = false; // false: a point ahead of the camera
    };
    bool findPivot(pivot& p);
    // Frames the other site's avatar and placed model.
    bool frameSite(const std::string& site);
    // Looks from where the camera is towards the sphere (world coordinates) and backs off until it
    // fills frameShare of the view.
    bool lookAtSphere(const vec3& centre, double radius);
    bool refuse(std::string why);

    world::world& world_;
    arrival* arrival_ = nullptr;
    const share::sharedScene* share_ = nullptr;
    std::string lastSite_; // the site framed last
    world::sceneNode* head_ = nullptr;
    matrix4 home_;
    modelMeter meter_;
    std::string refusal_;
};

// The viewer's input on its way to the world. While the package holds the mouse (it has a mouse
// observer: in axis mode XYZ with "v" held) the mouse goes to the world; otherwise the left drag
// orbits, the right drag and the wheel zoom, the middle drag pans. A drag belongs to whoever had
// it when its button went down. "f" or "F" frames, Home goes home, Tab and Shift+Tab frame the next
// and the previous other site; they never reach the package. Everything else goes on to `next`.
class cameraInput final : public render::inputSink {
public:
    cameraInput(cameraControl& camera, render::inputSink& next) : camera_(camera), next_(next) {}

    double orbitDegreesPerPixel = 0.25;
    double zoomPerPixel = 1.01; // right drag: this factor per pixel upwards
    double zoomPerNotch = 1.15; // wheel: this factor per notch away from the user
    int viewHeight = 720;       // pixels, for the pan

    void keyDown(unsigned int code) override;
    void keyRepeat(unsigned int code) override;
    void keyUp(unsigned int code) override;
    void viewerKeyDown(render::viewerKey key, bool repeat) override;
    void buttonEvent(render::mouseButton button, bool pressed, int x, int y) override;
    void mouseMove(int x, int y, render::mouseButton held) override;
    void wheel(int delta, bool horizontal) override;
    void entryText(std::uint64_t window, std::size_t child, const std::string& utf8) override {
        next_.entryText(window, child, utf8);
    }
    void entryEnter(std::uint64_t window, std::size_t child) override {
        next_.entryEnter(window, child);
    }
    void windowResized(std::uint64_t window, int width, int height) override {
        next_.windowResized(window, width, height);
    }

private:
    static bool isFrameKey(unsigned int code) { return code == 'f' || code == 'F'; }

    cameraControl& camera_;
    render::inputSink& next_;
    // Buttons whose press the camera took, with the pointer's last position.
    struct drag {
        int x = 0, y = 0;
    };
    std::map<render::mouseButton, drag> drags_;
};

} // namespace zel::host
