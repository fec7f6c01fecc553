// The host's running side: the applications it made, the script that drives them, the dump.
#pragma once

#include "arrival.h"
#include "camera_control.h"
#include "history.h"
#include "script.h"

#include <zel/application.h>
#include <zel/share/shared_scene.h>
#include <zel/types.h>
#include <zel/world/world.h>
#include <zel/xstd.h>

#include <iosfwd>
#include <memory>
#include <vector>

namespace zel::host {

// The host's side of one application: keeps the profile it is given and hands out a search path
// whose only folder is the model folder.
class applicationHandle final : public application::iApplicationHandle {
public:
    explicit applicationHandle(const wstring& modelFolder);
    void setProfile(const application::profile& p) override;
    xstd::searchPath getSearchPath() const override;
    const application::profile& getProfile() const { return profile_; }

private:
    xstd::searchPath path_;
    application::profile profile_;
};

// The applications of one run, in launch order, each with its handle. Lifecycle calls go to every
// application still alive; "destroy" deletes them.
class session {
public:
    // The world must outlive the session.
    session(world::world& w, const wstring& modelFolder);
    // Deletes any application still alive without further lifecycle calls; call shutdown() first.
    ~session();
    session(const session&) = delete;
    session& operator=(const session&) = delete;

    // Takes ownership of app (made with new): onStart, then onActivate.
    void launch(application::iApplication* app);
    // Runs the commands in order; with a shared scene, what arrived from other sites is applied
    // before each command. A dump that cannot be written (exit status 2) or a share wait that runs
    // out (exit status 4) is reported on err and ends the run early: the result is then false and
    // failureCode() says which. A view move that finds nothing to act on (no model placed, or the
    // model rides on "head") leaves the camera and says why on err.
    bool run(const std::vector<command>& commands, std::ostream& err);
    int failureCode() const { return failureCode_; }
    // The shared scene the world is joined to, or null (it must outlive the session's runs).
    void setShare(share::sharedScene* s) {
        share_ = s;
        camera_.setShare(s);
    }
    // The site's arrival in the shared scene, updated after each pump (null: none).
    void setArrival(arrival* a) {
        arrival_ = a;
        camera_.setArrival(a);
    }
    // onDeactivate, onStop and delete for every live application, in launch order.
    void shutdown();

    std::size_t liveCount() const;
    // The view's shape, width / height, that "view frame" fits the model into.
    void setViewAspect(double aspect) { camera_.aspect = aspect; }
    // This site's undo history: each input command of a script is one step.
    editHistory& history() { return history_; }
    // The handle of the i-th launched application.
    const applicationHandle& getHandle(std::size_t i) const { return *apps_.at(i).handle; }

private:
    struct running {
        std::unique_ptr<applicationHandle> handle;
        application::iApplication* app = nullptr;
    };
    void lifecycle(void (application::iApplication::*op)(const application::applicationEvent&));
    void destroyAll();
    // Commands that deliver input: each is one step of the history.
    static bool isInput(commandKind k);
    void execute(const command& c);
    // False (the run ends) when a view move fails the script.
    bool moveCamera(const command& c, std::ostream& err);
    // What arrived from other sites applied, and the site's arrival looked after.
    void pump();

    world::world& world_;
    share::sharedScene* share_ = nullptr;
    arrival* arrival_ = nullptr;
    int failureCode_ = 0;
    wstring modelFolder_;
    cameraControl camera_;
    editHistory history_;
    std::vector<running> apps_;
};

} // namespace zel::host
