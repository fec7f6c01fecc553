// The status window as frame data, the way the package's window reaches the renderer: a label over
// the entry, both across the whole content width. Shared by the renderer's tests and benchmark.
#pragma once

#include <zel/render/frame.h>

#include <cstdint>
#include <string>
#include <utility>

namespace rendertest {

struct statusLayout {
    int width = 240;
    int height = 60; // the content area; the widgets take its top labelHeight + entryHeight rows
    int labelHeight = 30;
    int entryHeight = 30;
};

inline zel::render::uiWindow statusWindow(std::string title, std::string label, std::string entry,
                                          const statusLayout& at = {}, std::uint64_t id = 1) {
    using zel::render::uiElement;
    zel::render::uiWindow w;
    w.id = id;
    w.title = std::move(title);
    w.width = at.width;
    w.height = at.height;
    w.children.push_back(
        {uiElement::kind::label, std::move(label), 0, 0, at.width, at.labelHeight});
    w.children.push_back(
        {uiElement::kind::entry, std::move(entry), 0, at.labelHeight, at.width, at.entryHeight});
    return w;
}

} // namespace rendertest
