// Status lines broken between their groups when the window is too narrow: one named row a case.
#include <zel/text/cells.h>
#include <zel/text/wrap.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

// One cell a byte.
float bytes(const std::string& s) {
    return static_cast<float>(s.size());
}

// Character cells of UTF-8 text, as the screen counts them (a CJK character takes two).
float cells(const std::string& s) {
    int total = 0;
    for (std::size_t i = 0; i < s.size();) {
        const auto lead = static_cast<unsigned char>(s[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length && i + k < s.size(); ++k)
            c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        total += zel::text::cellsOf(c);
        i += length;
    }
    return static_cast<float>(total);
}

struct wrapCase {
    const char* name;
    std::string line;
    float width;
    std::vector<std::string> expected;
    float (*measure)(const std::string&) = bytes;
};

const std::string status = "archi.3ds  position (1, 2, 3)  scale (1, 1, 1)"; // 46 bytes

const wrapCase cases[] = {
    {"wideEnoughStaysWhole", status, 100, {status}},
    {"exactFitStaysWhole", status, 46, {status}},
    {"oneShortBreaksAtTheLastGap",
     status,
     45,
     {"archi.3ds  position (1, 2, 3)", "scale (1, 1, 1)"}},
    {"secondLineFitsExactly", "ab  cd  ef", 6, {"ab  cd", "ef"}},
    {"singleSpacesNeverBreak", "a b c  d", 5, {"a b c", "d"}},
    {"oversizedGroupsStandAloneUnsplit",
     status,
     5,
     {"archi.3ds", "position (1, 2, 3)", "scale (1, 1, 1)"}},
    {"emptyLine", "", 5, {""}},
    {"wideCharactersCountTwoCells", "模型  位置", 4, {"模型", "位置"}, cells},
    {"wideCharactersFitByCells", "模型  位置", 10, {"模型  位置"}, cells},
    {"wideCharactersWiderThanBytesAllow", "模型  ab", 6, {"模型", "ab"}, cells},
    {"leadingGapKeptWhenItFits", "  a  b", 6, {"  a  b"}},
    {"leadingGapDroppedWhenBroken", "  a  b", 5, {"a  b"}},
    {"trailingGapDroppedWhenBroken", "a  b  ", 4, {"a  b"}},
    {"runOfSpacesIsOneGapKeptWithinALine", "a    b  c", 6, {"a    b", "c"}},
    {"runOfSpacesNeverEndsALine", "a    b", 4, {"a", "b"}},
    {"oddRunOfSpacesNeverStartsALine", "a   b", 3, {"a", "b"}},
    {"onlySpaces", "    ", 2, {""}},
};

void PrintTo(const wrapCase& c, std::ostream* out) {
    *out << c.name;
}

class wrapAtGaps : public ::testing::TestWithParam<wrapCase> {};

TEST_P(wrapAtGaps, linesAsExpected) {
    const wrapCase& c = GetParam();
    const std::vector<std::string> lines = zel::text::wrapAtGaps(c.line, c.width, c.measure);
    EXPECT_EQ(lines, c.expected);
    // Whatever the case: only a line of one group may be wider than the window.
    for (const std::string& l : lines) {
        if (l.find("  ") != std::string::npos) {
            EXPECT_LE(c.measure(l), c.width) << l;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(rows, wrapAtGaps, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<wrapCase>& row) {
                             return std::string(row.param.name);
                         });

} // namespace
