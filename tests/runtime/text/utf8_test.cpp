// UTF-8 as every reader of it decodes it: each bad byte one U+FFFD, and the encoder at the edges of
// its lengths.
#include <zel/text/utf8.h>

#include <gtest/gtest.h>

namespace {

using namespace zel::text;

TEST(utf8, malformedTextShowsOneReplacementPerBadByte) {
    struct repair {
        const char* in;
        const char* out;
    };
    const repair cases[] = {
        {"plain", "plain"},
        {"日本語 Дом بيت", "日本語 Дом بيت"},
        {"\xEF\xBF\xBD", "\xEF\xBF\xBD"}, // U+FFFD itself
        {"a\xFF\xFE"
         "b",
         "a\xEF\xBF\xBD\xEF\xBF\xBD"
         "b"},                                                    // bytes never in UTF-8
        {"\xE6\x97", "\xEF\xBF\xBD\xEF\xBF\xBD"},                 // cut short
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                 // overlong
        {"\xE0\x9F\xBF", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // overlong U+07FF
        {"\xF0\x8F\xBF\xBF", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // overlong U+FFFF
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},                 // a surrogate
        {"\xED\x9F\xBF", "\xED\x9F\xBF"},         // U+D7FF, just below the surrogates
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"}, // U+10FFFF, the last character
        {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // past U+10FFFF
        {"\x80z", "\xEF\xBF\xBDz"}, // stray continuation
    };
    for (const repair& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(repairUtf8(c.in), c.out);
        EXPECT_EQ(wellFormedUtf8(c.in), std::string(c.in) == c.out);
    }
}

// Each length's first and last code point, encoded and read back as one character.
TEST(utf8, encodesEachLengthUpToItsLastCodePoint) {
    struct edge {
        char32_t c;
        std::string bytes;
    };
    const edge cases[] = {
        {0x00, std::string(1, '\0')},
        {0x7F, "\x7F"},
        {0x80, "\xC2\x80"},
        {0x7FF, "\xDF\xBF"},
        {0x800, "\xE0\xA0\x80"},
        {0xFFFF, "\xEF\xBF\xBF"},
        {0x10000, "\xF0\x90\x80\x80"},
        {0x10FFFF, "\xF4\x8F\xBF\xBF"},
    };
    for (const edge& e : cases) {
        SCOPED_TRACE(unsigned(e.c));
        std::string out;
        appendUtf8(out, e.c);
        EXPECT_EQ(out, e.bytes);
        std::u32string decoded;
        forEachCodePoint(out, [&](char32_t c) { decoded.push_back(c); });
        EXPECT_EQ(decoded, std::u32string(1, e.c));
    }
}

} // namespace
