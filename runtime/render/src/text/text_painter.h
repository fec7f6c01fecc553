// Shaped text on screen: lines shaped once and kept (a still window shapes nothing per frame),
// glyphs rasterised by FreeType into an atlas of their own that grows with the glyphs shown, and
// quads in ImGui's draw lists at the shaper's positions. Needs the GL context current while it
// draws; the textures live until the painter goes.
#pragma once

#include "text/text_shaper.h"

#include <imgui.h>

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zel::render::detail {

class textPainter {
public:
    explicit textPainter(fontOptions options);
    ~textPainter();
    textPainter(const textPainter&) = delete;
    textPainter& operator=(const textPainter&) = delete;

    // The line's width in pixels.
    float width(std::string_view utf8);
    // Draws one line with its top left corner at `at`. Colour glyphs (emoji) keep their colours
    // and take only the alpha of `colour`.
    void draw(ImDrawList* list, ImVec2 at, ImU32 colour, std::string_view utf8);
    // Before ImGui's draw data is rendered: uploads the glyphs added this frame.
    void flush();
    // After it was rendered: frees the textures replaced this frame.
    void frameDone();

    textShaper& shaper() { return shaper_; }
    // What it holds, for tests and benchmarks.
    std::size_t shapedCount() const { return lines_.size(); }
    std::size_t shapeCalls() const { return shapeCalls_; }
    std::size_t glyphCount() const { return slots_.size(); }
    int atlasHeight() const { return height_; }

private:
    struct slot {
        std::uint16_t x = 0, y = 0, w = 0, h = 0;
        std::int16_t left = 0, top = 0; // the bitmap's corner from the glyph's origin
        bool colour = false;
    };
    struct cached {
        shapedLine line;
        std::list<std::string>::iterator age;
    };

    const shapedLine& lineOf(std::string_view utf8);
    const slot* slotOf(std::uint16_t face, std::uint32_t glyph);
    bool place(int w, int h, int& x, int& y);
    void grow(int height);
    void upload();

    textShaper shaper_;
    std::unordered_map<std::string, cached> lines_;
    std::list<std::string> ages_; // most recently used first
    std::size_t shapeCalls_ = 0;
    std::unordered_map<std::uint64_t, slot> slots_;
    std::vector<std::uint8_t> pixels_; // RGBA, width_ x height_
    int width_ = 1024;
    int height_ = 0;
    int shelfX_ = 0, shelfY_ = 0, shelfH_ = 0;
    int dirtyFrom_ = -1, dirtyTo_ = -1; // rows not yet uploaded
    unsigned texture_ = 0;
    std::vector<unsigned> retired_; // textures replaced this frame, still used by its draw lists
};

} // namespace zel::render::detail
