// Where the UI's fonts come from: the primary font (the one the options name, else DejaVu Sans
// Mono), and for the characters it lacks the installed fonts that fontconfig prefers for them, with
// Debian's usual files for a machine where fontconfig finds none. The glyph set and the shaper
// both look their fonts up here.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace zel::render::detail {

// The fonts of the UI's text, for the glyph set and the shaper alike.
struct fontOptions {
    // Empty or unreadable: the glyph set uses ImGui's built-in font (ASCII and Latin-1 only) and
    // the shaper draws every script from the other fonts.
    std::string primaryFile;
    float size = 12.0f; // pixels from the lowest descender to the highest ascender
    int cellWidth = 7;  // the primary font's advance per character cell
    // Where to look for fonts beyond the primary one: fontconfig, then these files in order.
    bool useFontconfig = true;
    std::vector<std::string> knownFiles;
};

// `requested` when it names a regular file, else the path where Debian installs DejaVu Sans Mono.
std::string primaryFontFile(const std::string& requested);

// Debian's files for the scripts the primary font lacks: DejaVu Sans (Hebrew, more symbols), the
// Droid fallback (Chinese, Japanese, Korean), Noto Sans for Arabic and the scripts of India and
// South-East Asia.
const std::vector<std::string>& debianFontFiles();

// Looks for fonts that hold the characters of `left`: fontconfig's fonts for `family` in its order
// of preference (with useFontconfig), then `knownFiles`. take(file, index) is offered each font
// that holds one of them and removes from `left` what the font gives.
void findFonts(std::vector<char32_t>& left, const char* family, bool useFontconfig,
               const std::vector<std::string>& knownFiles,
               const std::function<void(const std::string& file, int index)>& take);

// One line on stderr naming characters that no installed font has.
void reportMissing(const std::vector<char32_t>& left);

} // namespace zel::render::detail
