// Contents: the framed panel; labels; the HUD; the progress panel; the sites present; the help.

#include "overlays.h"

#include <zel/text/utf8.h>
#include <zel/text/wrap.h>

#include "matrix_math.h"
#include "text/text_painter.h"

#include <algorithm>
#include <array>
#include <string>

namespace zel::render::detail {

namespace {

const char* const helpHeading = "Keys (F1 closes this list)";

ImU32 colourOf(const std::array<float, 4>& c) {
    return ImGui::ColorConvertFloat4ToU32(ImVec4(c[0], c[1], c[2], c[3]));
}

} // namespace

void panel(ImDrawList* dl, ImVec2 min, ImVec2 max, ImU32 fill, float rounding, ImU32 border) {
    dl->AddRectFilled(min, max, fill, rounding);
    if (border != 0) {
        dl->AddRect(min, max, border, rounding);
    }
}

void drawLabels(textPainter& painter, const frame& f) {
    if (f.labels.empty()) {
        return;
    }
    const ImVec2 display = ImGui::GetIO().DisplaySize;
    if (display.x <= 0 || display.y <= 0) {
        return;
    }
    matrix view = identityMatrix;
    if (!invert(withoutScale(f.view.world), view)) {
        return;
    }
    const float nearPlane = f.view.nearPlane > 0 ? f.view.nearPlane : 0.05f;
    const float farPlane = f.view.farPlane > nearPlane ? f.view.farPlane : nearPlane * 20000.0f;
    const float fov = f.view.fovY > 1.0f && f.view.fovY < 179.0f ? f.view.fovY : 60.0f;
    const matrix clip =
        multiply(view, perspective(fov, display.x / display.y, nearPlane, farPlane));
    ImDrawList* dl = ImGui::GetForegroundDrawList();
    for (const label& l : f.labels) {
        float out[4];
        for (int c = 0; c < 4; ++c) {
            out[c] = l.position[0] * clip[0 * 4 + c] + l.position[1] * clip[1 * 4 + c] +
                     l.position[2] * clip[2 * 4 + c] + clip[3 * 4 + c];
        }
        if (out[3] <= nearPlane) {
            continue;
        }
        const float x = (out[0] / out[3] * 0.5f + 0.5f) * display.x;
        const float y = (0.5f - out[1] / out[3] * 0.5f) * display.y;
        const ImVec2 size(painter.width(l.text), ImGui::GetFontSize());
        const ImVec2 at(x - size.x * 0.5f, y - size.y);
        panel(dl, ImVec2(at.x - 3, at.y - 2), ImVec2(at.x + size.x + 3, at.y + size.y + 1),
              IM_COL32(0, 0, 0, 140), 3.0f);
        painter.draw(dl, at, colourOf(l.colour), l.text);
    }
}

void drawHud(textPainter& painter, const std::vector<std::string>& hud) {
    if (hud.empty()) {
        return;
    }
    ImDrawList* dl = ImGui::GetForegroundDrawList();
    const float lineHeight = ImGui::GetTextLineHeightWithSpacing();
    const ImVec2 display = ImGui::GetIO().DisplaySize;
    const float margin = 8.0f;
    // A line wider than the window breaks between its groups rather than running off it.
    std::vector<std::string> lines;
    for (const std::string& line : hud) {
        std::string repaired;
        const std::string& whole =
            text::wellFormedUtf8(line) ? line : (repaired = text::repairUtf8(line));
        for (std::string& part :
             text::wrapAtGaps(whole, display.x - 2 * margin - 8,
                              [&painter](const std::string& t) { return painter.width(t); }))
            lines.push_back(std::move(part));
    }
    float width = 0;
    for (const std::string& line : lines) {
        width = std::max(width, painter.width(line));
    }
    const float height = lineHeight * static_cast<float>(lines.size());
    const ImVec2 topLeft(margin, display.y - margin - height);
    // A light veil: the scene stays visible through it, and each letter carries a dark shadow so
    // that the line reads over bright models too.
    panel(dl, ImVec2(topLeft.x - 4, topLeft.y - 4),
          ImVec2(topLeft.x + width + 4, topLeft.y + height + 2), IM_COL32(0, 0, 0, 70), 3.0f);
    float y = topLeft.y;
    for (const std::string& line : lines) {
        painter.draw(dl, ImVec2(topLeft.x + 1, y + 1), IM_COL32(0, 0, 0, 220), line);
        painter.draw(dl, ImVec2(topLeft.x, y), IM_COL32(235, 235, 235, 255), line);
        y += lineHeight;
    }
}

void drawProgress(textPainter& painter, const progressBar& p) {
    ImDrawList* dl = ImGui::GetForegroundDrawList();
    const ImVec2 display = ImGui::GetIO().DisplaySize;
    const float lineHeight = ImGui::GetTextLineHeightWithSpacing();
    const float width = std::clamp(display.x * 0.5f, 200.0f, 640.0f);
    const float barHeight = lineHeight * 0.8f;
    const ImVec2 topLeft((display.x - width) * 0.5f, (display.y - lineHeight - barHeight) * 0.5f);
    panel(dl, ImVec2(topLeft.x - 10, topLeft.y - 8),
          ImVec2(topLeft.x + width + 10, topLeft.y + lineHeight + barHeight + 10),
          IM_COL32(0, 0, 0, 190), 4.0f);
    painter.draw(dl, topLeft, IM_COL32(235, 235, 235, 255), p.label);
    const ImVec2 barTop(topLeft.x, topLeft.y + lineHeight + 2);
    const float done = std::clamp(p.done, 0.0f, 1.0f);
    dl->AddRectFilled(barTop, ImVec2(barTop.x + width, barTop.y + barHeight),
                      IM_COL32(70, 70, 70, 255), 2.0f);
    dl->AddRectFilled(barTop, ImVec2(barTop.x + width * done, barTop.y + barHeight),
                      IM_COL32(90, 160, 230, 255), 2.0f);
}

void drawSites(textPainter& painter, const frame& f) {
    ImDrawList* dl = ImGui::GetForegroundDrawList();
    const float lineHeight = ImGui::GetTextLineHeightWithSpacing();
    const ImVec2 display = ImGui::GetIO().DisplaySize;
    const std::string heading = f.shared
                                    ? "Here now (" + std::to_string(f.sites.size()) + ")  F2 closes"
                                    : "Not in a shared scene  F2 closes";
    const float swatch = lineHeight * 0.7f, gap = 6.0f, pad = 10.0f;
    float width = painter.width(heading);
    // As many lines as fit the view; the rest counted on a last line.
    const std::size_t fit =
        static_cast<std::size_t>(std::max(1.0f, (display.y - 24.0f - 2 * pad) / lineHeight - 2.0f));
    const std::size_t listed = std::min(f.sites.size(), fit);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < listed; ++i) {
        names.push_back(f.sites[i].user + (f.sites[i].self ? "  (you)" : ""));
        width = std::max(width, swatch + gap + painter.width(names.back()));
    }
    const std::string more = listed < f.sites.size()
                                 ? "... and " + std::to_string(f.sites.size() - listed) + " more"
                                 : std::string();
    width = std::max(width, painter.width(more)) + 2 * pad;
    const float height =
        lineHeight * static_cast<float>(1 + names.size() + (more.empty() ? 0 : 1)) + 2 * pad;
    const ImVec2 p0(std::max(0.0f, display.x - width - 12.0f), 12.0f);
    panel(dl, p0, ImVec2(p0.x + width, p0.y + height), IM_COL32(20, 22, 28, 220), 6,
          IM_COL32(120, 130, 150, 255));
    float y = p0.y + pad;
    const float x = p0.x + pad;
    painter.draw(dl, ImVec2(x, y), IM_COL32(150, 190, 255, 255), heading);
    for (std::size_t i = 0; i < names.size(); ++i) {
        y += lineHeight;
        const float top = y + (lineHeight - swatch) * 0.5f;
        dl->AddRectFilled(ImVec2(x, top), ImVec2(x + swatch, top + swatch),
                          colourOf(f.sites[i].colour), 2);
        // The name in the same hue, lighter, so that it reads on the dark panel.
        std::array<float, 4> tint = f.sites[i].colour;
        for (std::size_t c = 0; c < 3; ++c) {
            tint[c] += (1.0f - tint[c]) * 0.45f;
        }
        painter.draw(dl, ImVec2(x + swatch + gap, y), colourOf(tint), names[i]);
    }
    if (!more.empty()) {
        painter.draw(dl, ImVec2(x, y + lineHeight), IM_COL32(200, 200, 200, 255), more);
    }
}

void drawHelp(textPainter& painter, const std::vector<helpSection>& help) {
    ImDrawList* dl = ImGui::GetForegroundDrawList();
    const float lineHeight = ImGui::GetTextLineHeightWithSpacing();
    const ImVec2 display = ImGui::GetIO().DisplaySize;
    const char* const heading = helpHeading;
    float keyWidth = 0, actionWidth = painter.width(heading);
    std::size_t lines = 1;
    for (const helpSection& s : help) {
        actionWidth = std::max(actionWidth, painter.width(s.title));
        lines += 2 + s.keys.size();
        for (const auto& [key, action] : s.keys) {
            keyWidth = std::max(keyWidth, painter.width(key));
            actionWidth = std::max(actionWidth, painter.width(action));
        }
    }
    const float gap = 16.0f, pad = 14.0f;
    const float width = keyWidth + gap + actionWidth + 2 * pad;
    const float height = lineHeight * static_cast<float>(lines) + 2 * pad;
    const ImVec2 p0(std::max(0.0f, (display.x - width) * 0.5f),
                    std::max(0.0f, (display.y - height) * 0.5f));
    panel(dl, p0, ImVec2(p0.x + width, p0.y + height), IM_COL32(20, 22, 28, 230), 6,
          IM_COL32(120, 130, 150, 255));
    float y = p0.y + pad;
    const float x = p0.x + pad;
    painter.draw(dl, ImVec2(x, y), IM_COL32(255, 255, 255, 255), heading);
    y += lineHeight;
    for (const helpSection& s : help) {
        y += lineHeight;
        painter.draw(dl, ImVec2(x, y), IM_COL32(150, 190, 255, 255), s.title);
        y += lineHeight;
        for (const auto& [key, action] : s.keys) {
            painter.draw(dl, ImVec2(x, y), IM_COL32(255, 220, 120, 255), key);
            painter.draw(dl, ImVec2(x + keyWidth + gap, y), IM_COL32(230, 230, 230, 255), action);
            y += lineHeight;
        }
    }
}

} // namespace zel::render::detail
