// Contents: font faces (FreeType, HarfBuzz), the font of each character (primary font or
// fontconfig's), the line's runs (bidi level, script, font) in visual order, shaping.

#include "text/text_shaper.h"

#include "text/font_search.h"

#include <fribidi.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include <hb-ft.h>
#include <hb.h>

#include <zel/text/cells.h>
#include <zel/text/utf8.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zel::render::detail {

namespace {

hb_font_t* hbOf(const shaperFace& f) {
    return static_cast<hb_font_t*>(f.hb);
}

// The scripts the primary (monospaced, Latin-centred) font may draw; it may hold a few letters of
// others (basic Arabic), but drawn from it they would not join.
bool primaryScript(hb_script_t s) {
    switch (s) {
    case HB_SCRIPT_COMMON:
    case HB_SCRIPT_INHERITED:
    case HB_SCRIPT_UNKNOWN:
    case HB_SCRIPT_LATIN:
    case HB_SCRIPT_GREEK:
    case HB_SCRIPT_CYRILLIC:
    case HB_SCRIPT_ARMENIAN:
    case HB_SCRIPT_GEORGIAN:
        return true;
    default:
        return false;
    }
}

// Scripts the monospaced grid serves: the primary font's and the East Asian ones, whose characters
// stand alone, so each glyph takes its cells. Every other script joins, reorders or stacks its
// letters and keeps the font's own advances.
bool gridScript(hb_script_t s) {
    return primaryScript(s) || s == HB_SCRIPT_HAN || s == HB_SCRIPT_HIRAGANA ||
           s == HB_SCRIPT_KATAKANA || s == HB_SCRIPT_HANGUL || s == HB_SCRIPT_BOPOMOFO;
}

bool neutral(hb_script_t s) {
    return s == HB_SCRIPT_COMMON || s == HB_SCRIPT_INHERITED || s == HB_SCRIPT_UNKNOWN;
}

struct run {
    std::size_t start = 0, length = 0;
    FriBidiLevel level = 0;
    hb_script_t script = HB_SCRIPT_COMMON;
    int face = -1;
};

FT_Library library() {
    // One FreeType library for the process; faces are only used on the thread that draws.
    static FT_Library lib = [] {
        FT_Library l = nullptr;
        return FT_Init_FreeType(&l) == 0 ? l : nullptr;
    }();
    return lib;
}

} // namespace

textShaper::textShaper(fontOptions options) : options_(std::move(options)) {
    buffer_ = hb_buffer_create();
    if (!options_.primaryFile.empty()) {
        primary_ = load(options_.primaryFile, 0);
        if (primary_ < 0) {
            std::fprintf(stderr, "UI font: cannot read %s; every script from the other fonts\n",
                         options_.primaryFile.c_str());
        }
    }
    if (primary_ >= 0) {
        ascent_ = static_cast<float>(faces_[primary_]->face->size->metrics.ascender) / 64.0f;
    } else {
        ascent_ = std::round(options_.size * 0.8f);
    }
}

textShaper::~textShaper() {
    for (auto& f : faces_) {
        hb_font_destroy(hbOf(*f)); // and with it the face
    }
    hb_buffer_destroy(static_cast<hb_buffer_t*>(buffer_));
}

int textShaper::load(const std::string& path, int index) {
    for (std::size_t i = 0; i < faces_.size(); ++i) {
        if (faces_[i]->path == path && faces_[i]->index == index) {
            return static_cast<int>(i);
        }
    }
    if (faces_.size() >= 0xFFFF || !library()) {
        return -1;
    }
    FT_Face face = nullptr;
    if (FT_New_Face(library(), path.c_str(), index, &face) != 0) {
        return -1;
    }
    auto f = std::make_unique<shaperFace>();
    f->path = path;
    f->index = index;
    f->face = face;
    f->colour = FT_HAS_COLOR(face);
    if (FT_IS_SCALABLE(face)) {
        // The size ImGui gives its fonts: the ascender-to-descender height, not the em.
        FT_Size_RequestRec request{};
        request.type = FT_SIZE_REQUEST_TYPE_REAL_DIM;
        request.height = static_cast<FT_Long>(options_.size * 64.0f);
        if (FT_Request_Size(face, &request) != 0) {
            FT_Done_Face(face);
            return -1;
        }
    } else {
        // A font of bitmap strikes (colour emoji): the strike nearest the size, scaled to it.
        if (face->num_fixed_sizes <= 0) {
            FT_Done_Face(face);
            return -1;
        }
        int best = 0;
        for (int i = 1; i < face->num_fixed_sizes; ++i) {
            const auto d = [&](int k) {
                return std::abs(face->available_sizes[k].height - static_cast<int>(options_.size));
            };
            if (d(i) < d(best)) {
                best = i;
            }
        }
        if (FT_Select_Size(face, best) != 0) {
            FT_Done_Face(face);
            return -1;
        }
        const float ppem = static_cast<float>(face->size->metrics.y_ppem);
        f->scale = ppem > 0 ? options_.size / ppem : 1.0f;
    }
    f->hb = hb_ft_font_create_referenced(face);
    FT_Done_Face(face); // the HarfBuzz font holds its own reference now
    faces_.push_back(std::move(f));
    return static_cast<int>(faces_.size() - 1);
}

// Finds a font for each of `chars`: fontconfig's fonts in its order of preference for a face
// holding them, then the known files. The primary font is never a fallback: it was passed over.
void textShaper::resolve(const std::vector<char32_t>& chars) {
    std::vector<char32_t> left = chars;
    auto take = [&](int face) {
        if (face < 0 || face == primary_) {
            return;
        }
        FT_Face ft = faces_[face]->face;
        std::erase_if(left, [&](char32_t c) {
            if (FT_Get_Char_Index(ft, c) == 0) {
                return false;
            }
            fallback_[c] = face;
            return true;
        });
    };
    findFonts(left, "sans-serif", options_.useFontconfig, options_.knownFiles,
              [&](const std::string& file, int index) { take(load(file, index)); });
    // What no font has: the primary font, when it has it, rather than nothing.
    if (primary_ >= 0) {
        std::erase_if(left, [&](char32_t c) {
            if (FT_Get_Char_Index(faces_[primary_]->face, c) == 0) {
                return false;
            }
            fallback_[c] = primary_;
            return true;
        });
    }
    if (left.empty()) {
        return;
    }
    reportMissing(left);
    for (char32_t c : left) {
        fallback_[c] = -1;
    }
}

int textShaper::fontFor(char32_t c, bool primaryAllowed) {
    if (primaryAllowed && primary_ >= 0 && FT_Get_Char_Index(faces_[primary_]->face, c) != 0) {
        return primary_;
    }
    const auto it = fallback_.find(c);
    return it == fallback_.end() ? -2 : it->second;
}

std::string textShaper::sourceOf(char32_t c) {
    // Shape the character alone: the answer is the face its first glyph came from.
    std::string buf;
    text::appendUtf8(buf, c);
    const shapedLine line = shape(buf);
    if (line.glyphs.empty() || line.glyphs.front().glyph == 0) {
        return {};
    }
    return faces_[line.glyphs.front().face]->path;
}

shapedLine textShaper::shape(std::string_view utf8) {
    shapedLine out;
    // The characters, as they are stored; bad bytes become U+FFFD, controls are dropped.
    std::vector<FriBidiChar> text;
    text.reserve(utf8.size());
    text::forEachCodePoint(utf8, [&](char32_t c) {
        if (c == '\t') {
            text.push_back(' ');
        } else if (c >= 0x20 && c != 0x7F) {
            text.push_back(c);
        }
    });
    if (text.empty()) {
        return out;
    }
    const std::size_t n = text.size();

    // Bidirectional levels in a left-to-right paragraph: the UI's own text is Latin and keeps its
    // place; a name in a right-to-left script runs in its own direction inside it.
    std::vector<FriBidiCharType> types(n);
    std::vector<FriBidiBracketType> brackets(n);
    std::vector<FriBidiLevel> levels(n, 0);
    fribidi_get_bidi_types(text.data(), static_cast<FriBidiStrIndex>(n), types.data());
    fribidi_get_bracket_types(text.data(), static_cast<FriBidiStrIndex>(n), types.data(),
                              brackets.data());
    FriBidiParType direction = FRIBIDI_PAR_LTR;
    if (fribidi_get_par_embedding_levels_ex(types.data(), brackets.data(),
                                            static_cast<FriBidiStrIndex>(n), &direction,
                                            levels.data()) == 0) {
        std::fill(levels.begin(), levels.end(), FriBidiLevel(0));
    }

    // Scripts: a neutral character (space, digit, punctuation, combining mark) takes the script
    // of the letters before it, or at the start of the line of the first letter after it.
    hb_unicode_funcs_t* ufuncs = hb_unicode_funcs_get_default();
    std::vector<hb_script_t> scripts(n);
    for (std::size_t i = 0; i < n; ++i) {
        scripts[i] = hb_unicode_script(ufuncs, text[i]);
    }
    hb_script_t last = HB_SCRIPT_COMMON;
    for (std::size_t i = 0; i < n; ++i) {
        if (neutral(scripts[i])) {
            scripts[i] = last;
        } else {
            last = scripts[i];
        }
    }
    last = HB_SCRIPT_COMMON;
    for (std::size_t i = n; i-- > 0;) {
        if (neutral(scripts[i])) {
            scripts[i] = last;
        } else {
            last = scripts[i];
        }
    }

    // Fonts: characters not seen before are looked up in one go.
    std::vector<char32_t> unknown;
    for (std::size_t i = 0; i < n; ++i) {
        if (fontFor(text[i], primaryScript(scripts[i])) == -2 &&
            std::find(unknown.begin(), unknown.end(), text[i]) == unknown.end()) {
            unknown.push_back(text[i]);
        }
    }
    if (!unknown.empty()) {
        resolve(unknown);
    }
    std::vector<int> fonts(n);
    for (std::size_t i = 0; i < n; ++i) {
        int f = fontFor(text[i], primaryScript(scripts[i]));
        // A combining mark stays with the font of the letter it sits on, when that font has it.
        const bool mark = hb_unicode_general_category(ufuncs, text[i]) ==
                          HB_UNICODE_GENERAL_CATEGORY_NON_SPACING_MARK;
        if (mark && i > 0 && fonts[i - 1] >= 0 &&
            FT_Get_Char_Index(faces_[fonts[i - 1]]->face, text[i]) != 0) {
            f = fonts[i - 1];
        }
        if (f < 0) {
            text[i] = 0xFFFD; // no font has it
            f = fontFor(0xFFFD, true);
            if (f == -2) {
                resolve({0xFFFD});
                f = fontFor(0xFFFD, true);
            }
        }
        fonts[i] = f;
    }

    // Runs of one level, one script and one font, then in visual order (the bidi rule L2 applied
    // to whole runs: from the highest level down to the lowest odd one, reverse every sequence of
    // runs at that level or above).
    std::vector<run> runs;
    for (std::size_t i = 0; i < n; ++i) {
        if (runs.empty() || runs.back().level != levels[i] || runs.back().script != scripts[i] ||
            runs.back().face != fonts[i]) {
            runs.push_back({i, 0, levels[i], scripts[i], fonts[i]});
        }
        ++runs.back().length;
    }
    int highest = 0, lowestOdd = 255;
    for (const run& r : runs) {
        highest = std::max(highest, int(r.level));
        if (r.level % 2) {
            lowestOdd = std::min(lowestOdd, int(r.level));
        }
    }
    for (int level = highest; level >= lowestOdd && level > 0; --level) {
        for (std::size_t i = 0; i < runs.size();) {
            if (runs[i].level < level) {
                ++i;
                continue;
            }
            std::size_t j = i;
            while (j < runs.size() && runs[j].level >= level) {
                ++j;
            }
            std::reverse(runs.begin() + static_cast<std::ptrdiff_t>(i),
                         runs.begin() + static_cast<std::ptrdiff_t>(j));
            i = j;
        }
    }

    // Each run shaped with the whole line as context; glyphs come out left to right.
    auto* buffer = static_cast<hb_buffer_t*>(buffer_);
    float pen = 0;
    for (const run& r : runs) {
        if (r.face < 0) {
            continue;
        }
        const shaperFace& face = *faces_[r.face];
        hb_buffer_clear_contents(buffer);
        hb_buffer_add_codepoints(buffer, text.data(), static_cast<int>(n),
                                 static_cast<unsigned>(r.start), static_cast<int>(r.length));
        hb_buffer_set_direction(buffer, r.level % 2 ? HB_DIRECTION_RTL : HB_DIRECTION_LTR);
        hb_buffer_set_script(buffer, r.script);
        hb_buffer_set_language(buffer, hb_language_get_default());
        hb_buffer_set_cluster_level(buffer, HB_BUFFER_CLUSTER_LEVEL_MONOTONE_CHARACTERS);
        hb_shape(hbOf(face), buffer, nullptr, 0);
        unsigned count = 0;
        const hb_glyph_info_t* info = hb_buffer_get_glyph_infos(buffer, &count);
        const hb_glyph_position_t* pos = hb_buffer_get_glyph_positions(buffer, &count);
        // On the grid, each cluster advances by the cells of its characters; elsewhere by the
        // font's own advances.
        const bool grid = gridScript(r.script);
        std::vector<std::size_t> starts; // the clusters' first characters, ascending
        if (grid) {
            for (unsigned g = 0; g < count; ++g) {
                starts.push_back(info[g].cluster);
            }
            std::sort(starts.begin(), starts.end());
            starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
        }
        for (unsigned g = 0; g < count; ++g) {
            placedGlyph p;
            p.face = static_cast<std::uint16_t>(r.face);
            p.glyph = info[g].codepoint;
            p.x = pen + static_cast<float>(pos[g].x_offset) / 64.0f * face.scale;
            p.y = -static_cast<float>(pos[g].y_offset) / 64.0f * face.scale;
            float advance = static_cast<float>(pos[g].x_advance) / 64.0f * face.scale;
            if (grid) {
                const bool first = g == 0 || info[g - 1].cluster != info[g].cluster;
                advance = 0;
                if (first) {
                    const auto next =
                        std::upper_bound(starts.begin(), starts.end(), info[g].cluster);
                    const std::size_t end = next == starts.end() ? r.start + r.length : *next;
                    for (std::size_t c = info[g].cluster; c < end; ++c) {
                        if (hb_unicode_general_category(ufuncs, text[c]) !=
                            HB_UNICODE_GENERAL_CATEGORY_NON_SPACING_MARK) {
                            advance +=
                                static_cast<float>(options_.cellWidth * text::cellsOf(text[c]));
                        }
                    }
                    // A glyph narrower than its cells stands in their middle (a wide emoji in
                    // two cells); the monospaced font's glyphs fill theirs already.
                    const float own = static_cast<float>(pos[g].x_advance) / 64.0f * face.scale;
                    if (r.face != primary_ && own < advance) {
                        p.x += (advance - own) * 0.5f;
                    }
                }
            }
            pen += advance;
            out.glyphs.push_back(p);
        }
    }
    out.width = pen;
    return out;
}

} // namespace zel::render::detail
