#pragma once

// UTF-8, one way for every reader and writer of it: the framework's string conversions and console,
// the UI's glyph set and its shaper. A byte that does not begin a well-formed sequence (a stray
// continuation byte, an overlong form, an encoded surrogate, a value past U+10FFFF, a sequence cut
// short) is bad on its own, and decoding goes on with the next byte.

#include <string>
#include <string_view>

namespace zel::text {

// Appends the UTF-8 form of one code point (at most U+10FFFF, not a surrogate).
inline void appendUtf8(std::string& out, char32_t c) {
    auto byte = [&out](char32_t b) { out.push_back(static_cast<char>(b)); };
    if (c < 0x80) {
        byte(c);
    } else if (c < 0x800) {
        byte(0xC0 | (c >> 6));
        byte(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        byte(0xE0 | (c >> 12));
        byte(0x80 | ((c >> 6) & 0x3F));
        byte(0x80 | (c & 0x3F));
    } else {
        byte(0xF0 | (c >> 18));
        byte(0x80 | ((c >> 12) & 0x3F));
        byte(0x80 | ((c >> 6) & 0x3F));
        byte(0x80 | (c & 0x3F));
    }
}

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

// Calls f(code point) for each character of `utf8`; each bad byte is one U+FFFD.
template <class F> void forEachCodePoint(std::string_view utf8, F&& f) {
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* const end = p + utf8.size();
    char32_t c = 0;
    while (p < end) {
        decodeUtf8(p, end, c);
        f(c);
    }
}

inline bool wellFormedUtf8(std::string_view utf8) {
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* const end = p + utf8.size();
    char32_t c = 0;
    while (p < end) {
        if (!decodeUtf8(p, end, c)) {
            return false;
        }
    }
    return true;
}

// A copy of `utf8` with each bad byte replaced by U+FFFD.
inline std::string repairUtf8(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() + 8);
    forEachCodePoint(utf8, [&](char32_t c) { appendUtf8(out, c); });
    return out;
}

} // namespace zel::text
