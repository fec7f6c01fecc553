// Tk's pack algorithm as tables of fixtures and expected rectangles.
#include <zel/world/pack.h>

#include <gtest/gtest.h>

using zel::world::packItem;
using zel::world::packLayout;
using zel::world::packRect;
using zel::world::packRequest;
using zel::world::packSide;
using zel::world::packSize;

namespace {

packItem item(int width, int height, packSide side = packSide::top, int fill = 0,
              bool expand = false, int padX = 0, int padY = 0) {
    packItem i;
    i.width = width;
    i.height = height;
    i.side = side;
    i.fillX = fill == 1 || fill == 3;
    i.fillY = fill == 2 || fill == 3;
    i.expand = expand;
    i.padX = padX;
    i.padY = padY;
    return i;
}

struct layoutCase {
    const char* name;
    packSize container;
    std::vector<packItem> items;
    std::vector<packRect> expected;
};

} // namespace

TEST(pack, LayoutTable) {
    const packSide L = packSide::left, R = packSide::right, T = packSide::top, B = packSide::bottom;
    const layoutCase cases[] = {
        // Tk's own fixture: in a 300-wide container, a(20, expand), b(50), c(80, expand),
        // d(40, expand) packed left sit at 18, 56, 124 and 241; the last takes the remainder.
        {"tk expanders left",
         {300, 100},
         {item(20, 20, L, 0, true), item(50, 20, L), item(80, 20, L, 0, true),
          item(40, 20, L, 0, true)},
         {{18, 40, 20, 20}, {56, 40, 50, 20}, {124, 40, 80, 20}, {241, 40, 40, 20}}},
        // The status window: a label above an entry, both fill both and expand.
        {"label over entry at the requested size",
         {210, 42},
         {item(21, 28, T, 3, true), item(210, 14, T, 3, true)},
         {{0, 0, 210, 28}, {0, 28, 210, 14}}},
        {"label over entry grown to 300 x 100",
         {300, 100},
         {item(21, 28, T, 3, true), item(210, 14, T, 3, true)},
         {{0, 0, 300, 57}, {0, 57, 300, 43}}},
        {"one of each side, centred in their parcels",
         {100, 60},
         {item(50, 10, T), item(20, 30, R), item(40, 10, B), item(10, 10, L)},
         {{25, 0, 50, 10}, {80, 20, 20, 30}, {20, 50, 40, 10}, {0, 25, 10, 10}}},
        {"padding on each side", {100, 50}, {item(20, 10, T, 0, false, 5, 3)}, {{40, 3, 20, 10}}},
        {"padding with fill x", {100, 50}, {item(20, 10, T, 1, false, 5, 3)}, {{5, 3, 90, 10}}},
        {"fill y only", {100, 50}, {item(20, 10, L, 2)}, {{0, 0, 20, 50}}},
        {"three expanders share 70 spare pixels",
         {40, 100},
         {item(40, 10, T, 3, true), item(40, 10, T, 3, true), item(40, 10, T, 3, true)},
         {{0, 0, 40, 33}, {0, 33, 40, 33}, {0, 66, 40, 34}}},
        {"container too small: the last item gets nothing",
         {30, 10},
         {item(40, 10, T), item(10, 10, T)},
         {{0, 0, 30, 10}, {10, 10, 10, 0}}},
        {"negative padding counts as none",
         {20, 10},
         {item(20, 10, T, 0, false, -4, -4)},
         {{0, 0, 20, 10}}},
    };
    for (const layoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<packRect> got = packLayout(c.container, c.items);
        ASSERT_EQ(got.size(), c.expected.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            SCOPED_TRACE("item " + std::to_string(i));
            EXPECT_EQ(got[i].x, c.expected[i].x);
            EXPECT_EQ(got[i].y, c.expected[i].y);
            EXPECT_EQ(got[i].width, c.expected[i].width);
            EXPECT_EQ(got[i].height, c.expected[i].height);
        }
    }
}

TEST(pack, RequestTable) {
    const packSide L = packSide::left, R = packSide::right, T = packSide::top, B = packSide::bottom;
    struct requestCase {
        const char* name;
        std::vector<packItem> items;
        packSize expected;
    };
    const requestCase cases[] = {
        {"nothing", {}, {0, 0}},
        {"label over entry", {item(21, 28, T), item(210, 14, T)}, {210, 42}},
        {"side by side", {item(20, 30, L), item(40, 10, R)}, {60, 30}},
        {"one of each side",
         {item(50, 10, T), item(20, 30, R), item(40, 10, B), item(10, 10, L)},
         {60, 40}},
        {"padding counts twice", {item(20, 10, T, 0, false, 5, 3)}, {30, 16}},
    };
    for (const requestCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(packRequest(c.items), c.expected);
        // Every item gets at least what it asked for in a container of the requested size.
        const std::vector<packRect> got = packLayout(c.expected, c.items);
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_GE(got[i].width, c.items[i].width);
            EXPECT_GE(got[i].height, c.items[i].height);
        }
    }
}
