// Status lines broken between their groups when the window is too narrow.
#include <zel/text/wrap.h>

#include <gtest/gtest.h>

namespace {

float chars(const std::string& s) {
    return static_cast<float>(s.size());
}

TEST(wrapAtGaps, BreaksOnlyBetweenGroupsAndKeepsOversizedGroupsWhole) {
    const std::string line = "archi.3ds  position (1, 2, 3)  scale (1, 1, 1)";
    // Wide enough: one line, untouched (single spaces inside a group never break).
    EXPECT_EQ(zel::text::wrapAtGaps(line, 100, chars), std::vector<std::string>{line});
    EXPECT_EQ(zel::text::wrapAtGaps(line, 30, chars),
              (std::vector<std::string>{"archi.3ds  position (1, 2, 3)", "scale (1, 1, 1)"}));
    // Narrower than a group: every group on its own line, none split.
    EXPECT_EQ(zel::text::wrapAtGaps(line, 5, chars),
              (std::vector<std::string>{"archi.3ds", "position (1, 2, 3)", "scale (1, 1, 1)"}));
    EXPECT_EQ(zel::text::wrapAtGaps("", 5, chars), std::vector<std::string>{""});
}

} // namespace
