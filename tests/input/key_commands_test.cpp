// Key commands: every listed character of each handler, decoding, ring steps, status refresh and
// the start and end of the mouse trackball.
#include "input_fixture.h"

namespace {

using rec::inputTest;
using zel::wstring;

using handler = void (rec::appTest::*)(unsigned int);

// What one model key does in one axis mode, as the model node sees it.
struct modelKeyCase {
    char key;
    wstring mode;
    rec::journal expected;
    int turnAxis; // -1: no turn
    float turnDegrees;
};

const std::string down11 = rec::num(1.0f / 1.1f);

const std::vector<modelKeyCase> modelKeys = {
    {'x', u"Y", {"applyXform point(0,0.25,0)"}, -1, 0},
    {'X', u"Y", {"applyXform point(0,-0.25,0)"}, -1, 0},
    {'c', u"Y", {"applyXform scale(1,1.1,1)"}, -1, 0},
    {'C', u"Y", {"applyXform scale(1," + down11 + ",1)"}, -1, 0},
    {'v', u"Y", {"getXform matrix", "setXform matrix"}, 1, 5},
    {'V', u"Y", {"getXform matrix", "setXform matrix"}, 1, -5},
    {'x', u"X", {"applyXform point(0.25,0,0)"}, -1, 0},
    {'V', u"Z", {"getXform matrix", "setXform matrix"}, 2, -5},
    {'c', u"XYZ", {"applyXform scale(1.1,1.1,1.1)"}, -1, 0},
    {'C', u"XYZ", {"applyXform scale(" + down11 + "," + down11 + "," + down11 + ")"}, -1, 0},
    {'x', u"XYZ", {}, -1, 0},
    {'X', u"XYZ", {}, -1, 0},
    {'V', u"XYZ", {}, -1, 0},
};

void checkModelKeys(rec::inputTest& t, rec::placerProbe& app, rec::world& w, rec::node* model,
                    handler h, const char* handlerName) {
    for (const modelKeyCase& c : modelKeys) {
        SCOPED_TRACE(std::string(handlerName) + " '" + c.key + "' in " + zel::xstd::toUtf8(c.mode));
        while (app.axisRing.current() != c.mode)
            app.axisRing.next();
        model->matrix = zel::matrix4();
        model->setMatrices.clear();
        w.log.clear();
        (t.*h)(static_cast<unsigned char>(c.key));
        EXPECT_EQ(w.log, c.expected);
        if (c.turnAxis >= 0) {
            ASSERT_EQ(model->setMatrices.size(), 1u);
            zel::vec3 euler;
            euler[static_cast<std::size_t>(c.turnAxis)] = c.turnDegrees;
            zel::matrix4 expected;
            expected.setEuler(euler);
            EXPECT_EQ(model->setMatrices[0], expected);
        }
    }
}

class keyTest : public inputTest {
public:
    using appTest::down;
    using appTest::press;
    using appTest::up;
};

TEST_F(keyTest, modelKeysActOnTheChosenAxisInPressAndDown) {
    checkModelKeys(*this, *app, w, model, &keyTest::press, "onKeyPress");
    checkModelKeys(*this, *app, w, model, &keyTest::down, "onKeyDown");
}

TEST_F(keyTest, lowerVRotatesOnPressOutsideXyzAndNeverInIt) {
    toAxis(u"XYZ");
    press('v');
    EXPECT_TRUE(w.log.empty());
    EXPECT_TRUE(w.mouse.observers.empty()) << "only the key-down starts the trackball";
    toAxis(u"Z");
    press('v');
    EXPECT_EQ(w.log, (rec::journal{"getXform matrix", "setXform matrix"}));
}

TEST_F(keyTest, charactersAHandlerDoesNotListAreIgnored) {
    const std::vector<std::tuple<const char*, handler, std::string>> handlers = {
        {"onKeyPress", &keyTest::press, "xXcCvV"},
        {"onKeyDown", &keyTest::down, ",.<>?CVXZbcnvxz"},
        {"onKeyUp", &keyTest::up, ",.<>Zbzv"},
    };
    const wstring text = label->getText();
    for (const auto& [name, h, listed] : handlers) {
        SCOPED_TRACE(name);
        rec::captureStdout out;
        for (unsigned int code = 0; code < 0x400; ++code) {
            if (listed.find(static_cast<char>(code & 0xFF)) != std::string::npos)
                continue;
            (this->*h)(code);
        }
        EXPECT_TRUE(w.log.empty()) << w.log.front();
        EXPECT_EQ(out.text(), "");
        EXPECT_EQ(app->axisRing.currentIndex(), 0);
        EXPECT_EQ(app->animRing.currentIndex(), 0);
        EXPECT_EQ(app->switchRing.currentIndex(), 0);
        EXPECT_EQ(app->geomFileRing.currentIndex(), 0);
        EXPECT_EQ(app->attachRing.currentIndex(), 0);
        EXPECT_EQ(label->texts.size(), 1u);
    }
}

TEST_F(keyTest, onlyTheLowEightBitsOfTheKeyCodeCount) {
    down(0x178); // 'x'
    EXPECT_EQ(w.log, rec::journal{"applyXform point(0.25,0,0)"});
    down(0xFFFFFF7Au); // 'z'
    EXPECT_EQ(app->axisRing.current(), u"Y");
    up(0x27A);
    EXPECT_EQ(label->texts.size(), 2u);
}

TEST_F(keyTest, axisKeysStepTheAxisRingBothWays) {
    const std::vector<wstring> forward = {u"Y", u"Z", u"XYZ", u"X"};
    for (const wstring& mode : forward) {
        down('z');
        EXPECT_EQ(app->axisRing.current(), mode);
    }
    down('Z');
    EXPECT_EQ(app->axisRing.current(), u"XYZ");
    EXPECT_TRUE(w.log.empty());
}

TEST_F(keyTest, animationKeyAlternatesAndHandsTheNewPositionToTheHolder) {
    down('b');
    EXPECT_EQ(app->animRing.current(), u"ON");
    down('b');
    EXPECT_EQ(app->animRing.current(), u"OFF");
    down('b');
    EXPECT_EQ(w.log, (rec::journal{"startAnim(registryAnim,0)", "stopAnim(registryAnim)",
                                   "startAnim(registryAnim,0)"}));
}

TEST_F(keyTest, switchKeyStepsTheSpareRingOnly) {
    down('?');
    EXPECT_EQ(app->switchRing.current(), u"ON");
    down('?');
    EXPECT_EQ(app->switchRing.current(), u"OFF");
    EXPECT_TRUE(w.log.empty());
    up('?');
    EXPECT_EQ(label->texts.size(), 1u);
}

TEST_F(keyTest, geometryKeysWrapAroundTheCatalogueAndReplaceTheModel) {
    const std::vector<std::pair<char, const char*>> steps = {
        {'>', "b.3ds"}, {'>', "c.3ds"}, {'>', "a.3ds"}, {'<', "c.3ds"}, {'<', "b.3ds"}};
    rec::node* tabletop = w.findAll(w.navigatorNode, u"tabletop").at(0);
    for (const auto& [key, file] : steps) {
        SCOPED_TRACE(std::string(1, key) + " to " + file);
        w.log.clear();
        rec::captureStdout out;
        down(static_cast<unsigned char>(key));
        EXPECT_EQ(out.text(), "|> in loadGeom\n");
        EXPECT_EQ(rec::filterPrefix(w.log, "readFile"),
                  rec::journal{std::string("readFile(") + file + ")"});
        EXPECT_EQ(tabletop->getNumChildren(), 1);
        EXPECT_EQ(tabletop->getChild(0)->getName(),
                  propplacer::modelNamePrefix + zel::xstd::fromUtf8(file));
        EXPECT_EQ(app->geomFileRing.current(), zel::xstd::fromUtf8(file));
    }
}

TEST_F(keyTest, attachKeysStepTheRingAndMoveTheModel) {
    // The ring holds tabletop, head, wand and tabletop again.
    down(',');
    EXPECT_EQ(app->attachRing.currentIndex(), 3);
    EXPECT_EQ(model->getName(), u"geomSink -> archi.3ds");
    down(',');
    EXPECT_EQ(app->attachRing.current(), w.wand);
    EXPECT_EQ(w.wand->getChild(0), model);
    down('.');
    down('.');
    down('.');
    EXPECT_EQ(app->attachRing.current(), w.head);
    EXPECT_EQ(w.head->getChild(0), model);
    EXPECT_EQ(w.wand->getNumChildren(), 0);
}

TEST_F(keyTest, resetKeyRebuildsTheHomeTransform) {
    down('x');
    w.log.clear();
    down('n');
    EXPECT_EQ(w.log, (rec::journal{"setXform quat(0,0,0,1)", "applyXform scale(1,1,1)",
                                   "applyXform point(0,0,0)"}));
    EXPECT_EQ(model->matrix, zel::matrix4());
}

TEST_F(keyTest, releasingARingKeyRefreshesTheStatusLabel) {
    struct refreshCase {
        char key;
        bool refreshes;
    };
    const std::vector<refreshCase> cases = {
        {',', true},  {'.', true},  {'<', true},  {'>', true},  {'Z', true},
        {'b', true},  {'z', true},  {'x', false}, {'X', false}, {'c', false},
        {'C', false}, {'v', false}, {'V', false}, {'n', false}, {'?', false},
    };
    for (const refreshCase& c : cases) {
        SCOPED_TRACE(std::string(1, c.key));
        const std::size_t before = label->texts.size();
        rec::captureStdout quiet;
        down(static_cast<unsigned char>(c.key));
        up(static_cast<unsigned char>(c.key));
        ASSERT_EQ(label->texts.size(), before + (c.refreshes ? 1 : 0));
        EXPECT_EQ(label->texts.back(), app->buildStatusText());
    }
}

TEST_F(keyTest, vHeldInXyzModeRegistersTheMouseObserverUntilItsRelease) {
    toAxis(u"XYZ");
    down('v');
    EXPECT_EQ(w.log, rec::journal{"addMouseObserver"});
    EXPECT_EQ(w.mouse.observers, std::vector<zel::sceneGraph::iMouseObserver*>{app.get()});
    EXPECT_EQ(model->setMatrices.size(), 0u) << "no turn";
    w.log.clear();
    up('v');
    EXPECT_EQ(w.log, (rec::journal{"hasMouseObserver", "removeMouseObserver"}));
    EXPECT_TRUE(w.mouse.observers.empty());

    w.log.clear();
    up('v');
    EXPECT_EQ(w.log, rec::journal{"hasMouseObserver"}) << "nothing to drop";

    toAxis(u"X");
    w.log.clear();
    down('v');
    up('v');
    EXPECT_EQ(w.log, (rec::journal{"getXform matrix", "setXform matrix", "hasMouseObserver"}));
}

class keysBeforeStart : public rec::appTest {
protected:
    wstring label() const { return w.widgetBuilder.labels.at(0)->getText(); }
};

TEST_F(keysBeforeStart, keysWithoutHolderOrLabelOnlyStepTheRings) {
    make();
    w.log.clear();
    rec::captureStdout out;
    for (const char key : std::string("xXcCvVnb,.<>?zZ")) {
        down(static_cast<unsigned char>(key));
        press(static_cast<unsigned char>(key));
        up(static_cast<unsigned char>(key));
    }
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(rec::filterPrefix(w.log, "readFile"), rec::journal{});
    EXPECT_EQ(rec::countPrefix(w.log, "Anim"), 0);
    EXPECT_TRUE(app->geomFileRing.isEmpty());
    EXPECT_EQ(app->animRing.current(), u"ON");
    EXPECT_EQ(app->attachRing.currentIndex(), 0) << "one step back and one forward";
    EXPECT_EQ(app->axisRing.current(), u"X");
}

TEST_F(keysBeforeStart, attachKeysOnAnEmptyRingAndVWithoutMouseSourceDoNothing) {
    w.withoutNavigator();
    w.withoutClient();
    make();
    rec::tempFolder folder({});
    start(folder.wide());
    down('Z');
    w.log.clear();
    down(',');
    up(',');
    down('.');
    up('.');
    down('v');
    up('v');
    EXPECT_TRUE(app->attachRing.isEmpty());
    EXPECT_EQ(label(), u"Axis Mode: XYZ\nGeom File: \nAttach Pt: \nAnimation: OFF\n"
                       u"Postion  : [0, 0, 0]");
    EXPECT_EQ(rec::countPrefix(w.log, "label.setText"), 2);
    EXPECT_EQ(w.log.size(), 2u);
}

} // namespace
