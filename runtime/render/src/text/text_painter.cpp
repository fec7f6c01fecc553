// Contents: the shaped-line cache, the glyph atlas (shelves in an RGBA picture, its texture grown
// by replacing it), drawing quads into ImGui's lists.

#include "text/text_painter.h"

#include "gl.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zel::render::detail {

namespace {

constexpr std::size_t maxLines = 4096; // shaped lines kept, least recently used go first
constexpr int firstHeight = 128;
constexpr int maxHeight = 4096;
constexpr int gutter = 1; // empty pixels around each glyph, so that sampling never bleeds

} // namespace

textPainter::textPainter(fontOptions options) : shaper_(std::move(options)) {}

textPainter::~textPainter() {
    if (texture_) {
        glDeleteTextures(1, &texture_);
    }
    if (!retired_.empty()) {
        glDeleteTextures(static_cast<GLsizei>(retired_.size()), retired_.data());
    }
}

const shapedLine& textPainter::lineOf(std::string_view utf8) {
    std::string key(utf8);
    const auto it = lines_.find(key);
    if (it != lines_.end()) {
        ages_.splice(ages_.begin(), ages_, it->second.age);
        return it->second.line;
    }
    if (lines_.size() >= maxLines) {
        lines_.erase(ages_.back());
        ages_.pop_back();
    }
    ++shapeCalls_;
    ages_.push_front(key);
    cached& c = lines_[std::move(key)];
    c.line = shaper_.shape(utf8);
    c.age = ages_.begin();
    return c.line;
}

float textPainter::width(std::string_view utf8) {
    return lineOf(utf8).width;
}

bool textPainter::place(int w, int h, int& x, int& y) {
    if (w + 2 * gutter > width_) {
        return false;
    }
    if (shelfX_ + w + 2 * gutter > width_) {
        shelfY_ += shelfH_;
        shelfX_ = 0;
        shelfH_ = 0;
    }
    const int needed = shelfY_ + std::max(shelfH_, h + 2 * gutter);
    if (needed > height_) {
        int grown = std::max(height_, firstHeight);
        while (grown < needed) {
            grown *= 2;
        }
        if (grown > maxHeight) {
            return false;
        }
        grow(grown);
    }
    x = shelfX_ + gutter;
    y = shelfY_ + gutter;
    shelfX_ += w + 2 * gutter;
    shelfH_ = std::max(shelfH_, h + 2 * gutter);
    return true;
}

// A taller picture and a new texture for it. The old texture gets what it lacked and stays until
// the frame is drawn: the quads drawn so far this frame point into it.
void textPainter::grow(int height) {
    if (texture_) {
        upload();
        retired_.push_back(texture_);
        texture_ = 0;
    }
    pixels_.resize(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height) * 4, 0);
    height_ = height;
    dirtyFrom_ = 0;
    dirtyTo_ = height_;
}

const textPainter::slot* textPainter::slotOf(std::uint16_t face, std::uint32_t glyph) {
    const std::uint64_t key = (std::uint64_t(face) << 32) | glyph;
    const auto it = slots_.find(key);
    if (it != slots_.end()) {
        return &it->second;
    }
    const shaperFace& f = shaper_.face(face);
    FT_Face ft = f.face;
    FT_Int32 flags = FT_LOAD_DEFAULT | FT_LOAD_TARGET_LIGHT;
    if (f.colour) {
        flags |= FT_LOAD_COLOR;
    }
    slot s;
    if (FT_Load_Glyph(ft, glyph, flags) == 0 &&
        (ft->glyph->format == FT_GLYPH_FORMAT_BITMAP ||
         FT_Render_Glyph(ft->glyph, FT_RENDER_MODE_NORMAL) == 0)) {
        const FT_Bitmap& b = ft->glyph->bitmap;
        const float scale = f.scale;
        const int w = static_cast<int>(std::ceil(static_cast<float>(b.width) * scale));
        const int h = static_cast<int>(std::ceil(static_cast<float>(b.rows) * scale));
        int x = 0, y = 0;
        bool placed = w > 0 && h > 0 && place(w, h, x, y);
        if (!placed && w > 0 && h > 0 && height_ >= maxHeight) {
            // The atlas is full: start it again. Quads drawn so far keep the old texture; what
            // is drawn from now on is rasterised anew.
            slots_.clear();
            shelfX_ = shelfY_ = shelfH_ = 0;
            grow(height_);
            std::fill(pixels_.begin(), pixels_.end(), std::uint8_t(0));
            placed = place(w, h, x, y);
        }
        if (placed) {
            s.x = static_cast<std::uint16_t>(x);
            s.y = static_cast<std::uint16_t>(y);
            s.w = static_cast<std::uint16_t>(w);
            s.h = static_cast<std::uint16_t>(h);
            s.left = static_cast<std::int16_t>(std::lround(ft->glyph->bitmap_left * scale));
            s.top = static_cast<std::int16_t>(std::lround(ft->glyph->bitmap_top * scale));
            s.colour = b.pixel_mode == FT_PIXEL_MODE_BGRA;
            // Each target pixel averages the source pixels it covers (a box filter: colour
            // bitmaps are far larger than the UI's size).
            for (int ty = 0; ty < h; ++ty) {
                for (int tx = 0; tx < w; ++tx) {
                    const int sx0 = static_cast<int>(static_cast<float>(tx) / scale);
                    const int sy0 = static_cast<int>(static_cast<float>(ty) / scale);
                    const int sx1 = std::min<int>(
                        static_cast<int>(b.width),
                        std::max(sx0 + 1, static_cast<int>(static_cast<float>(tx + 1) / scale)));
                    const int sy1 = std::min<int>(
                        static_cast<int>(b.rows),
                        std::max(sy0 + 1, static_cast<int>(static_cast<float>(ty + 1) / scale)));
                    float sum[4] = {0, 0, 0, 0};
                    int count = 0;
                    for (int sy = sy0; sy < sy1; ++sy) {
                        const unsigned char* row =
                            b.buffer + static_cast<std::ptrdiff_t>(sy) * b.pitch;
                        for (int sx = sx0; sx < sx1; ++sx) {
                            ++count;
                            if (b.pixel_mode == FT_PIXEL_MODE_BGRA) {
                                // Premultiplied blue, green, red, alpha.
                                sum[0] += row[sx * 4 + 2];
                                sum[1] += row[sx * 4 + 1];
                                sum[2] += row[sx * 4 + 0];
                                sum[3] += row[sx * 4 + 3];
                            } else if (b.pixel_mode == FT_PIXEL_MODE_MONO) {
                                sum[3] += (row[sx / 8] & (0x80 >> (sx % 8))) ? 255.0f : 0.0f;
                            } else {
                                sum[3] += row[sx];
                            }
                        }
                    }
                    std::uint8_t* out = &pixels_[(static_cast<std::size_t>(y + ty) *
                                                      static_cast<std::size_t>(width_) +
                                                  static_cast<std::size_t>(x + tx)) *
                                                 4];
                    const float a = count ? sum[3] / static_cast<float>(count) : 0.0f;
                    if (s.colour) {
                        // ImGui blends straight alpha: undo the premultiplication.
                        for (int k = 0; k < 3; ++k) {
                            const float v =
                                a > 0 ? sum[k] / static_cast<float>(count) * 255.0f / a : 0.0f;
                            out[k] = static_cast<std::uint8_t>(std::clamp(v, 0.0f, 255.0f));
                        }
                    } else {
                        out[0] = out[1] = out[2] = 255;
                    }
                    out[3] = static_cast<std::uint8_t>(std::clamp(a, 0.0f, 255.0f));
                }
            }
            dirtyFrom_ = dirtyFrom_ < 0 ? y : std::min(dirtyFrom_, y);
            dirtyTo_ = std::max(dirtyTo_, y + h);
        }
    }
    return &(slots_[key] = s);
}

void textPainter::draw(ImDrawList* list, ImVec2 at, ImU32 colour, std::string_view utf8) {
    const shapedLine& line = lineOf(utf8);
    if (line.glyphs.empty()) {
        return;
    }
    // Rasterise first: the atlas may grow (a new texture) while it takes new glyphs.
    std::vector<const slot*> slots;
    slots.reserve(line.glyphs.size());
    for (const placedGlyph& g : line.glyphs) {
        slots.push_back(slotOf(g.face, g.glyph));
    }
    if (height_ == 0) {
        return;
    }
    if (!texture_) {
        glGenTextures(1, &texture_);
        glBindTexture(GL_TEXTURE_2D, texture_);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width_, height_, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                     nullptr);
        dirtyFrom_ = 0;
        dirtyTo_ = height_;
    }
    const float baseline = std::round(at.y + shaper_.ascent());
    const float left = std::round(at.x);
    const float u = 1.0f / static_cast<float>(width_), v = 1.0f / static_cast<float>(height_);
    const ImU32 alphaOnly = (colour & IM_COL32_A_MASK) | (IM_COL32_WHITE & ~IM_COL32_A_MASK);
    list->PushTextureID(reinterpret_cast<ImTextureID>(static_cast<std::uintptr_t>(texture_)));
    for (std::size_t i = 0; i < line.glyphs.size(); ++i) {
        const slot* s = slots[i];
        if (!s || s->w == 0) {
            continue;
        }
        const placedGlyph& g = line.glyphs[i];
        const float x0 = left + std::round(g.x) + static_cast<float>(s->left);
        const float y0 = baseline + std::round(g.y) - static_cast<float>(s->top);
        list->PrimReserve(6, 4);
        list->PrimRectUV(ImVec2(x0, y0), ImVec2(x0 + s->w, y0 + s->h), ImVec2(s->x * u, s->y * v),
                         ImVec2((s->x + s->w) * u, (s->y + s->h) * v),
                         s->colour ? alphaOnly : colour);
    }
    list->PopTextureID();
}

void textPainter::upload() {
    if (!texture_ || dirtyFrom_ < 0 || dirtyTo_ <= dirtyFrom_) {
        return;
    }
    GLint unpack = 4;
    glGetIntegerv(GL_UNPACK_ALIGNMENT, &unpack);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glBindTexture(GL_TEXTURE_2D, texture_);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, dirtyFrom_, width_, dirtyTo_ - dirtyFrom_, GL_RGBA,
                    GL_UNSIGNED_BYTE,
                    pixels_.data() + static_cast<std::size_t>(dirtyFrom_) * width_ * 4);
    glPixelStorei(GL_UNPACK_ALIGNMENT, unpack);
    dirtyFrom_ = dirtyTo_ = -1;
}

void textPainter::flush() {
    upload();
}

void textPainter::frameDone() {
    if (!retired_.empty()) {
        glDeleteTextures(static_cast<GLsizei>(retired_.size()), retired_.data());
        retired_.clear();
    }
}

} // namespace zel::render::detail
