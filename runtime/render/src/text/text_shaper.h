// Text laid out as its readers write it: the paragraph's bidirectional order (FriBidi), runs of one
// script and one font, each shaped by HarfBuzz (joining, conjuncts, marks), glyphs from FreeType.
// The primary font is monospaced and keeps the character grid: its glyphs advance by whole cells.
// Every other script comes from the installed font that fontconfig prefers for it (Debian's usual
// files when fontconfig finds none) and keeps its own advances. Nothing here knows OpenGL.
#pragma once

#include "text/font_search.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct FT_FaceRec_;

namespace zel::render::detail {

// One face of one font file at the UI's size.
struct shaperFace {
    std::string path;
    int index = 0;
    FT_FaceRec_* face = nullptr;
    void* hb = nullptr;  // hb_font_t
    float scale = 1.0f;  // glyph pixels per shaped pixel: below 1 for a bitmap strike scaled down
    bool colour = false; // colour bitmaps (emoji)
};

// A glyph at its place in a line: x from the line's left edge, y below the baseline (positive
// down).
struct placedGlyph {
    std::uint16_t face = 0;
    std::uint32_t glyph = 0;
    float x = 0;
    float y = 0;
};

struct shapedLine {
    std::vector<placedGlyph> glyphs;
    float width = 0;
};

class textShaper {
public:
    explicit textShaper(fontOptions options);
    ~textShaper();
    textShaper(const textShaper&) = delete;
    textShaper& operator=(const textShaper&) = delete;

    // One line of UTF-8 (bytes that are not UTF-8 show as U+FFFD; control characters as nothing),
    // in visual order, left to right. Characters that no installed font has show as U+FFFD; one
    // line on stderr names them, once each.
    shapedLine shape(std::string_view utf8);

    // The baseline's distance below a line's top edge, in pixels.
    float ascent() const { return ascent_; }
    const shaperFace& face(std::uint16_t i) const { return *faces_[i]; }
    std::size_t faceCount() const { return faces_.size(); }
    // The file of the face that draws `c` (empty: none), for tests and diagnostics.
    std::string sourceOf(char32_t c);

private:
    int load(const std::string& path, int index);
    int fontFor(char32_t c, bool primaryAllowed);
    void resolve(const std::vector<char32_t>& chars);

    fontOptions options_;
    std::vector<std::unique_ptr<shaperFace>> faces_;
    int primary_ = -1;
    float ascent_ = 0;
    std::map<char32_t, int> fallback_; // resolved characters; -1: no font has it
    void* buffer_ = nullptr;           // hb_buffer_t, reused
};

} // namespace zel::render::detail
