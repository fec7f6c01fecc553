// The UI's glyphs: the text shown decides which characters the font atlas holds. The primary font
// (a monospaced one) gives what it has; every other character comes from an installed font that
// fontconfig finds for it (Debian's usual files when fontconfig finds none), merged into the same
// ImGui font. The atlas starts with printable ASCII and U+FFFD and grows when a new character
// appears, so a CJK name costs its own few glyphs, not the whole script.
#pragma once

#include <zel/text/cells.h>

#include <bitset>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct ImFontAtlas;

namespace zel::render::detail {

// Calls f(code point) for each character of `utf8`. A byte that does not begin a well-formed
// sequence (stray continuation byte, overlong form, surrogate, beyond U+10FFFF, cut short) is one
// U+FFFD, and decoding goes on with the next byte.
template <class F> void forEachCodePoint(std::string_view utf8, F&& f);

// True when `utf8` is well-formed; otherwise a copy with each bad byte replaced by U+FFFD.
bool wellFormedUtf8(std::string_view utf8);
std::string repairUtf8(std::string_view utf8);

// ImGui's characters are 16-bit: a character beyond U+FFFF that went through its text field would
// come back as U+FFFD. While a text is edited, each such character stands as a private-use
// character of the Basic Multilingual Plane that the text does not hold; `standIns` maps them back.
struct standIns {
    std::map<char32_t, char32_t> original; // stand-in -> the character it stands for
};
std::string withStandIns(std::string_view utf8, standIns& table);
std::string withoutStandIns(std::string_view utf8, const standIns& table);
void appendUtf8(std::string& out, char32_t c);

// Looks for fonts that hold the characters of `left`: fontconfig's fonts for `family` in its order
// of preference (with useFontconfig), then `knownFiles`. take(file, index) is offered each font
// that holds one of them and removes from `left` what the font gives.
void findFonts(std::vector<char32_t>& left, const char* family, bool useFontconfig,
               const std::vector<std::string>& knownFiles,
               const std::function<void(const std::string& file, int index)>& take);
// One line on stderr naming characters that no installed font has.
void reportMissing(const std::vector<char32_t>& left);

// The character cells a code point takes on screen (shared with the widget layout).
using text::cellsOf;

struct fontOptions {
    std::string primaryFile; // empty or unreadable: the built-in font (ASCII and Latin-1 only)
    float size = 12.0f;
    int cellWidth = 7; // every glyph advances this many pixels per cell
    // Where to look for fonts beyond the primary one: fontconfig, then these files in order.
    bool useFontconfig = true;
    std::vector<std::string> knownFiles;
};

class glyphSet {
public:
    explicit glyphSet(fontOptions options);
    ~glyphSet();
    glyphSet(const glyphSet&) = delete;
    glyphSet& operator=(const glyphSet&) = delete;

    // Notes the characters of `utf8`. True when one of them was not asked for before: the atlas
    // must be built again before it can show them.
    bool want(std::string_view utf8);
    bool stale() const { return stale_; }

    // Clears `atlas` and fills it with one font: the primary font's glyphs, merged with the other
    // fonts' glyphs for the characters the primary font lacks. Characters that no installed font
    // has show as U+FFFD (one line on stderr names them, once). False when the atlas could not be
    // built at all.
    bool build(ImFontAtlas& atlas);

    // The file that gives the glyph of `c` in the last build, or empty (not asked for, or no font
    // has it).
    std::string sourceOf(char32_t c) const;
    std::size_t wantedCount() const { return wanted_.size(); }

private:
    struct font;
    font* load(const std::string& path, int index);
    void resolve(const std::vector<char32_t>& missing);

    fontOptions options_;
    std::vector<std::unique_ptr<font>> fonts_; // fonts_[0] is the primary font, when it loaded
    bool primaryLoaded_ = false;
    std::bitset<0x10000> asked_;
    std::vector<char32_t> wanted_;
    std::map<char32_t, font*> source_;                // resolved characters; null: no font has it
    std::vector<std::vector<unsigned short>> ranges_; // the last build's glyph ranges
    bool stale_ = true;
    bool reportedPrimary_ = false;
};

// ---- template definition
// -------------------------------------------------------------------------

// Decodes one character at p (before end) and moves p past it. False for a byte that does not
// begin a well-formed sequence: c is then U+FFFD and p moves one byte.
inline bool decodeUtf8(const unsigned char*& p, const unsigned char* end, char32_t& c) {
    const unsigned char b = *p;
    if (b < 0x80) {
        c = b;
        ++p;
        return true;
    }
    int length = 0;
    char32_t lowest = 0;
    c = 0;
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
        c = b & 0x1Fu;
        lowest = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        c = b & 0x0Fu;
        lowest = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        c = b & 0x07u;
        lowest = 0x10000;
    }
    bool ok = length > 0 && end - p >= length;
    for (int i = 1; ok && i < length; ++i) {
        ok = (p[i] & 0xC0) == 0x80;
        c = (c << 6) | (p[i] & 0x3Fu);
    }
    if (ok && c >= lowest && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF)) {
        p += length;
        return true;
    }
    c = 0xFFFD;
    ++p;
    return false;
}

template <class F> void forEachCodePoint(std::string_view s, F&& f) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* const end = p + s.size();
    char32_t c = 0;
    while (p < end) {
        decodeUtf8(p, end, c);
        f(c);
    }
}

} // namespace zel::render::detail
