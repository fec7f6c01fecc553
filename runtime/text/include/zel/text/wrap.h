#pragma once

// Breaking a status line that is too wide for its window. Such a line is made of groups separated
// by two spaces ("archi.3ds  position (0, 0, 0)  rotation ..."); it breaks only between groups, so
// that no figure is split, and a group wider than the window stays whole on its own line.

#include <string>
#include <string_view>
#include <vector>

namespace zel::text {

// The visual lines of line for width maxWidth; width(text) measures a piece of text. A line that
// fits comes back whole, as it is. Otherwise a run of two or more spaces is a gap and the text
// between gaps a group; groups are packed greedily, keeping the gap between groups that share a
// line, and no visual line begins or ends with a gap.
template <class Measure>
std::vector<std::string> wrapAtGaps(std::string_view line, float maxWidth, Measure&& width) {
    if (width(std::string(line)) <= maxWidth)
        return {std::string(line)};
    std::vector<std::string> out;
    std::string current;
    std::string_view gap; // the spaces after the last group placed
    std::size_t at = 0;
    while (at < line.size()) {
        std::size_t end = line.find("  ", at);
        if (end == std::string_view::npos)
            end = line.size();
        const std::string_view group = line.substr(at, end - at);
        std::size_t next = line.find_first_not_of(' ', end);
        if (next == std::string_view::npos)
            next = line.size();
        if (!group.empty()) {
            std::string joined = current.empty() ? std::string(group)
                                                 : current + std::string(gap) + std::string(group);
            if (current.empty() || width(joined) <= maxWidth) {
                current = std::move(joined);
            } else {
                out.push_back(std::move(current));
                current = std::string(group);
            }
            gap = line.substr(end, next - end);
        }
        at = next;
    }
    out.push_back(std::move(current));
    return out;
}

} // namespace zel::text
