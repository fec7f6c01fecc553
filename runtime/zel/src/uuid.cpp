#include <zel/xstd.h>

#include <array>

namespace zel::xstd {

namespace {

constexpr std::array<std::size_t, 4> hyphenAt{8, 13, 18, 23};

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::optional<uuid> uuid::parse(std::string_view text) {
    if (text.size() != 36)
        return std::nullopt;
    // The 32 digits in reading order; the parts take them in that order too.
    std::array<std::uint8_t, 32> digits{};
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool hyphenHere =
            i == hyphenAt[0] || i == hyphenAt[1] || i == hyphenAt[2] || i == hyphenAt[3];
        if (hyphenHere) {
            if (text[i] != '-')
                return std::nullopt;
            continue;
        }
        const int v = hexValue(text[i]);
        if (v < 0)
            return std::nullopt;
        digits[n++] = static_cast<std::uint8_t>(v);
    }
    auto take = [&digits](std::size_t first, std::size_t count) {
        std::uint32_t value = 0;
        for (std::size_t i = first; i < first + count; ++i)
            value = (value << 4) | digits[i];
        return value;
    };
    uuid id;
    id.data1 = take(0, 8);
    id.data2 = static_cast<std::uint16_t>(take(8, 4));
    id.data3 = static_cast<std::uint16_t>(take(12, 4));
    for (std::size_t b = 0; b < 8; ++b)
        id.data4[b] = static_cast<std::uint8_t>(take(16 + 2 * b, 2));
    return id;
}

std::string uuid::toString() const {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(36);
    auto put = [&out](std::uint32_t value, int digits) {
        for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
            out.push_back(hex[(value >> shift) & 0xF]);
    };
    put(data1, 8);
    out.push_back('-');
    put(data2, 4);
    out.push_back('-');
    put(data3, 4);
    out.push_back('-');
    put(data4[0], 2);
    put(data4[1], 2);
    out.push_back('-');
    for (int b = 2; b < 8; ++b)
        put(data4[b], 2);
    return out;
}

} // namespace zel::xstd
