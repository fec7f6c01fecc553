// Character cells as the widget layout measures them and the renderer draws them.
#include <zel/text/cells.h>

#include <gtest/gtest.h>

namespace {

TEST(cells, wideCharactersTakeTwoCells) {
    using zel::text::cellsOf;
    for (char32_t c : {U'a', U'Д', U'Σ', U'ب', U'\uFFFD', U'\U0001D11E'})
        EXPECT_EQ(cellsOf(c), 1) << std::hex << unsigned(c);
    for (char32_t c : {U'日', U'の', U'カ', U'한', U'Ａ', U'\u3000', U'\U0001F600', U'\U00020BB7'})
        EXPECT_EQ(cellsOf(c), 2) << std::hex << unsigned(c);
}

} // namespace
