#include <zel/xstd.h>

#include <zel/text/utf8.h>

namespace zel::xstd {

namespace {

using text::appendUtf8;

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

wstring fromUtf8(std::string_view bytes) {
    wstring out;
    out.reserve(bytes.size());
    // Overlong forms, encoded surrogates and values past U+10FFFF are not well formed either, so
    // their bytes are escaped one by one and come back unchanged.
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* const end = p + bytes.size();
    while (p < end) {
        const unsigned char first = *p;
        char32_t cp = 0;
        if (text::decodeUtf8(p, end, cp)) {
            appendUtf16(out, cp);
        } else {
            out.push_back(static_cast<char16_t>(0xDC00 + first));
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
