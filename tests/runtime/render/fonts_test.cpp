// The UI's glyphs without a GL context: the glyph set's atlas (which font gives each character, how
// it grows, what happens without a font).
#include "text/glyph_set.h"

#include <gtest/gtest.h>
#include <imgui.h>

#include <filesystem>

// fontconfig leaks a little while it parses its configuration files (not reachable from anything
// this program holds); in sanitizer builds LeakSanitizer is told so. Leaks elsewhere still count.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace {

using namespace zel::render::detail;

const std::string dejavuMono = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";
const std::string droid = "/usr/share/fonts/truetype/droid/DroidSansFallbackFull.ttf";

class glyphs : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(dejavuMono) || !std::filesystem::exists(droid))
            GTEST_SKIP() << "fonts-dejavu-core and fonts-droid-fallback are not installed";
    }
    static fontOptions options() {
        fontOptions o;
        o.primaryFile = dejavuMono;
        return o;
    }
    static const ImFontGlyph* glyph(const ImFontAtlas& atlas, char32_t c) {
        return atlas.Fonts.empty() ? nullptr
                                   : atlas.Fonts[0]->FindGlyphNoFallback(static_cast<ImWchar>(c));
    }
};

TEST_F(glyphs, atlasHoldsWhatTheTextsAskedForFromTheFontThatHasIt) {
    glyphSet set(options());
    ImFontAtlas atlas;
    EXPECT_FALSE(set.want("plain ASCII")) << "ASCII is there from the start";
    EXPECT_TRUE(set.stale());
    ASSERT_TRUE(set.build(atlas));
    EXPECT_FALSE(set.stale());
    EXPECT_EQ(atlas.Fonts.Size, 1);
    // ImGui adds a tab glyph of its own.
    EXPECT_EQ(atlas.Fonts[0]->Glyphs.Size, 95 + 1 + 1) << "printable ASCII and U+FFFD only";
    EXPECT_EQ(glyph(atlas, U'日'), nullptr);

    // New characters: the set grows by exactly them, each from a font that has it, and the one
    // font holds them all.
    EXPECT_TRUE(set.want("日本語の家.3ds Дом بيت"));
    EXPECT_FALSE(set.want("日本 Д"));
    ASSERT_TRUE(set.build(atlas));
    EXPECT_EQ(atlas.Fonts.Size, 1);
    EXPECT_EQ(atlas.Fonts[0]->Glyphs.Size, 95 + 1 + 1 + 5 + 3 + 3);
    EXPECT_EQ(set.sourceOf(U'a'), dejavuMono);
    EXPECT_EQ(set.sourceOf(U'Д'), dejavuMono);
    EXPECT_EQ(set.sourceOf(U'ب'), dejavuMono);
    EXPECT_NE(set.sourceOf(U'日'), "");
    EXPECT_NE(set.sourceOf(U'日'), dejavuMono);
    for (char32_t c : {U'a', U'Д', U'ب', U'日', U'の', U'\uFFFD'}) {
        SCOPED_TRACE(unsigned(c));
        const ImFontGlyph* g = glyph(atlas, c);
        ASSERT_NE(g, nullptr);
        EXPECT_EQ(g->AdvanceX, float(7 * cellsOf(c))) << "one cell, two for wide characters";
        EXPECT_GT(g->X1 - g->X0, 0.0f) << "it has ink";
    }
}

TEST_F(glyphs, aCharacterNoFontHasIsNamedOnceAndLeftToTheFallback) {
    glyphSet set(options());
    ImFontAtlas atlas;
    set.want("\u0378 and \u0378");
    testing::internal::CaptureStderr();
    ASSERT_TRUE(set.build(atlas));
    set.want("x");
    ASSERT_TRUE(set.build(atlas));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "font lookup: no installed font has U+0378; shown as U+FFFD\n");
    EXPECT_EQ(set.sourceOf(U'\u0378'), "");
    EXPECT_EQ(glyph(atlas, U'\u0378'), nullptr);
    ASSERT_NE(atlas.Fonts[0]->FallbackGlyph, nullptr);
    EXPECT_EQ(atlas.Fonts[0]->FallbackChar, 0xFFFD);
}

TEST_F(glyphs, withoutThePrimaryFontOrFontconfigTextStillShows) {
    // No primary font: the built-in one, one line on stderr; the others still come from fontconfig.
    fontOptions noPrimary = options();
    noPrimary.primaryFile = "/nonexistent/font.ttf";
    glyphSet set(noPrimary);
    ImFontAtlas atlas;
    set.want("abc 日");
    testing::internal::CaptureStderr();
    ASSERT_TRUE(set.build(atlas));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "UI font: cannot read /nonexistent/font.ttf; using the built-in font\n");
    EXPECT_NE(glyph(atlas, U'a'), nullptr);
    EXPECT_NE(glyph(atlas, U'日'), nullptr);

    // No fontconfig: the known files, in order.
    fontOptions known = options();
    known.useFontconfig = false;
    known.knownFiles = {"/nonexistent/other.ttf", droid};
    glyphSet fromFiles(known);
    ImFontAtlas atlas2;
    fromFiles.want("日本");
    ASSERT_TRUE(fromFiles.build(atlas2));
    EXPECT_EQ(fromFiles.sourceOf(U'日'), droid);
    EXPECT_NE(glyph(atlas2, U'本'), nullptr);
}

} // namespace
