// Entry, window and lifecycle commands through zelhost.
#include "e2e.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

const std::string enterLine = "|--> In onEntry(): enter key pressed \n";
const std::string textLine = "|---> In onText() \n";
const std::string boundsLine = "|--> In onViewableBounds(): vKivra Status window changed size\n";

const std::string& initialUrl() {
    static const std::string url = entryText(runScript("").dump);
    return url;
}

struct entryCase {
    const char* name;
    std::string script;
    std::string trace; // between the activation and the deactivation
    std::string entry; // the entry's text afterwards
};

TEST(entry, typingEnterAndResizeAreTraced) {
    const std::string& url = initialUrl();
    ASSERT_FALSE(url.empty());
    const std::vector<entryCase> cases = {
        {"enter with the initial address", "entry enter\n", enterLine + "|    " + url + "\n", url},
        {"enter with an empty entry", "entry type\nentry enter\n", textLine + enterLine + "|    \n",
         ""},
        {"the same text twice is one change", "entry type abc\nentry type abc\nentry enter\n",
         textLine + enterLine + "|    abc\n", "abc"},
        {"text after one blank, kept whole", "entry type  a # b \nentry enter\n",
         textLine + enterLine + "|     a # b \n", " a # b "},
        {"non-ASCII text",
         "entry type Gr\xC3\xBC\xC3\x9F"
         "e \xE6\x97\xA5\xF0\x9F\x98\x80\nentry enter\n",
         textLine + enterLine +
             "|    Gr\xC3\xBC\xC3\x9F"
             "e \xE6\x97\xA5\xF0\x9F\x98\x80\n",
         "Gr\xC3\xBC\xC3\x9F"
         "e \xE6\x97\xA5\xF0\x9F\x98\x80"},
        {"resize", "resize 400 300\nresize 400 300\nresize 401 300\n", boundsLine + boundsLine,
         url},
        {"deactivated: nothing is heard", "deactivate\nentry type x\nentry enter\nresize 500 500\n",
         deactivateTrace, "x"},
        {"activated again", "deactivate\nactivate\nentry enter\n",
         deactivateTrace + activateTrace + enterLine + "|    " + url + "\n", url},
    };
    for (const entryCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto run = runScript(c.script);
        EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
        EXPECT_EQ(run.result.err, "");
        EXPECT_EQ(run.result.out,
                  startTrace + activateTrace + c.trace + deactivateTrace + stopTrace);
        EXPECT_EQ(entryText(run.dump), c.entry);
    }
}

TEST(entry, resizeLaysTheWindowOutAgain) {
    auto run = runScript("resize 400 300\n");
    ASSERT_EQ(run.dump["windows"].size(), 1u);
    int height = 0;
    for (const json& child : run.dump["windows"][0]["children"]) {
        EXPECT_EQ(child["rect"][2], 400) << child.dump();
        height += child["rect"][3].get<int>();
    }
    EXPECT_EQ(height, 300);
}

TEST(lifecycle, secondStopAndDoubleActivation) {
    auto run = runScript("stop\nentry enter\n");
    EXPECT_EQ(run.result.exitCode, 0);
    EXPECT_EQ(run.result.out, startTrace + activateTrace + stopTrace + deactivateTrace + stopTrace);
    EXPECT_TRUE(run.dump["windows"].empty());
    EXPECT_NE(findPath(run.dump["scene"], {"navigator", "tabletop", "geomSink -> archi.3ds"}),
              nullptr);

    run = runScript("activate\nentry enter\n");
    EXPECT_EQ(run.result.out, startTrace + activateTrace + activateTrace + enterLine + "|    " +
                                  initialUrl() + "\n" + deactivateTrace + stopTrace);
    EXPECT_EQ(run.dump["windows"][0]["connected"], true);

    // One deactivation disconnects, however often the window was connected.
    run = runScript("activate\ndeactivate\nentry enter\n");
    EXPECT_EQ(run.result.out, startTrace + activateTrace + activateTrace + deactivateTrace +
                                  deactivateTrace + stopTrace);
    EXPECT_EQ(run.dump["windows"][0]["connected"], false);
}

TEST(lifecycle, secondStartBuildsAnotherWindowAndModel) {
    auto run = runScript("start\n");
    EXPECT_EQ(run.result.exitCode, 0);
    EXPECT_EQ(run.result.out,
              startTrace + activateTrace + startTrace + deactivateTrace + stopTrace);
    EXPECT_EQ(run.dump["windows"].size(), 1u);
    const json* tabletop = findPath(run.dump["scene"], {"navigator", "tabletop"});
    ASSERT_NE(tabletop, nullptr);
    EXPECT_EQ((*tabletop)["children"].size(), 2u);
}

TEST(lifecycle, destroyEndsTheApplicationAndLaterCommandsGoNowhere) {
    auto run = runScript("destroy\nkey z\nkey x\nentry enter\nresize 300 300\nstart\nstop\n"
                         "activate\ndeactivate\ndestroy\nadvance 1\n");
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    // No shutdown calls for an application the script destroyed.
    EXPECT_EQ(run.result.out, startTrace + activateTrace);
    EXPECT_TRUE(run.dump["windows"].empty());
    // The model stays in the scene, untouched.
    const json* model =
        findPath(run.dump["scene"], {"navigator", "tabletop", "geomSink -> archi.3ds"});
    ASSERT_NE(model, nullptr);
}

TEST(lifecycle, destroyWhileTheTrackballListensIsSafe) {
    auto run = runScript("key Z\ndown v\ndestroy\nmouse down 1 3 4\nwheel 120\nup v\n");
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_EQ(run.result.out, startTrace + activateTrace);
}

TEST(lifecycle, scriptDumpsAreWrittenWhereTheyStand) {
    tempFolder tmp;
    std::string a = (tmp.path() / "a.json").string();
    std::string b = (tmp.path() / "b.json").string();
    auto r = runHost({"--script", "-"}, "dump " + a + "\nkey z\nkey x\nstop\ndump " + b + "\n");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    json first = readJson(a), second = readJson(b);
    EXPECT_EQ(first["windows"].size(), 1u);
    EXPECT_TRUE(second["windows"].empty());
    EXPECT_NE(first["scene"].dump(), second["scene"].dump());
    std::string text = readText(a);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.substr(0, 13), "{\n  \"scene\": ");
}

} // namespace
} // namespace e2e
