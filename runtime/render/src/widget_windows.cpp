// Contents: the entries' glyphs in ImGui's atlas; the windows (size, place, title); labels;
// entries.

#include "widget_windows.h"

#include "text/text_painter.h"

#include <zel/text/utf8.h>

#include <backends/imgui_impl_opengl3.h>
#include <imgui.h>
#include <imgui_internal.h>
#include <imgui_stdlib.h>

#include <algorithm>
#include <cstdio>
#include <set>

namespace zel::render::detail {

// ImGui draws an entry's text only while it is being edited; every other text is shaped and drawn
// by the text painter.
void widgetWindows::updateGlyphs(const frame& f, bool textureMade) {
    for (const uiWindow& w : f.windows) {
        for (const uiElement& child : w.children) {
            if (child.type != uiElement::kind::label) {
                glyphs_.want(child.text);
            }
        }
    }
    for (const auto& [id, st] : windows_) {
        for (const auto& [index, typed] : st.entries) {
            const auto table = st.standIns.find(index);
            glyphs_.want(table == st.standIns.end() ? typed
                                                    : withoutStandIns(typed, table->second));
        }
    }
    if (!glyphs_.stale()) {
        return;
    }
    if (textureMade) {
        ImGui_ImplOpenGL3_DestroyFontsTexture();
    }
    if (!glyphs_.build(*ImGui::GetIO().Fonts)) {
        std::fprintf(stderr, "glyphs: cannot rebuild the font atlas with the new characters\n");
    }
    if (textureMade) {
        ImGui_ImplOpenGL3_CreateFontsTexture();
    }
}

// The text as ImGui may take it: well-formed UTF-8, each bad byte shown as U+FFFD.
const std::string& widgetWindows::shown(const std::string& text) {
    if (text::wellFormedUtf8(text)) {
        return text;
    }
    repaired_.push_back(text::repairUtf8(text));
    return repaired_.back();
}

void widgetWindows::draw(const frame& f, inputSink* host, uiCover& cover) {
    repaired_.clear();
    const ImGuiStyle& style = ImGui::GetStyle();
    const float titleHeight = ImGui::GetFontSize() + style.FramePadding.y * 2.0f;
    const ImVec2 pad = style.WindowPadding;
    cover.windows.clear();
    bool anyEntryActive = false;
    std::set<std::uint64_t> seen;
    for (std::size_t wi = 0; wi < f.windows.size(); ++wi) {
        const uiWindow& w = f.windows[wi];
        if (!seen.insert(w.id).second) {
            continue; // one window per id: ImGui would merge them
        }
        windowState& st = windows_[w.id];
        if (w.width != st.hostWidth || w.height != st.hostHeight) {
            st.hostWidth = w.width;
            st.hostHeight = w.height;
            st.reportedWidth = w.width;
            st.reportedHeight = w.height;
            ImGui::SetNextWindowSize(
                ImVec2(static_cast<float>(std::max(w.width, 0)) + 2 * pad.x,
                       static_cast<float>(std::max(w.height, 0)) + 2 * pad.y + titleHeight));
        }
        const float offset = 12.0f + 28.0f * static_cast<float>(wi);
        ImGui::SetNextWindowPos(ImVec2(offset, offset), ImGuiCond_FirstUseEver);
        // "###" keeps the window's identity when its title changes.
        const std::string name = shown(w.title) + "###zelwindow" + std::to_string(w.id);
        const ImGuiWindowFlags flags =
            ImGuiWindowFlags_NoCollapse | ImGuiWindowFlags_NoSavedSettings |
            ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoScrollWithMouse;
        // ImGui lays out the title; the text painter draws it, shaped.
        ImGui::PushStyleColor(ImGuiCol_Text, IM_COL32(0, 0, 0, 0));
        ImGui::Begin(name.c_str(), nullptr, flags);
        ImGui::PopStyleColor();
        const ImVec2 pos = ImGui::GetWindowPos();
        const ImVec2 size = ImGui::GetWindowSize();
        drawTitle(w.title, pos, size.x, titleHeight);
        cover.windows.push_back({pos.x, pos.y, pos.x + size.x, pos.y + size.y});

        const int contentWidth = static_cast<int>(size.x - 2 * pad.x + 0.5f);
        const int contentHeight = static_cast<int>(size.y - 2 * pad.y - titleHeight + 0.5f);
        if (contentWidth != st.reportedWidth || contentHeight != st.reportedHeight) {
            st.reportedWidth = contentWidth;
            st.reportedHeight = contentHeight;
            if (host) {
                host->windowResized(w.id, contentWidth, contentHeight);
            }
        }

        const ImVec2 origin = ImGui::GetCursorPos();
        for (std::size_t ci = 0; ci < w.children.size(); ++ci) {
            const uiElement& child = w.children[ci];
            ImGui::SetCursorPos(ImVec2(origin.x + static_cast<float>(child.x),
                                       origin.y + static_cast<float>(child.y)));
            ImGui::PushID(static_cast<int>(ci));
            if (child.type == uiElement::kind::label) {
                drawLabel(child, origin);
            } else if (drawEntry(w, ci, st, host)) {
                anyEntryActive = true;
            }
            ImGui::PopID();
        }
        ImGui::End();
    }
    // Forget windows that are gone, so that one coming back gets its size again.
    for (auto it = windows_.begin(); it != windows_.end();) {
        it = seen.count(it->first) ? std::next(it) : windows_.erase(it);
    }
    cover.entryFocus = anyEntryActive;
}

// The title where ImGui would have drawn it, clipped to the title bar.
void widgetWindows::drawTitle(const std::string& title, const ImVec2& pos, float width,
                              float height) {
    ImDrawList* dl = ImGui::GetWindowDrawList();
    const ImGuiStyle& style = ImGui::GetStyle();
    dl->PushClipRect(pos, ImVec2(pos.x + width - style.FramePadding.x, pos.y + height), false);
    painter_.draw(dl, ImVec2(pos.x + style.FramePadding.x, pos.y + style.FramePadding.y),
                  ImGui::GetColorU32(ImGuiCol_Text), title);
    dl->PopClipRect();
}

// One line per cell row, each centred in its row.
void widgetWindows::drawLabel(const uiElement& child, const ImVec2& origin) {
    const float rowOffset = (static_cast<float>(cellHeight_) - ImGui::GetFontSize()) * 0.5f;
    const std::string_view all = child.text;
    ImDrawList* dl = ImGui::GetWindowDrawList();
    const ImU32 colour = ImGui::GetColorU32(ImGuiCol_Text);
    std::size_t from = 0;
    for (int row = 0;; ++row) {
        const std::size_t lineEnd = std::min(all.find('\n', from), all.size());
        ImGui::SetCursorPos(ImVec2(origin.x + static_cast<float>(child.x),
                                   origin.y + static_cast<float>(child.y) + rowOffset +
                                       static_cast<float>(row * cellHeight_)));
        painter_.draw(dl, ImGui::GetCursorScreenPos(), colour, all.substr(from, lineEnd - from));
        if (lineEnd == all.size()) {
            break;
        }
        from = lineEnd + 1;
    }
}

// True while the entry holds keyboard focus.
bool widgetWindows::drawEntry(const uiWindow& w, std::size_t ci, windowState& st, inputSink* host) {
    const uiElement& child = w.children[ci];
    std::string& text = st.entries[ci];
    const ImGuiID id = ImGui::GetID("##entry");
    // While the user edits, the field keeps its own text and ImGui draws it in logical order;
    // otherwise it shows the widget's, shaped by the text painter over the field.
    const bool editing = ImGui::GetActiveID() == id;
    detail::standIns& table = st.standIns[ci];
    if (!editing) {
        table = {};
        text = withStandIns(shown(child.text), table);
    }
    const std::string before = text;
    ImGui::SetNextItemWidth(static_cast<float>(std::max(child.w, 1)));
    // A frame exactly one cell row high, as the layout measured it.
    const float padY =
        std::max(0.0f, (static_cast<float>(cellHeight_) - ImGui::GetFontSize()) * 0.5f);
    ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(ImGui::GetStyle().FramePadding.x, padY));
    // Tab belongs to the viewer (the next site): it must not move the focus into the entry.
    ImGui::PushAllowKeyboardFocus(false);
    if (!editing) {
        ImGui::PushStyleColor(ImGuiCol_Text, IM_COL32(0, 0, 0, 0));
    }
    const bool enter = ImGui::InputText("##entry", &text, ImGuiInputTextFlags_EnterReturnsTrue);
    if (!editing) {
        ImGui::PopStyleColor();
        const ImVec2 min = ImGui::GetItemRectMin(), max = ImGui::GetItemRectMax();
        ImDrawList* dl = ImGui::GetWindowDrawList();
        dl->PushClipRect(min, max, true);
        painter_.draw(dl, ImVec2(min.x + ImGui::GetStyle().FramePadding.x, min.y + padY),
                      ImGui::GetColorU32(ImGuiCol_Text), child.text);
        dl->PopClipRect();
    }
    ImGui::PopAllowKeyboardFocus();
    ImGui::PopStyleVar();
    const bool active = ImGui::IsItemActive();
    if (text != before && host) {
        host->entryText(w.id, ci, withoutStandIns(text, table));
    }
    if (enter && host) {
        host->entryEnter(w.id, ci);
    }
    return active;
}

} // namespace zel::render::detail
