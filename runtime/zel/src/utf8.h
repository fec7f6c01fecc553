// UTF-8 encoding shared by the string conversions and the console.
#pragma once

#include <string>

namespace zel::xstd {

// Appends the UTF-8 form of one code point (at most U+10FFFF, not a surrogate).
void appendUtf8(std::string& out, char32_t cp);

} // namespace zel::xstd
