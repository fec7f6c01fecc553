#pragma once

// How many character cells a character takes on screen, counted the way a terminal counts them.
// The widget layout measures text with it and the renderer draws glyphs with it, so text fills
// exactly the rectangles the packer gave.

#include <algorithm>
#include <iterator>
#include <string_view>

namespace zel::text {

// 2 for the East Asian wide (W) and fullwidth (F) characters of the Basic Multilingual Plane, 1 for
// the rest. Beyond the plane the UI draws U+FFFD, one cell.
constexpr int cellsOf(char32_t c) {
    struct span {
        char32_t first, last;
    };
    constexpr span wide[] = {
        {0x1100, 0x115F}, {0x231A, 0x231B}, {0x2329, 0x232A}, {0x23E9, 0x23EC}, {0x23F0, 0x23F0},
        {0x23F3, 0x23F3}, {0x25FD, 0x25FE}, {0x2614, 0x2615}, {0x2648, 0x2653}, {0x267F, 0x267F},
        {0x2693, 0x2693}, {0x26A1, 0x26A1}, {0x26AA, 0x26AB}, {0x26BD, 0x26BE}, {0x26C4, 0x26C5},
        {0x26CE, 0x26CE}, {0x26D4, 0x26D4}, {0x26EA, 0x26EA}, {0x26F2, 0x26F3}, {0x26F5, 0x26F5},
        {0x26FA, 0x26FA}, {0x26FD, 0x26FD}, {0x2705, 0x2705}, {0x270A, 0x270B}, {0x2728, 0x2728},
        {0x274C, 0x274C}, {0x274E, 0x274E}, {0x2753, 0x2755}, {0x2757, 0x2757}, {0x2795, 0x2797},
        {0x27B0, 0x27B0}, {0x27BF, 0x27BF}, {0x2B1B, 0x2B1C}, {0x2B50, 0x2B50}, {0x2B55, 0x2B55},
        {0x2E80, 0x303E}, {0x3041, 0x33FF}, {0x3400, 0x4DBF}, {0x4E00, 0x9FFF}, {0xA000, 0xA4CF},
        {0xA960, 0xA97F}, {0xAC00, 0xD7A3}, {0xF900, 0xFAFF}, {0xFE10, 0xFE19}, {0xFE30, 0xFE6F},
        {0xFF00, 0xFF60}, {0xFFE0, 0xFFE6},
    };
    const auto it = std::upper_bound(std::begin(wide), std::end(wide), c,
                                     [](char32_t v, const span& s) { return v < s.first; });
    return it != std::begin(wide) && c <= std::prev(it)->last ? 2 : 1;
}

// The extent of UTF-16 text in character cells: the widest line and the number of lines, where
// '\n' ends a line. A surrogate pair is one character of one cell (the UI draws U+FFFD for it); a
// lone surrogate is one cell too.
struct cellExtent {
    int columns = 0;
    int lines = 1;
    bool operator==(const cellExtent&) const = default;
};

constexpr cellExtent extentOf(std::u16string_view text) {
    auto high = [](char16_t c) { return c >= 0xD800 && c <= 0xDBFF; };
    auto low = [](char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; };
    cellExtent extent;
    int column = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\n') {
            ++extent.lines;
            column = 0;
            continue;
        }
        if (high(text[i]) && i + 1 < text.size() && low(text[i + 1])) {
            ++i;
            column += 1;
        } else {
            column += cellsOf(text[i]);
        }
        extent.columns = std::max(extent.columns, column);
    }
    return extent;
}

} // namespace zel::text
