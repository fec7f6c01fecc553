// Contents: the primary font's file; Debian's fallback files; fontconfig's fonts for a set of
// characters; the line about characters no font has.

#include "text/font_search.h"

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace zel::render::detail {

std::string primaryFontFile(const std::string& requested) {
    std::error_code ec;
    return !requested.empty() && std::filesystem::is_regular_file(requested, ec)
               ? requested
               : std::string("/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf");
}

const std::vector<std::string>& debianFontFiles() {
    static const std::vector<std::string> files = {
        "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
        "/usr/share/fonts/truetype/droid/DroidSansFallbackFull.ttf",
        "/usr/share/fonts/truetype/noto/NotoSansArabic-Regular.ttf",
        "/usr/share/fonts/truetype/noto/NotoSansHebrew-Regular.ttf",
        "/usr/share/fonts/truetype/noto/NotoSansDevanagari-Regular.ttf",
        "/usr/share/fonts/truetype/noto/NotoSansBengali-Regular.ttf",
        "/usr/share/fonts/truetype/noto/NotoSansTamil-Regular.ttf",
        "/usr/share/fonts/truetype/noto/NotoSansThai-Regular.ttf",
        "/usr/share/fonts/truetype/noto/NotoSansEthiopic-Regular.ttf",
        "/usr/share/fonts/truetype/noto/NotoSansGeorgian-Regular.ttf",
        "/usr/share/fonts/truetype/noto/NotoSansArmenian-Regular.ttf",
    };
    return files;
}

void findFonts(std::vector<char32_t>& left, const char* family, bool useFontconfig,
               const std::vector<std::string>& knownFiles,
               const std::function<void(const std::string& file, int index)>& take) {
    if (useFontconfig && !left.empty() && FcInit()) {
        FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>(family));
        FcCharSet* chars = FcCharSetCreate();
        for (char32_t c : left) {
            FcCharSetAddChar(chars, c);
        }
        FcPatternAddCharSet(pattern, FC_CHARSET, chars);
        FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
        FcDefaultSubstitute(pattern);
        FcResult result = FcResultNoMatch;
        FcFontSet* sorted = FcFontSort(nullptr, pattern, FcTrue, nullptr, &result);
        for (int i = 0; sorted && i < sorted->nfont && !left.empty(); ++i) {
            FcPattern* candidate = sorted->fonts[i];
            FcChar8* file = nullptr;
            FcCharSet* has = nullptr;
            int index = 0;
            if (FcPatternGetString(candidate, FC_FILE, 0, &file) != FcResultMatch ||
                FcPatternGetCharSet(candidate, FC_CHARSET, 0, &has) != FcResultMatch) {
                continue;
            }
            FcPatternGetInteger(candidate, FC_INDEX, 0, &index);
            const bool useful = std::any_of(left.begin(), left.end(),
                                            [&](char32_t c) { return FcCharSetHasChar(has, c); });
            if (useful) {
                take(reinterpret_cast<const char*>(file), index & 0xFFFF);
            }
        }
        if (sorted) {
            FcFontSetDestroy(sorted);
        }
        FcCharSetDestroy(chars);
        FcPatternDestroy(pattern);
    }
    for (const std::string& file : knownFiles) {
        if (left.empty()) {
            break;
        }
        std::FILE* probe = std::fopen(file.c_str(), "rb");
        if (probe) {
            std::fclose(probe);
            take(file, 0);
        }
    }
}

void reportMissing(const std::vector<char32_t>& left) {
    std::string names;
    for (std::size_t i = 0; i < left.size() && i < 8; ++i) {
        char code[16];
        std::snprintf(code, sizeof code, "%sU+%04X", i ? ", " : "", unsigned(left[i]));
        names += code;
    }
    if (left.size() > 8) {
        names += " and " + std::to_string(left.size() - 8) + " more";
    }
    std::fprintf(stderr, "font lookup: no installed font has %s; shown as U+FFFD\n", names.c_str());
}

} // namespace zel::render::detail
