// The UI's glyphs: the text shown decides which characters the font atlas holds. The primary font
// (a monospaced one) gives what it has; every other character comes from an installed font that
// fontconfig finds for it (Debian's usual files when fontconfig finds none), merged into the same
// ImGui font. The atlas starts with printable ASCII and U+FFFD and grows when a new character
// appears, so a CJK name costs its own few glyphs, not the whole script.
#pragma once

#include "text/font_search.h"

#include <zel/text/cells.h>

#include <bitset>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct ImFontAtlas;

namespace zel::render::detail {

// ImGui's characters are 16-bit: a character beyond U+FFFF that went through its text field would
// come back as U+FFFD. While a text is edited, each such character stands as a private-use
// character of the Basic Multilingual Plane that the text does not hold; `standIns` maps them back.
struct standIns {
    std::map<char32_t, char32_t> original; // stand-in -> the character it stands for
};
std::string withStandIns(std::string_view utf8, standIns& table);
std::string withoutStandIns(std::string_view utf8, const standIns& table);

// The character cells a code point takes on screen (shared with the widget layout).
using text::cellsOf;

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

} // namespace zel::render::detail
