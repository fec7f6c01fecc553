#pragma once

// How many character cells a character takes on screen, counted the way a terminal counts them.
// The widget layout measures text with it and the renderer draws glyphs with it, so text fills
// exactly the rectangles the packer gave.

#include <algorithm>
#include <iterator>
#include <string_view>

namespace zel::text {

// 2 for the East Asian wide (W) and fullwidth (F) characters: CJK, kana, Hangul, fullwidth forms,
// the emoji of the symbol planes and the ideographs beyond the Basic Multilingual Plane; 1 for the
// rest.
constexpr int cellsOf(char32_t c) {
    struct span {
        char32_t first, last;
    };
    constexpr span wide[] = {
        {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
        {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
        {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
        {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
        {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
        {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},
        {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
        {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
        {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},
        {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
        {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
        {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x18CFF},
        {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E},
        {0x1F191, 0x1F19A}, {0x1F200, 0x1F2FF}, {0x1F300, 0x1F320}, {0x1F32D, 0x1F335},
        {0x1F337, 0x1F37C}, {0x1F37E, 0x1F393}, {0x1F3A0, 0x1F3CA}, {0x1F3CF, 0x1F3D3},
        {0x1F3E0, 0x1F3F0}, {0x1F3F4, 0x1F3F4}, {0x1F3F8, 0x1F43E}, {0x1F440, 0x1F440},
        {0x1F442, 0x1F4FC}, {0x1F4FF, 0x1F53D}, {0x1F54B, 0x1F54E}, {0x1F550, 0x1F567},
        {0x1F57A, 0x1F57A}, {0x1F595, 0x1F596}, {0x1F5A4, 0x1F5A4}, {0x1F5FB, 0x1F64F},
        {0x1F680, 0x1F6C5}, {0x1F6CC, 0x1F6CC}, {0x1F6D0, 0x1F6D2}, {0x1F6D5, 0x1F6D7},
        {0x1F6EB, 0x1F6EC}, {0x1F6F4, 0x1F6FC}, {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F93A},
        {0x1F93C, 0x1F945}, {0x1F947, 0x1F9FF}, {0x1FA70, 0x1FAFF}, {0x20000, 0x2FFFD},
        {0x30000, 0x3FFFD},
    };
    const auto it = std::upper_bound(std::begin(wide), std::end(wide), c,
                                     [](char32_t v, const span& s) { return v < s.first; });
    return it != std::begin(wide) && c <= std::prev(it)->last ? 2 : 1;
}

// The extent of UTF-16 text in character cells: the widest line and the number of lines, where
// '\n' ends a line. A surrogate pair is one character, of the cells of its code point; a lone
// surrogate is one cell (the UI draws U+FFFD for it).
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
            column += cellsOf(0x10000 + ((char32_t(text[i]) - 0xD800) << 10) +
                              (char32_t(text[i + 1]) - 0xDC00));
            ++i;
        } else {
            column += cellsOf(text[i]);
        }
        extent.columns = std::max(extent.columns, column);
    }
    return extent;
}

} // namespace zel::text
