// The frame's widget windows, at the packer's layout: ImGui lays out each window and its title bar
// and keeps the entries' editing; the text painter draws every title, label and entry text that is
// not being edited, shaped. The windows' sizes the user changes and the entries' edits go to the
// host; where the windows lie and whether an entry holds the keyboard go to the input filter.
#pragma once

#include "input_filter.h"
#include "text/glyph_set.h"

#include <zel/render/frame.h>
#include <zel/render/input.h>

#include <imgui.h>

#include <cstdint>
#include <deque>
#include <map>
#include <string>

namespace zel::render::detail {

class textPainter;

class widgetWindows {
public:
    // Neither is owned. `cellHeight`: the pixels between two label lines, the height of an entry.
    widgetWindows(glyphSet& glyphs, textPainter& painter, int cellHeight)
        : glyphs_(glyphs), painter_(painter), cellHeight_(cellHeight) {}

    // Grows ImGui's font atlas by the characters of the entries' texts that it lacks, between two
    // frames: ImGui cannot change fonts inside one. `textureMade`: the OpenGL backend of the UI
    // has made the atlas's texture, which then is made again.
    void updateGlyphs(const frame& f, bool textureMade);

    // Draws the windows, between ImGui::NewFrame and ImGui::Render. `host` (may be null) hears of
    // resizes and entry edits; `cover` gets where the windows lie.
    void draw(const frame& f, inputSink* host, uiCover& cover);

private:
    struct windowState {
        int hostWidth = -1; // the size the host asked for last, applied once per change
        int hostHeight = -1;
        int reportedWidth = -1; // the last size reported to the host
        int reportedHeight = -1;
        std::map<std::size_t, std::string> entries;       // child index -> text being edited
        std::map<std::size_t, detail::standIns> standIns; // child index -> characters past U+FFFF
    };

    const std::string& shown(const std::string& text);
    void drawTitle(const std::string& title, const ImVec2& pos, float width, float height);
    void drawLabel(const uiElement& child, const ImVec2& origin);
    bool drawEntry(const uiWindow& w, std::size_t ci, windowState& st, inputSink* host);

    glyphSet& glyphs_;
    textPainter& painter_;
    int cellHeight_;
    std::map<std::uint64_t, windowState> windows_;
    std::deque<std::string> repaired_; // this frame's texts that were not well-formed UTF-8
};

} // namespace zel::render::detail
