#include <zel/xstd.h>

#include <gtest/gtest.h>

#include <random>

namespace {

using zel::xstd::fromUtf8;
using zel::xstd::toDisplayUtf8;
using zel::xstd::toUtf8;
using zel::xstd::toWide;

TEST(Strings, DecodesUtf8AndEscapesEveryOtherByte) {
    const struct {
        const char* name;
        std::string bytes;
        std::u16string text;
    } cases[] = {
        {"ascii with NUL", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
        {"two-byte",
         "Gr\xC3\xBC\xC3\x9F"
         "e",
         u"Grüße"},
        {"three-byte", "\xE6\x97\xA5\xE6\x9C\xAC", u"日本"},
        {"astral", "\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
        {"largest", "\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
        {"lone continuation", "a\x80z", u"a\xDC80z"},
        {"overlong slash", "\xC0\xAF", u"\xDCC0\xDCAF"},
        {"overlong three-byte", "\xE0\x80\xAF", u"\xDCE0\xDC80\xDCAF"},
        {"encoded high surrogate", "\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"},
        {"encoded escape", "\xED\xB2\x80", u"\xDCED\xDCB2\xDC80"},
        {"past U+10FFFF", "\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80"},
        {"truncated then ascii", "\xE6\x97(", u"\xDCE6\xDC97("},
        {"truncated at end", "x\xF0\x9F\x98", u"x\xDCF0\xDC9F\xDC98"},
        {"FE FF", "\xFE\xFF", u"\xDCFE\xDCFF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fromUtf8(c.bytes), c.text);
        EXPECT_EQ(toUtf8(c.text), c.bytes);
    }
}

// Decoded text is well-formed UTF-16 apart from the escapes U+DC80..U+DCFF.
bool onlyEscapesUnpaired(const std::u16string& t) {
    for (std::size_t i = 0; i < t.size(); ++i) {
        const char16_t u = t[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < t.size() && t[i + 1] >= 0xDC00 &&
            t[i + 1] <= 0xDFFF)
            ++i;
        else if (u >= 0xD800 && u <= 0xDFFF && !(u >= 0xDC80 && u <= 0xDCFF))
            return false;
    }
    return true;
}

TEST(Strings, EveryByteStringRoundTrips) {
    // All strings of one and two bytes, then random longer ones.
    for (int a = 0; a < 256; ++a) {
        for (int b = -1; b < 256; ++b) {
            std::string bytes(1, static_cast<char>(a));
            if (b >= 0)
                bytes.push_back(static_cast<char>(b));
            ASSERT_EQ(toUtf8(fromUtf8(bytes)), bytes) << a << " " << b;
        }
    }
    std::mt19937 random(20240611);
    // Biased towards the bytes that start and continue sequences.
    const unsigned char pool[] = {'a',  0x00, 0x7F, 0x80, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2,
                                  0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof pool - 1), length(1, 12);
    for (int i = 0; i < 20000; ++i) {
        std::string bytes;
        for (std::size_t n = length(random); n > 0; --n)
            bytes.push_back(static_cast<char>(pool[pick(random)]));
        const std::u16string text = fromUtf8(bytes);
        ASSERT_EQ(toUtf8(text), bytes);
        ASSERT_TRUE(onlyEscapesUnpaired(text)) << "a surrogate unpaired outside the escapes";
    }
}

TEST(Strings, SurrogatesForDisplayAndConsole) {
    const struct {
        const char* name;
        std::u16string text;
        std::string utf8;    // toUtf8
        std::string display; // toDisplayUtf8
        std::wstring wide;   // toWide
    } cases[] = {
        {"pair", u"\xD83D\xDE00", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80", L"\U0001F600"},
        {"escape", u"a\xDC80", "a\x80", "a\xEF\xBF\xBD", L"a\xFFFD"},
        {"lone high", u"\xD800x", "\xEF\xBF\xBDx", "\xEF\xBF\xBDx", L"\xFFFDx"},
        {"lone low outside the escapes", u"\xDE00", "\xEF\xBF\xBD", "\xEF\xBF\xBD", L"\xFFFD"},
        {"pair reversed", u"\xDE00\xD83D", "\xEF\xBF\xBD\xEF\xBF\xBD", "\xEF\xBF\xBD\xEF\xBF\xBD",
         L"\xFFFD\xFFFD"},
        {"high at end", u"ok\xDBFF", "ok\xEF\xBF\xBD", "ok\xEF\xBF\xBD", L"ok\xFFFD"},
        {"BMP", u"Grüße 日本",
         "Gr\xC3\xBC\xC3\x9F"
         "e \xE6\x97\xA5\xE6\x9C\xAC",
         "Gr\xC3\xBC\xC3\x9F"
         "e \xE6\x97\xA5\xE6\x9C\xAC",
         L"Grüße 日本"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(toUtf8(c.text), c.utf8);
        EXPECT_EQ(toDisplayUtf8(c.text), c.display);
        EXPECT_EQ(toWide(c.text), c.wide);
    }
}

} // namespace
