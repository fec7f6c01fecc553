#pragma once

// Bytes as hexadecimal text and back.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zel::base {

// Two lower-case digits a byte.
std::string hexOf(std::span<const std::uint8_t> bytes);

// Exactly 2 * out.size() hexadecimal digits (either case) into out; false, with out unspecified,
// when text is any other length or holds anything else.
bool bytesFromHex(std::string_view text, std::span<std::uint8_t> out);

// A fixed-size value, such as a digest, from its text.
template <class Bytes> std::optional<Bytes> fromHex(std::string_view text) {
    Bytes value{};
    if (!bytesFromHex(text, value))
        return std::nullopt;
    return value;
}

} // namespace zel::base
