// Lines in other writing systems as the renderer draws them, compared by region with what
// HarfBuzz's own tool (hb-view) draws from the same font at the same size: Arabic joined and right
// to left, Hebrew with digits, Devanagari conjuncts, a mixed Latin and Arabic line, an emoji.
#include "text/text_shaper.h"

#include <zel/render/backend.h>
#include <zel/render/image.h>
#include <zel/render/screen.h>

#include <process.h>

#include <ft2build.h>
#include FT_FREETYPE_H

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

using namespace zel::render;

namespace {

const std::string dejavuMono = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";
constexpr int width = 480, height = 120;

// Ink: a mask of the pixels that carry at least half a glyph's coverage.
struct mask {
    int w = 0, h = 0;
    std::vector<bool> on;
    bool at(int x, int y) const { return on[static_cast<std::size_t>(y * w + x)]; }
    int count() const { return static_cast<int>(std::count(on.begin(), on.end(), true)); }
};

// The smallest rectangle around the ink of `im` inside (x0, y0)-(x1, y1), with `inked` deciding.
template <class F> mask inkOf(const image& im, int x0, int y0, int x1, int y1, F inked) {
    int left = x1, right = x0 - 1, top = y1, bottom = y0 - 1;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            if (inked(im.pixel(x, y))) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
    mask m;
    if (right < left)
        return m;
    m.w = right - left + 1;
    m.h = bottom - top + 1;
    for (int y = top; y <= bottom; ++y)
        for (int x = left; x <= right; ++x)
            m.on.push_back(inked(im.pixel(x, y)));
    return m;
}

struct match {
    double score = 0; // the share of ink on each side with ink of the other within one pixel
    int x = -1;       // where in the line the reference fits best
};

// Slides the reference over the line and keeps the place where the two agree best. At 12 pixels a
// stroke is one pixel wide, so ink counts as matched when the other has ink within one pixel
// (hinting and rounding differ between the two rasterisers); the score is the smaller of the
// two shares, so extra or missing strokes on either side lower it.
match bestPlace(const mask& line, const mask& ref) {
    auto near = [](const mask& m, int x, int y) {
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const int nx = x + dx, ny = y + dy;
                if (nx >= 0 && ny >= 0 && nx < m.w && ny < m.h && m.at(nx, ny))
                    return true;
            }
        return false;
    };
    match best;
    for (int dy = std::min(0, line.h - ref.h) - 2; dy <= std::max(0, line.h - ref.h) + 2; ++dy)
        for (int dx = -2; dx <= line.w - ref.w + 2; ++dx) {
            int refInk = 0, refMatched = 0, lineInk = 0, lineMatched = 0;
            for (int y = 0; y < ref.h; ++y)
                for (int x = 0; x < ref.w; ++x) {
                    const int lx = x + dx, ly = y + dy;
                    if (ref.at(x, y)) {
                        ++refInk;
                        refMatched += near(line, lx, ly);
                    }
                    if (lx >= 0 && ly >= 0 && lx < line.w && ly < line.h && line.at(lx, ly)) {
                        ++lineInk;
                        // Shift back into the reference's frame.
                        lineMatched += near(ref, x, y);
                    }
                }
            const double score = refInk && lineInk
                                     ? std::min(static_cast<double>(refMatched) / refInk,
                                                static_cast<double>(lineMatched) / lineInk)
                                     : 0;
            if (score > best.score)
                best = {score, dx};
        }
    return best;
}

class shapedText : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists("/usr/bin/hb-view") || !std::filesystem::exists(dejavuMono))
            GTEST_SKIP() << "needs hb-view (libharfbuzz-bin) and fonts-dejavu-core";
        backendOptions o;
        o.width = width;
        o.height = height;
        v = screen::create(makeOffscreenBackend(o), nullptr);
        ASSERT_TRUE(v);
        detail::fontOptions so;
        so.primaryFile = dejavuMono;
        shaper = std::make_unique<detail::textShaper>(so);
        dir = std::filesystem::temp_directory_path() /
              ("zel_text_golden_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    // The heads-up line: bright letters over a black scene, at the bottom left.
    mask drawn(const std::string& text) {
        frame f;
        f.background = {0, 0, 0, 1};
        f.hud = {text};
        last = v->capture(f);
        return inkOf(last, 0, height - 30, width, height,
                     [](const std::uint8_t* p) { return p[0] + p[1] + p[2] > 3 * 128; });
    }

    // What hb-view draws of `text` with the face that draws `probe` in the renderer (or the
    // face of the glyph at `glyphIndex` of the shaped `probeLine`), at the renderer's size.
    mask reference(const std::string& text, const std::string& direction, const std::string& file) {
        FT_Library lib = nullptr;
        FT_Init_FreeType(&lib);
        FT_Face face = nullptr;
        double em = 0;
        if (FT_New_Face(lib, file.c_str(), 0, &face) == 0) {
            FT_Size_RequestRec request{};
            request.type = FT_SIZE_REQUEST_TYPE_REAL_DIM;
            request.height = 12 * 64;
            FT_Request_Size(face, &request);
            em = static_cast<double>(face->size->metrics.x_scale) / 65536.0 * face->units_per_EM /
                 64.0;
            FT_Done_Face(face);
        }
        FT_Done_FreeType(lib);
        const std::string png = (dir / ("ref" + std::to_string(++made) + ".png")).string();
        zel::proc::processOptions run;
        run.args = {"/usr/bin/hb-view",
                    "--font-file=" + file,
                    "--font-size=" + std::to_string(em),
                    "--direction=" + direction,
                    "--margin=2",
                    "--output-format=png",
                    "--output-file=" + png,
                    text};
        const auto r = zel::proc::runProcess(run);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::string why;
        const image im = readImage(png, &why);
        EXPECT_FALSE(im.empty()) << why;
        return inkOf(im, 0, 0, im.width, im.height,
                     [](const std::uint8_t* p) { return p[0] + p[1] + p[2] < 3 * 128; });
    }
    std::string fontOf(char32_t c) { return shaper->sourceOf(c); }

    std::unique_ptr<screen> v;
    std::unique_ptr<detail::textShaper> shaper;
    std::filesystem::path dir;
    image last;
    int made = 0;
};

constexpr double agree = 0.85; // a wrong form or order scores far less

TEST_F(shapedText, arabicJoinsAndRunsRightToLeftAsHbViewDrawsIt) {
    const std::string word = "مرحبا بالعالم";
    const mask line = drawn(word);
    const std::string font = fontOf(U'م');
    const match right = bestPlace(line, reference(word, "rtl", font));
    EXPECT_GE(right.score, agree);
    // The same letters left to right, and each letter alone (no joining), do not fit.
    EXPECT_LT(bestPlace(line, reference(word, "ltr", font)).score, right.score - 0.15);
    std::string apart;
    for (std::size_t i = 0; i < word.size();) {
        const std::size_t n = (static_cast<unsigned char>(word[i]) & 0xE0) == 0xC0 ? 2 : 1;
        apart += word.substr(i, n) + "\u200C"; // zero-width non-joiner
        i += n;
    }
    EXPECT_LT(bestPlace(line, reference(apart, "rtl", font)).score, right.score - 0.15);
}

TEST_F(shapedText, hebrewRunsRightToLeftAndItsNumberLeftToRight) {
    const mask line = drawn("שלום 123");
    // Visual order: the number at the left, then the word, its first letter rightmost.
    const detail::shapedLine shaped = shaper->shape("שלום 123");
    ASSERT_FALSE(shaped.glyphs.empty());
    const std::string digits = shaper->face(shaped.glyphs.front().face).path;
    const match number = bestPlace(line, reference("123", "ltr", digits));
    const match word = bestPlace(line, reference("שלום", "rtl", fontOf(U'ש')));
    EXPECT_GE(number.score, agree);
    EXPECT_GE(word.score, agree);
    EXPECT_LT(number.x, word.x);
}

TEST_F(shapedText, devanagariFormsItsConjunctsAsHbViewDoes) {
    const std::string text = "क्षत्रिय नमस्ते";
    const mask line = drawn(text);
    const std::string font = fontOf(U'क');
    const match shaped = bestPlace(line, reference(text, "ltr", font));
    EXPECT_GE(shaped.score, agree);
    // Without shaping (a zero-width non-joiner after each virama) the picture differs.
    EXPECT_LT(bestPlace(line, reference("क्\u200Cषत्\u200Cरिय नमस्\u200Cते", "ltr", font)).score,
              shaped.score - 0.1);
}

TEST_F(shapedText, mixedLineKeepsItsLatinTextAtTheLeftAndTheNameInItsDirection) {
    const mask line = drawn("Geom: بيت");
    const match latin = bestPlace(line, reference("Geom:", "ltr", dejavuMono));
    const match name = bestPlace(line, reference("بيت", "rtl", fontOf(U'ب')));
    EXPECT_GE(latin.score, agree);
    EXPECT_GE(name.score, agree);
    EXPECT_LT(latin.x, name.x);
}

TEST_F(shapedText, emojiBeyondTheBasicPlaneIsDrawnInColour) {
    if (fontOf(U'\U0001F642').empty())
        GTEST_SKIP() << "no colour emoji font (fonts-noto-color-emoji)";
    const mask line = drawn("\U0001F642 alice");
    const match name = bestPlace(line, reference("alice", "ltr", dejavuMono));
    EXPECT_GE(name.score, agree);
    // hb-view draws no colour glyphs: the emoji is checked by its colours, in its two cells left
    // of the name.
    int yellow = 0;
    for (int y = height - 30; y < height; ++y)
        for (int x = 0; x < 8 + 14; ++x) {
            const std::uint8_t* p = last.pixel(x, y);
            yellow += p[0] > 180 && p[1] > 120 && p[2] < 100;
        }
    EXPECT_GT(yellow, 20) << "a yellow face";
}

} // namespace
