#include <zel/xstd.h>

#include "utf8.h"

namespace zel::xstd {

namespace {

constexpr char32_t replacement = 0xFFFD;

bool isHigh(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool isLow(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// The escape of one byte that is not part of valid UTF-8 (always 0x80..0xFF, since ASCII is valid).
bool isEscape(char16_t u) {
    return u >= 0xDC80 && u <= 0xDCFF;
}

void appendUtf16(wstring& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

// Length of the well-formed UTF-8 sequence at s[i] and its code point, or 0 when the byte there
// does not start one. Overlong forms, encoded surrogates and values past U+10FFFF are not well
// formed, so their bytes are escaped one by one and come back unchanged.
std::size_t decodeOne(std::string_view s, std::size_t i, char32_t& cp) {
    const auto at = [&s](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = at(i);
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF; // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
        if (b0 == 0xE0)
            lo = 0xA0;
        else if (b0 == 0xED)
            hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
        if (b0 == 0xF0)
            lo = 0x90;
        else if (b0 == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const unsigned char b = at(i + k);
        if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF))
            return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    return len;
}

// Walks UTF-16 text as code points; a lone surrogate comes out as itself.
template <class F> void forEachCodePoint(const wstring& text, F&& f) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        if (isHigh(u) && i + 1 < text.size() && isLow(text[i + 1])) {
            f(0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00), false);
            ++i;
        } else {
            f(char32_t(u), isHigh(u) || isLow(u));
        }
    }
}

} // namespace

void appendUtf8(std::string& out, char32_t cp) {
    auto byte = [&out](char32_t b) { out.push_back(static_cast<char>(b)); };
    if (cp < 0x80) {
        byte(cp);
    } else if (cp < 0x800) {
        byte(0xC0 | (cp >> 6));
        byte(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        byte(0xE0 | (cp >> 12));
        byte(0x80 | ((cp >> 6) & 0x3F));
        byte(0x80 | (cp & 0x3F));
    } else {
        byte(0xF0 | (cp >> 18));
        byte(0x80 | ((cp >> 12) & 0x3F));
        byte(0x80 | ((cp >> 6) & 0x3F));
        byte(0x80 | (cp & 0x3F));
    }
}

wstring fromUtf8(std::string_view bytes) {
    wstring out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        char32_t cp = 0;
        const std::size_t len = decodeOne(bytes, i, cp);
        if (len == 0) {
            out.push_back(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(bytes[i])));
            ++i;
        } else {
            appendUtf16(out, cp);
            i += len;
        }
    }
    return out;
}

std::string toUtf8(const wstring& text) {
    std::string out;
    out.reserve(text.size());
    forEachCodePoint(text, [&out](char32_t cp, bool lone) {
        if (!lone)
            appendUtf8(out, cp);
        else if (isEscape(static_cast<char16_t>(cp)))
            out.push_back(static_cast<char>(cp - 0xDC00));
        else
            appendUtf8(out, replacement);
    });
    return out;
}

std::string toDisplayUtf8(const wstring& text) {
    std::string out;
    out.reserve(text.size());
    forEachCodePoint(text,
                     [&out](char32_t cp, bool lone) { appendUtf8(out, lone ? replacement : cp); });
    return out;
}

std::wstring toWide(const wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    if constexpr (sizeof(wchar_t) >= 4) {
        forEachCodePoint(text, [&out](char32_t cp, bool lone) {
            out.push_back(static_cast<wchar_t>(lone ? replacement : cp));
        });
    } else {
        forEachCodePoint(text, [&out](char32_t cp, bool lone) {
            if (lone) {
                out.push_back(static_cast<wchar_t>(replacement));
            } else if (cp < 0x10000) {
                out.push_back(static_cast<wchar_t>(cp));
            } else {
                cp -= 0x10000;
                out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
                out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
            }
        });
    }
    return out;
}

} // namespace zel::xstd
