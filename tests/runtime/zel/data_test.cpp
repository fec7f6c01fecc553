// The data classes whose behaviour is more than storage.
#include <zel/scenegraph.h>
#include <zel/widget.h>

#include <gtest/gtest.h>

namespace {

using namespace zel::sceneGraph;

TEST(MouseEvent, PositionOnlyWhenGiven) {
    int x = -7, y = -7;
    const mouseEvent noPosition(DOWN, LEFT);
    EXPECT_FALSE(noPosition.getMouseWinPos(x, y));
    EXPECT_EQ(x, -7);
    EXPECT_EQ(y, -7);
    const mouseEvent drag(DRAG, RIGHT, 0, 480);
    EXPECT_TRUE(drag.getMouseWinPos(x, y));
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 480);
    EXPECT_EQ(drag.getEventType(), DRAG);
    EXPECT_EQ(drag.getEventButton(), RIGHT);
    EXPECT_EQ(drag.getMouseWheelDelta(VERTICAL), 0);
}

TEST(MouseEvent, WheelDeltaBelongsToItsWheel) {
    const mouseEvent turn = mouseEvent::wheel(VERTICAL, -240);
    EXPECT_EQ(turn.getEventType(), WHEEL);
    EXPECT_EQ(turn.getEventButton(), NONE);
    EXPECT_EQ(turn.getMouseWheelDelta(VERTICAL), -240);
    EXPECT_EQ(turn.getMouseWheelDelta(HORIZONTAL), 0);
    int x = 0, y = 0;
    EXPECT_FALSE(turn.getMouseWinPos(x, y));
}

TEST(TclAttr, BoolAndIntegerValues) {
    const zel::widget::tclAttr expand(u"expand", true), side(u"side", 2);
    EXPECT_TRUE(expand.isBool());
    EXPECT_EQ(expand.getInt(), 1);
    EXPECT_FALSE(side.isBool());
    EXPECT_EQ(side.getInt(), 2);
    EXPECT_EQ(side.getName(), u"side");
    // A run-time type test from the attribute base finds the class.
    const zel::xstd::attr* base = &expand;
    EXPECT_NE(dynamic_cast<const zel::widget::tclAttr*>(base), nullptr);
}

} // namespace
