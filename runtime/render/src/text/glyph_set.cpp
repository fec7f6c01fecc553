// Contents: stand-ins for the characters past U+FFFF; the glyph set (font files, atlas build).

#include "text/glyph_set.h"

#include <zel/text/utf8.h>

#include <imgui.h>
#include <stb_truetype.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>

namespace zel::render::detail {

std::string withStandIns(std::string_view utf8, standIns& table) {
    std::set<char32_t> used;
    text::forEachCodePoint(utf8, [&](char32_t c) { used.insert(c); });
    std::map<char32_t, char32_t> given; // character -> its stand-in
    for (const auto& [standIn, c] : table.original) {
        given[c] = standIn;
    }
    char32_t next = 0xF8FF; // downwards through the private use area
    std::string out;
    out.reserve(utf8.size());
    text::forEachCodePoint(utf8, [&](char32_t c) {
        if (c <= 0xFFFF) {
            text::appendUtf8(out, c);
            return;
        }
        auto it = given.find(c);
        if (it == given.end()) {
            while (next >= 0xE000 && (used.count(next) || table.original.count(next))) {
                --next;
            }
            if (next < 0xE000) {
                text::appendUtf8(out, 0xFFFD); // 6,400 distinct characters beyond the plane
                return;
            }
            table.original[next] = c;
            it = given.emplace(c, next).first;
        }
        text::appendUtf8(out, it->second);
    });
    return out;
}

std::string withoutStandIns(std::string_view utf8, const standIns& table) {
    std::string out;
    out.reserve(utf8.size() + 8);
    text::forEachCodePoint(utf8, [&](char32_t c) {
        const auto it = table.original.find(c);
        text::appendUtf8(out, it == table.original.end() ? c : it->second);
    });
    return out;
}

// ---- glyphSet --------------------------------------------------------------------------------

struct glyphSet::font {
    std::string path;
    int index = 0; // the face in a collection
    std::vector<unsigned char> data;
    stbtt_fontinfo info{};

    bool has(char32_t c) const { return stbtt_FindGlyphIndex(&info, int(c)) != 0; }
};

glyphSet::glyphSet(fontOptions options) : options_(std::move(options)) {
    // What every frame may need before any text asks: printable ASCII (ImGui's own widgets) and
    // U+FFFD, the fallback drawn for a character no font has.
    for (char32_t c = 0x20; c < 0x7F; ++c) {
        asked_.set(c);
        wanted_.push_back(c);
    }
    asked_.set(0xFFFD);
    wanted_.push_back(0xFFFD);
}

glyphSet::~glyphSet() = default;

bool glyphSet::want(std::string_view utf8) {
    bool grew = false;
    text::forEachCodePoint(utf8, [&](char32_t c) {
        // Below U+0020 nothing is drawn; beyond U+FFFF the UI draws U+FFFD.
        if (c < 0x20 || c > 0xFFFF || asked_.test(c)) {
            return;
        }
        asked_.set(c);
        wanted_.push_back(c);
        grew = true;
    });
    stale_ = stale_ || grew;
    return grew;
}

glyphSet::font* glyphSet::load(const std::string& path, int index) {
    for (const auto& f : fonts_) {
        if (f->path == path && f->index == index) {
            return f.get();
        }
    }
    auto f = std::make_unique<font>();
    f->path = path;
    f->index = index;
    std::ifstream in(path, std::ios::binary);
    f->data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        return nullptr;
    }
    const int offset = f->data.empty() ? -1 : stbtt_GetFontOffsetForIndex(f->data.data(), index);
    if (offset < 0 || !stbtt_InitFont(&f->info, f->data.data(), offset)) {
        return nullptr;
    }
    fonts_.push_back(std::move(f));
    return fonts_.back().get();
}

// Finds a font for each of `missing` (characters the primary font lacks): fontconfig's fonts in
// its order of preference for a monospaced face holding them, then the known files.
void glyphSet::resolve(const std::vector<char32_t>& missing) {
    std::vector<char32_t> left = missing;
    auto take = [&](font* f) {
        if (!f) {
            return;
        }
        std::erase_if(left, [&](char32_t c) {
            if (!f->has(c)) {
                return false;
            }
            source_[c] = f;
            return true;
        });
    };
    findFonts(left, "monospace", options_.useFontconfig, options_.knownFiles,
              [&](const std::string& file, int index) { take(load(file, index)); });
    if (left.empty()) {
        return;
    }
    reportMissing(left);
    for (char32_t c : left) {
        source_[c] = nullptr;
    }
}

bool glyphSet::build(ImFontAtlas& atlas) {
    atlas.Clear();
    ranges_.clear();
    stale_ = false;

    if (fonts_.empty() && !options_.primaryFile.empty()) {
        primaryLoaded_ = load(options_.primaryFile, 0) != nullptr;
    }
    if (!primaryLoaded_ && !reportedPrimary_) {
        reportedPrimary_ = true;
        std::fprintf(stderr, "UI font: cannot read %s; using the built-in font\n",
                     options_.primaryFile.empty() ? "(none given)" : options_.primaryFile.c_str());
    }
    font* primary = primaryLoaded_ ? fonts_.front().get() : nullptr;

    // Who draws each wanted character: the primary font when it has it (the built-in font has
    // ASCII and Latin-1), else the font found for it.
    std::vector<char32_t> missing;
    std::map<std::pair<font*, int>, std::vector<char32_t>> groups; // (font, cells) -> characters
    auto primaryHas = [&](char32_t c) { return primary ? primary->has(c) : c < 0x100; };
    for (char32_t c : wanted_) {
        if (!primaryHas(c) && !source_.count(c)) {
            missing.push_back(c);
        }
    }
    if (!missing.empty()) {
        resolve(missing);
    }
    for (char32_t c : wanted_) {
        font* from = primaryHas(c) ? primary : source_[c];
        if (from || primaryHas(c)) {
            groups[{from, cellsOf(c)}].push_back(c);
        }
    }

    // ImGui keeps a pointer to each source's ranges until the next build; ranges_ holds them.
    auto rangesOf = [&](std::vector<char32_t> chars) -> const ImWchar* {
        std::sort(chars.begin(), chars.end());
        std::vector<ImWchar> r;
        for (std::size_t i = 0; i < chars.size();) {
            std::size_t j = i;
            while (j + 1 < chars.size() && chars[j + 1] == chars[j] + 1) {
                ++j;
            }
            r.push_back(ImWchar(chars[i]));
            r.push_back(ImWchar(chars[j]));
            i = j + 1;
        }
        r.push_back(0);
        ranges_.push_back(std::move(r));
        return ranges_.back().data();
    };
    auto configFor = [&](int cells, bool merge) {
        ImFontConfig config;
        config.FontDataOwnedByAtlas = false;
        config.MergeMode = merge;
        config.GlyphMinAdvanceX = static_cast<float>(options_.cellWidth * cells);
        config.GlyphMaxAdvanceX = config.GlyphMinAdvanceX;
        return config;
    };

    // The primary font's one-cell glyphs first: they make the font that the rest merges into.
    ranges_.reserve(groups.size() + 1);
    bool first = true;
    if (primary) {
        ImFontConfig config = configFor(1, false);
        const ImWchar* ranges = rangesOf(groups[{primary, 1}]);
        first = atlas.AddFontFromMemoryTTF(primary->data.data(), int(primary->data.size()),
                                           options_.size, &config, ranges) == nullptr;
    }
    if (first) {
        ImFontConfig config = configFor(1, false);
        atlas.AddFontDefault(&config);
    }
    for (const auto& [key, chars] : groups) {
        const auto [from, cells] = key;
        if (!from || (from == primary && cells == 1)) {
            continue;
        }
        ImFontConfig config = configFor(cells, true);
        config.FontNo = from->index;
        atlas.AddFontFromMemoryTTF(from->data.data(), int(from->data.size()), options_.size,
                                   &config, rangesOf(chars));
    }
    return atlas.Build();
}

std::string glyphSet::sourceOf(char32_t c) const {
    if (c > 0xFFFF || !asked_.test(c)) {
        return {};
    }
    if (primaryLoaded_ && fonts_.front()->has(c)) {
        return fonts_.front()->path;
    }
    const auto it = source_.find(c);
    return it != source_.end() && it->second ? it->second->path : std::string();
}

} // namespace zel::render::detail
