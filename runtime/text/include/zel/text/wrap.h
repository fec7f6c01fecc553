#pragma once

// Breaking a status line that is too wide for its window. Such a line is made of groups separated
// by two spaces ("archi.3ds  position (0, 0, 0)  rotation ..."); it breaks only between groups, so
// that no figure is split, and a group wider than the window stays whole on its own line.

#include <string>
#include <string_view>
#include <vector>

namespace zel::text {

// The visual lines of line for width maxWidth; width(text) measures a piece of text.
template <class Measure>
std::vector<std::string> wrapAtGaps(std::string_view line, float maxWidth, Measure&& width) {
    constexpr std::string_view gap = "  ";
    std::vector<std::string> out;
    std::string current;
    while (!line.empty()) {
        const std::size_t end = line.find(gap);
        const std::string_view group = line.substr(0, end);
        std::string joined = current.empty() ? std::string(group) : current + std::string(gap);
        if (!current.empty())
            joined += group;
        if (current.empty() || width(joined) <= maxWidth) {
            current = std::move(joined);
        } else {
            out.push_back(std::move(current));
            current = std::string(group);
        }
        if (end == std::string_view::npos)
            break;
        line.remove_prefix(end + gap.size());
    }
    out.push_back(std::move(current));
    return out;
}

} // namespace zel::text
