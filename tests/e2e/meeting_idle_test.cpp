// A view at rest in a shared scene: the viewer runs in this process (offscreen) on a world joined
// to a broker, another site (a zelhost process) stands still a while and then moves its model. The
// other site's presence keeps waking the view, which draws nothing until the edit arrives, and
// draws the edit in the turn that applies it.
#include "share_support.h"
#include "viewer.h"

#include <zel/share/shared_scene.h>
#include <zel/world/scene_node.h>
#include <zel/world/world.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <vector>

using namespace e2e;

namespace {

// The first mirror of that owner named "geomSink -> ...": the other site's placed model.
zel::world::sceneNode* mirroredModel(zel::world::world& w, const std::string& owner) {
    zel::world::sceneNode* found = nullptr;
    zel::world::walkGraph(w.getRoot(), [&](zel::sceneGraph::iSceneNode* n, int) {
        auto* node = dynamic_cast<zel::world::sceneNode*>(n);
        if (found || !node)
            return false;
        if (node->share().mirror && node->share().owner.rfind(owner + "-", 0) == 0 &&
            node->getName().rfind(u"geomSink -> ", 0) == 0)
            found = node;
        return true;
    });
    return found;
}

TEST(meetingIdle, aStillViewDrawsNothingWhileOthersArePresentAndDrawsTheirEditAtOnce) {
    broker b;
    ASSERT_TRUE(b.started());
    tempFolder tmp;
    zel::world::world w;
    w.registerServices();
    zel::share::shareOptions options;
    options.servers = {b.url()};
    options.user = "alice";
    std::ostringstream log;
    std::string why;
    auto shared = zel::share::sharedScene::join(w, options, log, why);
    ASSERT_TRUE(shared) << why;
    auto v = zel::host::viewer::openOffscreen(w, 640, 360);
    ASSERT_TRUE(v);
    v->setShare(shared.get());

    // Bob stands still for 6 s after both are there, then moves his model once.
    site bob(tmp.path(), "bob", b.url(),
             "share wait 2 60\nshare sync 30\nsleep 6\nkey x\nshare sync 30\nsleep 10\n");
    using clock = std::chrono::steady_clock;
    struct turn {
        std::uint64_t frames;
        bool model;
        zel::matrix4 matrix;
        clock::time_point at;
    };
    std::vector<turn> turns;
    const auto deadline = clock::now() + std::chrono::seconds(60);
    std::optional<zel::matrix4> first;
    v->run([&] {
        zel::world::sceneNode* model = mirroredModel(w, "bob");
        turns.push_back({v->framesDrawn(), model != nullptr,
                         model ? model->getMatrix() : zel::matrix4(), clock::now()});
        if (model && !first)
            first = model->getMatrix();
        const bool moved = first && !(model->getMatrix() == *first);
        // Two turns after the edit arrived, or time is up.
        return (moved && turns.size() >= 2 && turns[turns.size() - 2].model &&
                !(turns[turns.size() - 2].matrix == *first)) ||
               clock::now() > deadline;
    });
    // The turns while bob's model stood still, from the first in which it was there, then the
    // turn that brought the edit.
    std::size_t arrived = 0;
    while (arrived < turns.size() && !turns[arrived].model)
        ++arrived;
    ASSERT_LT(arrived, turns.size()) << "bob's model never arrived";
    std::size_t edit = arrived;
    while (edit < turns.size() && turns[edit].matrix == turns[arrived].matrix)
        ++edit;
    ASSERT_LT(edit, turns.size()) << "bob's edit never arrived";
    // The still part: from 2.5 s after bob's model came (his arrival on his spot and his mesh are
    // in by then) to his edit, 6 s after he saw alice.
    std::size_t from = arrived;
    while (from + 1 < edit && turns[from].at - turns[arrived].at < std::chrono::milliseconds(2500))
        ++from;
    std::size_t quiet = 0;
    for (std::size_t i = from + 1; i < edit; ++i)
        quiet += turns[i].frames == turns[i - 1].frames;
    EXPECT_GE(edit - from, 6u) << "bob's presence woke the view now and then";
    EXPECT_EQ(quiet, edit - from - 1) << "and each of those turns drew nothing";
    EXPECT_GT(turns[edit].frames, turns[edit - 1].frames) << "the edit was drawn in its turn";
    bob.kill9();
}

} // namespace
