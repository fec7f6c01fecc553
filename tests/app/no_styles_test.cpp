// Start-up when no styles package can be linked.
#include "app_fixture.h"

namespace {

using rec::appTest;

TEST_F(appTest, withoutTheStylesPackageTheModelIsPlacedAndNothingElseIsWritten) {
    rec::tempFolder folder({"house.3ds"});
    make();
    rec::captureStdout out;
    start(folder.wide());
    EXPECT_EQ(out.text(), "propPlacer - onStart\n|> in loadGeom\n");
    EXPECT_NE(placed(), nullptr);
    EXPECT_EQ(w.styles.getBuilder()->acquire(0), 0);
    EXPECT_TRUE(w.widgetBuilder.windows.empty());
    EXPECT_FALSE(app->statusWindow);
    EXPECT_FALSE(app->statusLabel);
    EXPECT_EQ(rec::countPrefix(w.log, "build"), 0);
    EXPECT_EQ(app->geomFileRing.current(), u"house.3ds");
}

} // namespace
