// The viewer with the real package, offscreen: what the user types into the status window's entry
// reaches the package (through ImGui's input queue, as the window backend feeds it), keys go to the
// entry and not to the package while it has the focus, a disconnected window delivers nothing,
// resizing the window is reported, the viewer keys walk the navigator, the clock follows real
// time, Tab leaves the entry alone, F2 lists the sites, and this site's steps are undone and
// redone.
#include "dump.h"
#include "model_folder.h"
#include "packages.h"
#include "session.h"
#include "sites.h"
#include "viewer.h"

#include <zel/polymath.h>
#include <zel/world/scene_node.h>
#include <zel/world/widgets.h>
#include <zel/xstd.h>

#include <gtest/gtest.h>
#include <imgui.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace {

using namespace zel;
using render::viewerKey;

// ImGui 1.86 reads special keys through its key map; offscreen there is no keyboard, so the test
// names its own key numbers.
constexpr int enterKey = 300;
constexpr int endKey = 301;
constexpr int tabKey = 302;

class viewerWithPackage : public ::testing::Test {
protected:
    void SetUp() override {
        host::hostOptions options;
        options.packages = {"propplacer"};
        std::ostringstream err;
        w = std::make_unique<world::world>();
        w->registerServices();
        s = std::make_unique<host::session>(*w, host::modelFolderFor(options, err));
        record();
        const bool launched = host::launchPackages(options, *s, err);
        recorded(); // the start-up's lines
        ASSERT_TRUE(launched) << err.str();
        v = host::viewer::openOffscreen(*w, 1280, 720);
        ASSERT_TRUE(v);
        ImGuiIO& io = ImGui::GetIO();
        io.KeyMap[ImGuiKey_Enter] = enterKey;
        io.KeyMap[ImGuiKey_End] = endKey;
        io.KeyMap[ImGuiKey_Tab] = tabKey;
        draw();
    }
    void TearDown() override {
        if (!capturing)
            record();
        if (s)
            s->shutdown();
        v.reset();
        s.reset();
        w.reset();
        recorded();
    }

    // The package writes its trace on stdout, where GoogleTest reports failures too: record only
    // around the steps, never across an assertion.
    void record() {
        std::cout.flush();
        std::fflush(stdout);
        ::testing::internal::CaptureStdout();
        capturing = true;
    }
    std::string recorded() {
        std::cout.flush();
        std::fflush(stdout);
        capturing = false;
        return ::testing::internal::GetCapturedStdout();
    }

    void draw() { v->getScreen().drawFrame(v->buildFrame()); }

    void run(const std::string& text) {
        auto parsed = host::parseScript(text, "test");
        ASSERT_TRUE(parsed.ok) << parsed.error;
        std::ostringstream err;
        ASSERT_TRUE(s->run(parsed.commands, err)) << err.str();
    }

    world::windowFrame* status() { return w->getEntryWindow(); }
    // The status window's label: the package's axis mode, file, attach point, ...
    std::string entryWindowText() {
        for (const auto& c : status()->getChildren())
            if (c.kind == world::widgetKind::label)
                return xstd::toUtf8(c.text);
        return {};
    }
    std::string entryText() {
        for (const auto& c : status()->getChildren())
            if (c.kind == world::widgetKind::entry)
                return xstd::toUtf8(c.text);
        return {};
    }

    // Window pixels of a point of the status window's content area: the view puts the first window
    // at (12, 12) under a title bar one font line plus frame padding high.
    ImVec2 contentPoint(int x, int y) {
        const ImGuiStyle& style = ImGui::GetStyle();
        const float title = ImGui::GetFontSize() + 2 * style.FramePadding.y;
        return ImVec2(12 + style.WindowPadding.x + float(x),
                      12 + title + style.WindowPadding.y + float(y));
    }
    // The pointer arrives, presses in the next frame and lets go in the one after.
    void click(ImVec2 at) {
        ImGuiIO& io = ImGui::GetIO();
        io.MousePos = at;
        draw();
        io.MouseDown[0] = true;
        draw();
        io.MouseDown[0] = false;
        draw();
    }
    void clickEntry() {
        const render::frame f = v->buildFrame();
        ASSERT_EQ(f.windows.size(), 1u);
        ASSERT_EQ(f.windows[0].children.size(), 2u);
        const render::uiElement& entry = f.windows[0].children[1];
        ASSERT_EQ(entry.type, render::uiElement::kind::entry);
        click(contentPoint(entry.x + 20, entry.y + entry.h / 2));
    }
    void tapKey(int key) {
        ImGuiIO& io = ImGui::GetIO();
        io.KeysDown[key] = true;
        draw();
        io.KeysDown[key] = false;
        draw();
    }
    vec3 translationOf(sceneGraph::iSceneNode* node) {
        polyMath::point3Xform p;
        node->getXform(p);
        return p.getData();
    }

    std::unique_ptr<world::world> w;
    std::unique_ptr<host::session> s;
    std::unique_ptr<host::viewer> v;
    bool capturing = false;
};

const std::string onText = "|---> In onText() \n";

TEST_F(viewerWithPackage, typedCharactersChangeTheEntryOnceEachAndEnterSendsIt) {
    const std::string before = entryText();
    ASSERT_FALSE(before.empty());
    clickEntry();
    ASSERT_TRUE(v->getScreen().entryHasFocus());
    tapKey(endKey);
    ImGuiIO& io = ImGui::GetIO();
    record();
    io.AddInputCharacter('/');
    draw();
    io.AddInputCharacterUTF16(0x00E9); // e acute
    draw();
    draw(); // nothing typed: nothing sent
    const std::string typed = recorded();
    EXPECT_EQ(typed, onText + onText);
    EXPECT_EQ(entryText(), before + "/\xC3\xA9");
    record();
    tapKey(enterKey);
    EXPECT_EQ(recorded(), "|--> In onEntry(): enter key pressed \n|    " + before + "/\xC3\xA9\n");
}

TEST_F(viewerWithPackage, keysGoToTheEntryWhileItHasTheFocusAndToThePackageOtherwise) {
    render::inputSink& in = v->getScreen().input();
    sceneGraph::iSceneNode* model = host::findPlacedModel(*w);
    ASSERT_NE(model, nullptr);

    clickEntry();
    ASSERT_TRUE(v->getScreen().entryHasFocus());
    record();
    in.keyDown('x');
    in.keyUp('x');
    draw();
    std::string out = recorded();
    EXPECT_FLOAT_EQ(translationOf(model)[0], 0.0f) << "x went to the entry";

    record();
    click(ImVec2(900, 400)); // into the scene: the entry lets go
    const bool focused = v->getScreen().entryHasFocus();
    in.keyDown('x');
    in.keyUp('x');
    out += recorded();
    EXPECT_FALSE(focused);
    EXPECT_FLOAT_EQ(translationOf(model)[0], 0.25f);
    EXPECT_EQ(out, "") << "neither typing in the entry, nor the click, nor x writes a line";
}

// Tab is the viewer's key (the next site): pressed over the status window, it does not put the
// entry into focus.
TEST_F(viewerWithPackage, tabLeavesTheEntryAlone) {
    click(contentPoint(10, 10)); // into the status window, on its label
    ASSERT_FALSE(v->getScreen().entryHasFocus());
    tapKey(tabKey);
    draw();
    EXPECT_FALSE(v->getScreen().entryHasFocus());
}

TEST_F(viewerWithPackage, disconnectedWindowDeliversNoEntryEvents) {
    record();
    run("deactivate\n");
    recorded();
    clickEntry();
    record();
    ImGui::GetIO().AddInputCharacter('q');
    draw();
    tapKey(enterKey);
    EXPECT_EQ(recorded(), "");

    record();
    run("activate\n");
    recorded();
    clickEntry(); // Enter let go of the entry
    record();
    ImGui::GetIO().AddInputCharacter('r');
    draw();
    EXPECT_EQ(recorded(), onText);
}

TEST_F(viewerWithPackage, resizingTheStatusWindowIsReported) {
    const world::packSize before = status()->getSize();
    const ImGuiStyle& style = ImGui::GetStyle();
    // The bottom-right corner of the window, just inside its resize grip.
    const ImVec2 corner = contentPoint(before.width, before.height);
    const ImVec2 grip(corner.x + style.WindowPadding.x - 3, corner.y + style.WindowPadding.y - 3);
    ImGuiIO& io = ImGui::GetIO();
    io.MousePos = grip;
    draw();
    io.MouseDown[0] = true;
    draw();
    record();
    io.MousePos = ImVec2(grip.x + 40, grip.y + 30);
    draw();
    io.MouseDown[0] = false;
    draw();
    draw();
    const std::string out = recorded();
    const world::packSize after = status()->getSize();
    EXPECT_EQ(after.width, before.width + 40);
    EXPECT_EQ(after.height, before.height + 30);
    EXPECT_NE(out.find("|--> In onViewableBounds(): vKivra Status window changed size\n"),
              std::string::npos)
        << out;
}

TEST_F(viewerWithPackage, viewerKeysWalkTheNavigatorAndTheTabletopComesAlong) {
    render::inputSink& in = v->getScreen().input();
    const render::frame f0 = v->buildFrame();
    record();
    in.viewerKeyDown(viewerKey::up, false);
    in.viewerKeyDown(viewerKey::up, true);
    in.viewerKeyDown(viewerKey::pageUp, false);
    EXPECT_EQ(recorded(), "");
    const vec3 at = translationOf(w->getNavigatorNode());
    EXPECT_NEAR(at[0], 0.0f, 1e-6f);
    EXPECT_NEAR(at[1], 1.7f, 1e-5f);
    EXPECT_NEAR(at[2], -0.2f, 1e-5f);

    const render::frame f1 = v->buildFrame();
    EXPECT_NEAR(f1.view.world[14] - f0.view.world[14], -0.2f, 1e-5f);
    // Everything under the navigator moved with it; the ground did not.
    ASSERT_EQ(f0.items.size(), f1.items.size());
    std::size_t moved = 0, still = 0;
    for (std::size_t i = 0; i < f0.items.size(); ++i) {
        const float dz = f1.items[i].world[14] - f0.items[i].world[14];
        const float dy = f1.items[i].world[13] - f0.items[i].world[13];
        if (std::fabs(dz + 0.2f) < 1e-4f && std::fabs(dy - 0.1f) < 1e-4f)
            ++moved;
        else if (dz == 0 && dy == 0)
            ++still;
    }
    EXPECT_EQ(still, 1u) << "the ground";
    EXPECT_EQ(moved, f0.items.size() - 1);
    EXPECT_EQ(f1.hud, f0.hud) << "the model did not move on its tabletop";
}

TEST_F(viewerWithPackage, meshesOfModelsThatLeftTheGraphLeaveTheGpu) {
    auto next = [&] {
        record();
        run("key >\n");
        recorded();
        draw();
        return v->getScreen().scene().stats();
    };
    const render::rendererStats first = next();
    ASSERT_GT(first.meshes, 1u) << "the ground and a model";
    // Once round the catalogue of five sample files, back to the same model: each file's meshes
    // came and went.
    for (int i = 0; i < 4; ++i)
        EXPECT_LE(next().meshes, first.meshes + 8) << "file " << i + 2;
    const render::rendererStats again = next();
    EXPECT_EQ(again.meshes, first.meshes);
    EXPECT_GT(again.uploads, first.uploads);
}

TEST_F(viewerWithPackage, runAdvancesTheClockWithRealTimeAndEscapeEndsIt) {
    using clock = std::chrono::steady_clock;
    const double t0 = w->getTime();
    const auto start = clock::now();
    v->run([&] { return clock::now() - start > std::chrono::milliseconds(300); });
    const double elapsed = std::chrono::duration<double>(clock::now() - start).count();
    EXPECT_GE(w->getTime() - t0, 0.25);
    EXPECT_LE(w->getTime() - t0, elapsed + 1e-6);

    v->getScreen().input().viewerKeyDown(viewerKey::escape, false);
    v->run(); // returns at once: the view is closed
    EXPECT_FALSE(v->getScreen().isOpen());
}

} // namespace

namespace {

// The dump's "steps": the steps that can be undone and redone.
std::pair<int, int> historyCounts(world::world& w, host::editHistory& h) {
    const std::string file = ::testing::TempDir() + "history-dump.json";
    std::ostringstream err;
    EXPECT_TRUE(host::writeDump(w, file, err, &h)) << err.str();
    std::ifstream in(file);
    const nlohmann::json d = nlohmann::json::parse(in, nullptr, false);
    std::remove(file.c_str());
    if (d.is_discarded() || !d.contains("steps"))
        return {-1, -1};
    return {d["steps"]["undo"].get<int>(), d["steps"]["redo"].get<int>()};
}

quat rotationOf(sceneGraph::iSceneNode* node) {
    polyMath::quatXform q;
    node->getXform(q);
    return q.getData();
}

void expectSameRotation(const quat& a, const quat& b, const char* what) {
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_NEAR(a[i], b[i], 1e-5f) << what << ", element " << i;
}

} // namespace

TEST_F(viewerWithPackage, undoAndRedoTakeBackKeyStepsAndTheResetAndTheDumpCountsThem) {
    sceneGraph::iSceneNode* model = host::findPlacedModel(*w);
    ASSERT_NE(model, nullptr);
    host::editHistory& h = s->history();
    record();
    run("key x\nkey x\n");
    run("undo\n");
    const float afterUndo = translationOf(model)[0];
    const auto counts = historyCounts(*w, h);
    run("key n\n"); // back to the load-time transform: a step like any other, and no redo left
    const float afterReset = translationOf(model)[0];
    const auto afterResetCounts = historyCounts(*w, h);
    run("undo\n");
    const float resetUndone = translationOf(model)[0];
    run("redo\nundo\nundo\n");
    const float allUndone = translationOf(model)[0];
    std::ostringstream err;
    const auto parsed = host::parseScript("undo\nredo\nredo\nredo\n", "steps");
    const bool ran = s->run(parsed.commands, err);
    EXPECT_EQ(recorded(), "") << "undo and redo are not the package's";
    EXPECT_FLOAT_EQ(afterUndo, 0.25f);
    EXPECT_EQ(counts, std::make_pair(1, 1));
    EXPECT_FLOAT_EQ(afterReset, 0.0f);
    EXPECT_EQ(afterResetCounts, std::make_pair(2, 0));
    EXPECT_FLOAT_EQ(resetUndone, 0.25f);
    EXPECT_FLOAT_EQ(allUndone, 0.0f);
    EXPECT_TRUE(ran) << "nothing to undo stops no script";
    EXPECT_EQ(err.str(), "zelhost: line 1: undo: nothing to undo\n"
                         "zelhost: line 4: redo: nothing to redo\n");
    EXPECT_FLOAT_EQ(translationOf(model)[0], 0.0f) << "two steps redone: x, then the reset";
    EXPECT_EQ(historyCounts(*w, h), std::make_pair(2, 0));

    // Attached at the camera's own "head" the model is still this site's to undo.
    record();
    run("key .\nkey x\n");
    const float atHead = translationOf(model)[0];
    run("undo\n");
    recorded();
    EXPECT_FLOAT_EQ(atHead, 0.25f);
    EXPECT_FLOAT_EQ(translationOf(model)[0], 0.0f);
}

TEST_F(viewerWithPackage, theHistoryKeepsTheNewest256StepsAndForgetsAModelThatLeft) {
    sceneGraph::iSceneNode* model = host::findPlacedModel(*w);
    ASSERT_NE(model, nullptr);
    host::editHistory& h = s->history();
    std::string steps;
    for (int i = 0; i < 300; ++i)
        steps += "key x\n";
    record();
    run(steps);
    std::string undos;
    for (int i = 0; i < 256; ++i)
        undos += "undo\n";
    run(undos);
    recorded();
    EXPECT_EQ(historyCounts(*w, h), std::make_pair(0, 256));
    EXPECT_NEAR(translationOf(model)[0], 44 * 0.25f, 1e-3f) << "the oldest 44 steps are gone";

    record();
    run("redo\nkey >\n"); // the next model replaces this one: its steps go with it
    recorded();
    EXPECT_EQ(historyCounts(*w, h), std::make_pair(0, 0));
}

TEST_F(viewerWithPackage, aTrackballDragIsOneStepAndUndoReachesNoPackageObserver) {
    v->setHistory(&s->history());
    render::inputSink& in = v->getScreen().input();
    sceneGraph::iSceneNode* model = host::findPlacedModel(*w);
    ASSERT_NE(model, nullptr);
    record();
    run("key z\nkey z\nkey z\n"); // axis mode XYZ: with v held the mouse turns the model
    const std::string label = entryWindowText();
    const quat before = rotationOf(model);
    in.keyDown('v');
    in.buttonEvent(render::mouseButton::left, true, 600, 400);
    for (int i = 1; i <= 5; ++i)
        in.mouseMove(600 + 8 * i, 400 + 3 * i, render::mouseButton::left);
    in.buttonEvent(render::mouseButton::left, false, 640, 415);
    in.keyUp('v');
    recorded();
    const quat after = rotationOf(model);
    ASSERT_GT(std::fabs(after[0] - before[0]) + std::fabs(after[1] - before[1]), 1e-3f)
        << "the drag turned the model";
    EXPECT_EQ(historyCounts(*w, s->history()), std::make_pair(1, 0));

    record();
    in.viewerKeyDown(viewerKey::undo, false);
    draw();
    const std::string undone = recorded();
    expectSameRotation(rotationOf(model), before, "undone");
    EXPECT_EQ(undone, "");
    EXPECT_EQ(entryWindowText(), label) << "the package's status did not change";
    in.viewerKeyDown(viewerKey::redo, false);
    expectSameRotation(rotationOf(model), after, "redone");
}

TEST_F(viewerWithPackage, f2ListsTheSitesPresentEachInItsUsersColour) {
    render::frame f = v->buildFrame();
    f.shared = true;
    f.sites = {{"alice", host::userColour("alice"), true}, {"bob", host::userColour("bob"), false}};
    // Pixels of exactly a user's colour (its swatch) in the view's top right quarter.
    auto swatch = [&](const render::image& shot, const std::string& user) {
        const std::array<float, 4> c = host::userColour(user);
        long n = 0;
        for (int y = 0; y < shot.height / 4; ++y)
            for (int x = shot.width * 3 / 4; x < shot.width; ++x) {
                const std::uint8_t* p = shot.pixel(x, y);
                bool same = true;
                for (int k = 0; k < 3; ++k)
                    same = same && std::abs(int(p[k]) - int(std::lround(c[k] * 255))) <= 2;
                n += same;
            }
        return n;
    };
    const render::image hidden = v->getScreen().capture(f);
    render::inputSink& in = v->getScreen().input();
    in.viewerKeyDown(viewerKey::f2, false);
    EXPECT_TRUE(v->getScreen().sitesShown());
    const render::image shown = v->getScreen().capture(f);
    EXPECT_EQ(swatch(hidden, "bob"), 0);
    EXPECT_GT(swatch(shown, "alice"), 30);
    EXPECT_GT(swatch(shown, "bob"), 30);
    in.viewerKeyDown(viewerKey::f2, false);
    EXPECT_FALSE(v->getScreen().sitesShown());
}
