// What the screen draws over the scene besides the widget windows: the labels at their points, the
// HUD lines, the progress panel, the list of sites present and the help. Each is drawn straight
// into ImGui's foreground list, so it is always on top and takes no focus and no clicks; all text
// goes through the text painter. Called between ImGui::NewFrame and ImGui::Render.
#pragma once

#include <zel/render/frame.h>
#include <zel/render/screen.h>

#include <imgui.h>

#include <vector>

namespace zel::render::detail {

class textPainter;

// A framed box from `min` to `max`: filled, with rounded corners, and outlined when `border` is not
// transparent.
void panel(ImDrawList* dl, ImVec2 min, ImVec2 max, ImU32 fill, float rounding, ImU32 border = 0);

// Each label centred over the point where its position projects; nothing for a point behind the
// camera.
void drawLabels(textPainter& painter, const frame& f);
// The HUD lines at the bottom left; a line wider than the window breaks between its groups.
void drawHud(textPainter& painter, const std::vector<std::string>& hud);
// A panel across the middle: the label, then a bar filled to the part done.
void drawProgress(textPainter& painter, const progressBar& p);
// The sites present, at the top right: a swatch of each user's colour, the user, "you" for this
// site.
void drawSites(textPainter& painter, const frame& f);
// The keys of the host's help sections, in a panel in the middle.
void drawHelp(textPainter& painter, const std::vector<helpSection>& help);

} // namespace zel::render::detail
