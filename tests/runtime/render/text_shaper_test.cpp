// Lines as their readers write them, without a GL context: which font draws what, the visual order
// of mixed directions, joining, and the character grid the monospaced font keeps.
#include "text/text_shaper.h"

#include <gtest/gtest.h>
#include <hb.h>

#include <filesystem>

namespace {

using namespace zel::render::detail;

const std::string dejavuMono = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";
const std::string notoArabic = "/usr/share/fonts/truetype/noto/NotoSansArabic-Regular.ttf";

class shaping : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(dejavuMono) || !std::filesystem::exists(notoArabic))
            GTEST_SKIP() << "fonts-dejavu-core and fonts-noto-core are not installed";
    }
    static fontOptions options() {
        fontOptions o;
        o.primaryFile = dejavuMono;
        return o;
    }
    // The faces' files, glyph by glyph, left to right.
    static std::vector<std::string> files(textShaper& s, const shapedLine& line) {
        std::vector<std::string> out;
        for (const placedGlyph& g : line.glyphs)
            out.push_back(std::filesystem::path(s.face(g.face).path).filename().string());
        return out;
    }
};

TEST_F(shaping, latinKeepsTheGridAndOtherScriptsTheirOwnFonts) {
    textShaper s(options());
    const shapedLine latin = s.shape("Geom File: a.3ds");
    ASSERT_EQ(latin.glyphs.size(), 16u);
    for (std::size_t i = 0; i < latin.glyphs.size(); ++i)
        EXPECT_FLOAT_EQ(latin.glyphs[i].x, 7.0f * static_cast<float>(i)) << i;
    EXPECT_FLOAT_EQ(latin.width, 16 * 7.0f);

    // Arabic comes from fontconfig's font for it even though the monospaced font has a few of
    // its letters (which it could not join).
    EXPECT_NE(s.sourceOf(U'ب'), dejavuMono);
    EXPECT_NE(s.sourceOf(U'ب'), "");
    EXPECT_EQ(s.sourceOf(U'a'), dejavuMono);
    EXPECT_EQ(s.sourceOf(U'Д'), dejavuMono);
    EXPECT_NE(s.sourceOf(U'日'), "");
}

// On the grid every character takes its cells, whichever run it is in and wherever that run starts;
// a glyph from another font narrower than its cells stands in their middle.
TEST_F(shaping, everyCharacterOnTheGridTakesItsCells) {
    textShaper s(options());
    struct testCase {
        const char* line;
        std::vector<int> cells; // where each glyph's cells start, left to right
        int width;              // in cells
    };
    const testCase cases[] = {
        {"a😀b", {0, 1, 3}, 4}, {"😀a", {0, 2}, 3},      {"a😀", {0, 1}, 3},
        {"😀😀", {0, 2}, 4},     {"a日b", {0, 1, 3}, 4}, {"日本", {0, 2}, 4},
    };
    for (const testCase& c : cases) {
        SCOPED_TRACE(c.line);
        const shapedLine line = s.shape(c.line);
        ASSERT_EQ(line.glyphs.size(), c.cells.size());
        EXPECT_FLOAT_EQ(line.width, 7.0f * static_cast<float>(c.width));
        for (std::size_t i = 0; i < line.glyphs.size(); ++i) {
            const placedGlyph& g = line.glyphs[i];
            const float start = 7.0f * static_cast<float>(c.cells[i]);
            const float end =
                7.0f * static_cast<float>(i + 1 < c.cells.size() ? c.cells[i + 1] : c.width);
            const shaperFace& face = s.face(g.face);
            if (face.path == dejavuMono) {
                EXPECT_FLOAT_EQ(g.x, start) << i;
                continue;
            }
            const float own = static_cast<float>(hb_font_get_glyph_h_advance(
                                  static_cast<hb_font_t*>(face.hb), g.glyph)) /
                              64.0f * face.scale;
            EXPECT_LT(own, end - start) << i << ": narrower than its cells, as these fonts have it";
            EXPECT_NEAR(g.x - start, end - (g.x + own), 0.01f) << i << ": in its cells' middle";
        }
    }

    // After runs of another direction, the grid goes on to the line's last character: "ds" here
    // (".3" goes with the Arabic name).
    const shapedLine name = s.shape("Geom File: بيت.3ds");
    ASSERT_EQ(name.glyphs.size(), 18u);
    EXPECT_FLOAT_EQ(name.glyphs[17].x, name.glyphs[16].x + 7.0f);
    EXPECT_FLOAT_EQ(name.width, name.glyphs[17].x + 7.0f);
}

TEST_F(shaping, arabicJoinsAndRunsRightToLeftInsideALatinLine) {
    textShaper s(options());
    // "بيت" alone: three letters joined, so no glyph is the isolated form of its letter.
    const shapedLine word = s.shape("بيت");
    ASSERT_EQ(word.glyphs.size(), 3u);
    const shapedLine isolated = s.shape("ب ي ت");
    ASSERT_EQ(isolated.glyphs.size(), 5u);
    // Right to left: the first letter (beh) is the rightmost glyph; isolated, beh is leftmost of
    // the reversed run too, so compare glyph ids by letter.
    const std::uint32_t behJoined = word.glyphs[2].glyph, tehJoined = word.glyphs[0].glyph;
    const std::uint32_t behAlone = isolated.glyphs[4].glyph, tehAlone = isolated.glyphs[0].glyph;
    EXPECT_NE(behJoined, behAlone) << "beh takes its initial form";
    EXPECT_NE(tehJoined, tehAlone) << "teh takes its final form";
    EXPECT_GT(word.glyphs[2].x, word.glyphs[0].x) << "the first letter stands rightmost";

    // Mixed: the Latin prefix keeps its place on the left, the Arabic name follows in its order.
    const shapedLine mixed = s.shape("Geom File: بيت");
    const std::vector<std::string> from = files(s, mixed);
    ASSERT_EQ(from.size(), 14u);
    for (std::size_t i = 0; i < 11; ++i) {
        EXPECT_EQ(from[i], "DejaVuSansMono.ttf") << i;
        EXPECT_FLOAT_EQ(mixed.glyphs[i].x, 7.0f * static_cast<float>(i)) << i;
    }
    for (std::size_t i = 11; i < 14; ++i)
        EXPECT_EQ(s.face(mixed.glyphs[i].face).path, s.sourceOf(U'ب')) << i;
    const shapedLine name = s.shape("Geom File: بيت.3ds");
    ASSERT_EQ(name.glyphs.size(), 18u);
    EXPECT_EQ(files(s, name).back(), "DejaVuSansMono.ttf") << "\"ds\" ends the line";
    EXPECT_EQ(mixed.glyphs[11].glyph, tehJoined);
    EXPECT_EQ(mixed.glyphs[13].glyph, behJoined);

    // A right-to-left paragraph with a number: the number reads left to right inside it.
    const shapedLine hebrew = s.shape("שלום 123");
    ASSERT_GE(hebrew.glyphs.size(), 8u);
    // Visual order: "123" at the left, then the space, then the word, its first letter rightmost.
    const std::string first = files(s, hebrew).back();
    EXPECT_EQ(first.find("Mono"), std::string::npos) << "Hebrew from a Hebrew font: " << first;
    EXPECT_LT(hebrew.glyphs[0].x, hebrew.glyphs[1].x);
}

TEST_F(shaping, devanagariFormsConjunctsAndWhatNoFontHasIsNamedOnce) {
    textShaper s(options());
    // क्ष: ka, virama, ssa; one conjunct glyph (or ka's half form and ssa), never three.
    const shapedLine conjunct = s.shape("क्ष");
    EXPECT_LE(conjunct.glyphs.size(), 2u);
    EXPECT_GT(conjunct.width, 0.0f);

    ::testing::internal::CaptureStderr();
    const shapedLine missing = s.shape("a\u0378b\u0378");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "font lookup: no installed font has U+0378; shown as U+FFFD\n");
    ASSERT_EQ(missing.glyphs.size(), 4u);
    EXPECT_NE(missing.glyphs[1].glyph, 0u) << "the replacement glyph";
    EXPECT_EQ(missing.glyphs[1].glyph, missing.glyphs[3].glyph);

    // Bytes that are not UTF-8 show the same replacement; controls show nothing.
    const shapedLine bad = s.shape("a\xFF"
                                   "b\x01");
    ASSERT_EQ(bad.glyphs.size(), 3u);
    EXPECT_EQ(bad.glyphs[1].glyph, missing.glyphs[1].glyph);
}

} // namespace
