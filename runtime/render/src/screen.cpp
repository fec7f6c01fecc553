// Contents: set-up and tear-down of the UI; the frame (scene, then UI); the widget windows at the
// packer's layout; the HUD and the help overlay; the input filter between backend and host.

#include <zel/render/screen.h>

#include <zel/text/wrap.h>

#include "gl.h"
#include "matrix_math.h"
#include "text/glyph_set.h"
#include "text/text_painter.h"

#include <backends/imgui_impl_opengl3.h>
#include <imgui.h>
#include <imgui_internal.h>
#include <imgui_stdlib.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <set>
#include <system_error>

namespace zel::render {

namespace {

const char* const fallbackFont = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";

// Where Debian's font packages put fonts for the scripts the primary font lacks, for a machine
// where fontconfig finds nothing: DejaVu Sans (Hebrew, more symbols), the Droid fallback (Chinese,
// Japanese, Korean), Noto Sans for Arabic and the scripts of India and South-East Asia.
const std::vector<std::string> debianFonts = {
    "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
    "/usr/share/fonts/truetype/droid/DroidSansFallbackFull.ttf",
    "/usr/share/fonts/truetype/noto/NotoSansArabic-Regular.ttf",
    "/usr/share/fonts/truetype/noto/NotoSansHebrew-Regular.ttf",
    "/usr/share/fonts/truetype/noto/NotoSansDevanagari-Regular.ttf",
    "/usr/share/fonts/truetype/noto/NotoSansBengali-Regular.ttf",
    "/usr/share/fonts/truetype/noto/NotoSansTamil-Regular.ttf",
    "/usr/share/fonts/truetype/noto/NotoSansThai-Regular.ttf",
    "/usr/share/fonts/truetype/noto/NotoSansEthiopic-Regular.ttf",
    "/usr/share/fonts/truetype/noto/NotoSansGeorgian-Regular.ttf",
    "/usr/share/fonts/truetype/noto/NotoSansArmenian-Regular.ttf",
};

const char* const helpHeading = "Keys (F1 closes this list)";

struct rect {
    float x0, y0, x1, y1;
    bool contains(float x, float y) const { return x >= x0 && x < x1 && y >= y0 && y < y1; }
};

struct windowState {
    int hostWidth = -1; // the size the host asked for last, applied once per change
    int hostHeight = -1;
    int reportedWidth = -1; // the last size reported to the host
    int reportedHeight = -1;
    std::map<std::size_t, std::string> entries;       // child index -> text being edited
    std::map<std::size_t, detail::standIns> standIns; // child index -> its characters beyond U+FFFF
};

} // namespace

struct screen::impl final : inputSink {
    std::unique_ptr<backend> target;
    std::unique_ptr<renderer> scene;
    inputSink* host = nullptr;
    screenOptions options;
    bool uiReady = false;
    bool glUiReady = false;
    bool fontTextureMade = false;                 // by the OpenGL backend's first NewFrame
    std::unique_ptr<detail::glyphSet> glyphs;     // ImGui's font: what an entry shows while edited
    std::unique_ptr<detail::textPainter> painter; // every other text, shaped
    std::deque<std::string> repaired; // this frame's texts that were not well-formed UTF-8

    std::vector<helpSection> help; // the host's: setHelp
    bool showHelp = false;
    bool showSites = false;
    bool screenshotRequested = false;
    bool escapeCloses = true;

    std::map<std::uint64_t, windowState> windows;
    std::vector<rect> windowRects; // where the UI windows were last drawn, in window pixels
    bool entryFocus = false;
    std::multiset<unsigned int> keysPassed; // pressed keys whose press reached the host
    std::set<mouseButton> buttonsPassed;
    float mouseX = -1, mouseY = -1;

    ~impl() override {
        if (!target) {
            return;
        }
        target->beginFrame();
        scene.reset();
        painter.reset(); // its textures, while the context is current
        if (glUiReady) {
            ImGui_ImplOpenGL3_Shutdown();
        }
        if (uiReady) {
            target->shutdownUi();
            ImGui::DestroyContext();
        }
        target.reset();
    }

    bool overUi(float x, float y) const {
        return std::any_of(windowRects.begin(), windowRects.end(),
                           [&](const rect& r) { return r.contains(x, y); });
    }

    // --- input filter -------------------------------------------------------------------------

    void keyDown(unsigned int code) override {
        if (entryFocus || !host) {
            return;
        }
        keysPassed.insert(code);
        host->keyDown(code);
    }
    void keyRepeat(unsigned int code) override {
        if (!entryFocus && host && keysPassed.count(code)) {
            host->keyRepeat(code);
        }
    }
    void keyUp(unsigned int code) override {
        // A release follows its press: one that reached the host before the entry took the focus
        // is still delivered, one typed into the entry is not.
        const auto it = keysPassed.find(code);
        if (it == keysPassed.end()) {
            return;
        }
        keysPassed.erase(it);
        if (host) {
            host->keyUp(code);
        }
    }
    void viewerKeyDown(viewerKey k, bool repeat) override {
        switch (k) {
        case viewerKey::f1:
            if (!repeat) {
                showHelp = !showHelp;
            }
            return;
        case viewerKey::f2:
            if (!repeat) {
                showSites = !showSites;
            }
            return;
        case viewerKey::f12:
            if (!repeat) {
                screenshotRequested = true;
            }
            return;
        case viewerKey::escape:
            // Escape leaves an entry being edited (the UI handles it), then closes the help, then
            // the view; or, while the host has something to cancel, goes to the host.
            if (repeat || entryFocus) {
                return;
            }
            if (!escapeCloses) {
                if (host) {
                    host->viewerKeyDown(k, repeat);
                }
                return;
            }
            if (showHelp) {
                showHelp = false;
            } else {
                target->close();
            }
            return;
        case viewerKey::left:
        case viewerKey::right:
        case viewerKey::up:
        case viewerKey::down:
        case viewerKey::home:
        case viewerKey::end:
        case viewerKey::insert:
        case viewerKey::del:
        case viewerKey::tab:
        case viewerKey::backTab:
        case viewerKey::undo:
        case viewerKey::redo:
            // The text cursor's and the editing keys while an entry is being edited.
            if (entryFocus) {
                return;
            }
            break;
        default:
            break;
        }
        if (host) {
            host->viewerKeyDown(k, repeat);
        }
    }
    void buttonEvent(zel::render::mouseButton b, bool pressed, int x, int y) override {
        mouseX = static_cast<float>(x);
        mouseY = static_cast<float>(y);
        if (!host) {
            return;
        }
        if (pressed) {
            if (overUi(mouseX, mouseY)) {
                return;
            }
            buttonsPassed.insert(b);
            host->buttonEvent(b, true, x, y);
        } else if (buttonsPassed.erase(b)) {
            host->buttonEvent(b, false, x, y);
        }
    }
    void mouseMove(int x, int y, zel::render::mouseButton held) override {
        mouseX = static_cast<float>(x);
        mouseY = static_cast<float>(y);
        if (!host) {
            return;
        }
        // A drag belongs to where it started; plain motion to what lies under the pointer.
        if (held != zel::render::mouseButton::none) {
            if (buttonsPassed.count(held)) {
                host->mouseMove(x, y, held);
            }
        } else if (!overUi(mouseX, mouseY)) {
            host->mouseMove(x, y, held);
        }
    }
    void wheel(int delta, bool horizontal) override {
        if (host && !overUi(mouseX, mouseY)) {
            host->wheel(delta, horizontal);
        }
    }

    // clang-format off
    // --- set-up ----------------------------------------------------------------------------------
    // clang-format on

    bool startUi() {
        IMGUI_CHECKVERSION();
        ImGui::CreateContext();
        ImGuiIO& io = ImGui::GetIO();
        io.IniFilename = nullptr; // no imgui.ini in the user's folder
        io.LogFilename = nullptr;
        ImGui::StyleColorsDark();
        ImGui::GetStyle().WindowRounding = 4.0f;

        detail::fontOptions fonts;
        std::error_code ec;
        fonts.primaryFile =
            !options.fontFile.empty() && std::filesystem::is_regular_file(options.fontFile, ec)
                ? options.fontFile
                : std::string(fallbackFont);
        fonts.size = options.fontSize;
        fonts.cellWidth = options.cellWidth;
        fonts.knownFiles = debianFonts;
        detail::shaperOptions shaping;
        shaping.primaryFile = fonts.primaryFile;
        shaping.size = fonts.size;
        shaping.cellWidth = fonts.cellWidth;
        shaping.knownFiles = fonts.knownFiles;
        glyphs = std::make_unique<detail::glyphSet>(std::move(fonts));
        painter = std::make_unique<detail::textPainter>(std::move(shaping));
        uiReady = true;
        if (!glyphs->build(*io.Fonts)) {
            std::fprintf(stderr, "UI set-up: cannot build the font atlas\n");
            return false;
        }
        target->initUi();
        if (!ImGui_ImplOpenGL3_Init("#version 330 core")) {
            std::fprintf(stderr, "UI set-up: cannot start the OpenGL renderer of the UI\n");
            return false;
        }
        glUiReady = true;
        return true;
    }

    // clang-format off
    // --- frame -----------------------------------------------------------------------------------
    // clang-format on

    // Grows ImGui's font atlas by the characters of the entries' texts that it lacks, between two
    // frames: ImGui cannot change fonts inside one. ImGui draws an entry's text only while it is
    // being edited; every other text is shaped and drawn by the text painter.
    void updateGlyphs(const frame& f) {
        for (const uiWindow& w : f.windows) {
            for (const uiElement& child : w.children) {
                if (child.type != uiElement::kind::label) {
                    glyphs->want(child.text);
                }
            }
        }
        for (const auto& [id, st] : windows) {
            for (const auto& [index, typed] : st.entries) {
                const auto table = st.standIns.find(index);
                glyphs->want(table == st.standIns.end()
                                 ? typed
                                 : detail::withoutStandIns(typed, table->second));
            }
        }
        if (!glyphs->stale()) {
            return;
        }
        if (fontTextureMade) {
            ImGui_ImplOpenGL3_DestroyFontsTexture();
        }
        if (!glyphs->build(*ImGui::GetIO().Fonts)) {
            std::fprintf(stderr, "glyphs: cannot rebuild the font atlas with the new characters\n");
        }
        if (fontTextureMade) {
            ImGui_ImplOpenGL3_CreateFontsTexture();
        }
    }

    // The text as ImGui may take it: well-formed UTF-8, each bad byte shown as U+FFFD.
    const std::string& shown(const std::string& text) {
        if (detail::wellFormedUtf8(text)) {
            return text;
        }
        repaired.push_back(detail::repairUtf8(text));
        return repaired.back();
    }

    void render(const frame& f) {
        target->beginFrame();
        scene->draw(f, target->frameWidth(), target->frameHeight());
        repaired.clear();
        updateGlyphs(f);
        ImGui_ImplOpenGL3_NewFrame();
        fontTextureMade = true;
        target->newUiFrame();
        ImGui::NewFrame();
        drawWindows(f);
        drawHud(f);
        if (showSites) {
            drawSites(f);
        }
        if (showHelp) {
            drawHelp();
        }
        if (f.progress) {
            drawProgress(*f.progress);
        }
        ImGui::Render();
        painter->flush();
        ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
        painter->frameDone();
    }

    void drawWindows(const frame& f) {
        const ImGuiStyle& style = ImGui::GetStyle();
        const float titleHeight = ImGui::GetFontSize() + style.FramePadding.y * 2.0f;
        const ImVec2 pad = style.WindowPadding;
        windowRects.clear();
        bool anyEntryActive = false;
        std::set<std::uint64_t> seen;
        for (std::size_t wi = 0; wi < f.windows.size(); ++wi) {
            const uiWindow& w = f.windows[wi];
            if (!seen.insert(w.id).second) {
                continue; // one window per id: ImGui would merge them
            }
            windowState& st = windows[w.id];
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
            windowRects.push_back({pos.x, pos.y, pos.x + size.x, pos.y + size.y});

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
                } else if (drawEntry(w, ci, st)) {
                    anyEntryActive = true;
                }
                ImGui::PopID();
            }
            ImGui::End();
        }
        // Forget windows that are gone, so that one coming back gets its size again.
        for (auto it = windows.begin(); it != windows.end();) {
            it = seen.count(it->first) ? std::next(it) : windows.erase(it);
        }
        entryFocus = anyEntryActive;
    }

    // The title where ImGui would have drawn it, clipped to the title bar.
    void drawTitle(const std::string& title, const ImVec2& pos, float width, float height) {
        ImDrawList* dl = ImGui::GetWindowDrawList();
        const ImGuiStyle& style = ImGui::GetStyle();
        dl->PushClipRect(pos, ImVec2(pos.x + width - style.FramePadding.x, pos.y + height), false);
        painter->draw(dl, ImVec2(pos.x + style.FramePadding.x, pos.y + style.FramePadding.y),
                      ImGui::GetColorU32(ImGuiCol_Text), title);
        dl->PopClipRect();
    }

    // One line per cell row, each centred in its row.
    void drawLabel(const uiElement& child, const ImVec2& origin) {
        const float rowOffset =
            (static_cast<float>(options.cellHeight) - ImGui::GetFontSize()) * 0.5f;
        const std::string_view all = child.text;
        ImDrawList* dl = ImGui::GetWindowDrawList();
        const ImU32 colour = ImGui::GetColorU32(ImGuiCol_Text);
        std::size_t from = 0;
        for (int row = 0;; ++row) {
            const std::size_t lineEnd = std::min(all.find('\n', from), all.size());
            ImGui::SetCursorPos(ImVec2(origin.x + static_cast<float>(child.x),
                                       origin.y + static_cast<float>(child.y) + rowOffset +
                                           static_cast<float>(row * options.cellHeight)));
            painter->draw(dl, ImGui::GetCursorScreenPos(), colour,
                          all.substr(from, lineEnd - from));
            if (lineEnd == all.size()) {
                break;
            }
            from = lineEnd + 1;
        }
    }

    // True while the entry holds keyboard focus.
    bool drawEntry(const uiWindow& w, std::size_t ci, windowState& st) {
        const uiElement& child = w.children[ci];
        std::string& text = st.entries[ci];
        const ImGuiID id = ImGui::GetID("##entry");
        // While the user edits, the field keeps its own text and ImGui draws it in logical order;
        // otherwise it shows the widget's, shaped by the text painter over the field.
        const bool editing = ImGui::GetActiveID() == id;
        detail::standIns& table = st.standIns[ci];
        if (!editing) {
            table = {};
            text = detail::withStandIns(shown(child.text), table);
        }
        const std::string before = text;
        ImGui::SetNextItemWidth(static_cast<float>(std::max(child.w, 1)));
        // A frame exactly one cell row high, as the layout measured it.
        const float padY =
            std::max(0.0f, (static_cast<float>(options.cellHeight) - ImGui::GetFontSize()) * 0.5f);
        ImGui::PushStyleVar(ImGuiStyleVar_FramePadding,
                            ImVec2(ImGui::GetStyle().FramePadding.x, padY));
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
            painter->draw(dl, ImVec2(min.x + ImGui::GetStyle().FramePadding.x, min.y + padY),
                          ImGui::GetColorU32(ImGuiCol_Text), child.text);
            dl->PopClipRect();
        }
        ImGui::PopAllowKeyboardFocus();
        ImGui::PopStyleVar();
        const bool active = ImGui::IsItemActive();
        if (text != before && host) {
            host->entryText(w.id, ci, detail::withoutStandIns(text, table));
        }
        if (enter && host) {
            host->entryEnter(w.id, ci);
        }
        return active;
    }

    // Each label centred over the point where its position projects; nothing for a point behind
    // the camera.
    void drawLabels(const frame& f) {
        if (f.labels.empty()) {
            return;
        }
        const ImVec2 display = ImGui::GetIO().DisplaySize;
        if (display.x <= 0 || display.y <= 0) {
            return;
        }
        matrix view = identityMatrix;
        if (!detail::invert(detail::withoutScale(f.view.world), view)) {
            return;
        }
        const float nearPlane = f.view.nearPlane > 0 ? f.view.nearPlane : 0.05f;
        const float farPlane = f.view.farPlane > nearPlane ? f.view.farPlane : nearPlane * 20000.0f;
        const float fov = f.view.fovY > 1.0f && f.view.fovY < 179.0f ? f.view.fovY : 60.0f;
        const matrix clip = detail::multiply(
            view, detail::perspective(fov, display.x / display.y, nearPlane, farPlane));
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
            const ImVec2 size(painter->width(l.text), ImGui::GetFontSize());
            const ImVec2 at(x - size.x * 0.5f, y - size.y);
            dl->AddRectFilled(ImVec2(at.x - 3, at.y - 2),
                              ImVec2(at.x + size.x + 3, at.y + size.y + 1), IM_COL32(0, 0, 0, 140),
                              3.0f);
            painter->draw(dl, at, colourOf(l.colour), l.text);
        }
    }

    void drawHud(const frame& f) {
        drawLabels(f);
        if (f.hud.empty()) {
            return;
        }
        ImDrawList* dl = ImGui::GetForegroundDrawList();
        const float lineHeight = ImGui::GetTextLineHeightWithSpacing();
        const ImVec2 display = ImGui::GetIO().DisplaySize;
        const float margin = 8.0f;
        // A line wider than the window breaks between its groups rather than running off it.
        std::vector<std::string> lines;
        for (const std::string& line : f.hud) {
            for (std::string& part :
                 text::wrapAtGaps(shown(line), display.x - 2 * margin - 8,
                                  [this](const std::string& t) { return painter->width(t); }))
                lines.push_back(std::move(part));
        }
        float width = 0;
        for (const std::string& line : lines) {
            width = std::max(width, painter->width(line));
        }
        const float height = lineHeight * static_cast<float>(lines.size());
        const ImVec2 topLeft(margin, display.y - margin - height);
        // A light veil: the scene stays visible through it, and each letter carries a dark
        // shadow so that the line reads over bright models too.
        dl->AddRectFilled(ImVec2(topLeft.x - 4, topLeft.y - 4),
                          ImVec2(topLeft.x + width + 4, topLeft.y + height + 2),
                          IM_COL32(0, 0, 0, 70), 3.0f);
        float y = topLeft.y;
        for (const std::string& line : lines) {
            painter->draw(dl, ImVec2(topLeft.x + 1, y + 1), IM_COL32(0, 0, 0, 220), line);
            painter->draw(dl, ImVec2(topLeft.x, y), IM_COL32(235, 235, 235, 255), line);
            y += lineHeight;
        }
    }

    // A panel across the middle: the label, then a bar filled to the part done.
    void drawProgress(const progressBar& p) {
        ImDrawList* dl = ImGui::GetForegroundDrawList();
        const ImVec2 display = ImGui::GetIO().DisplaySize;
        const float lineHeight = ImGui::GetTextLineHeightWithSpacing();
        const float width = std::clamp(display.x * 0.5f, 200.0f, 640.0f);
        const float barHeight = lineHeight * 0.8f;
        const ImVec2 topLeft((display.x - width) * 0.5f,
                             (display.y - lineHeight - barHeight) * 0.5f);
        dl->AddRectFilled(ImVec2(topLeft.x - 10, topLeft.y - 8),
                          ImVec2(topLeft.x + width + 10, topLeft.y + lineHeight + barHeight + 10),
                          IM_COL32(0, 0, 0, 190), 4.0f);
        painter->draw(dl, topLeft, IM_COL32(235, 235, 235, 255), p.label);
        const ImVec2 barTop(topLeft.x, topLeft.y + lineHeight + 2);
        const float done = std::clamp(p.done, 0.0f, 1.0f);
        dl->AddRectFilled(barTop, ImVec2(barTop.x + width, barTop.y + barHeight),
                          IM_COL32(70, 70, 70, 255), 2.0f);
        dl->AddRectFilled(barTop, ImVec2(barTop.x + width * done, barTop.y + barHeight),
                          IM_COL32(90, 160, 230, 255), 2.0f);
    }

    static ImU32 colourOf(const std::array<float, 4>& c) {
        return ImGui::ColorConvertFloat4ToU32(ImVec4(c[0], c[1], c[2], c[3]));
    }

    // The sites present, at the top right: a swatch of each user's colour, the user, "you" for
    // this site. Drawn like the help, so it takes no focus and no clicks.
    void drawSites(const frame& f) {
        ImDrawList* dl = ImGui::GetForegroundDrawList();
        const float lineHeight = ImGui::GetTextLineHeightWithSpacing();
        const ImVec2 display = ImGui::GetIO().DisplaySize;
        const std::string heading =
            f.shared ? "Here now (" + std::to_string(f.sites.size()) + ")  F2 closes"
                     : "Not in a shared scene  F2 closes";
        const float swatch = lineHeight * 0.7f, gap = 6.0f, pad = 10.0f;
        float width = painter->width(heading);
        // As many lines as fit the view; the rest counted on a last line.
        const std::size_t fit = static_cast<std::size_t>(
            std::max(1.0f, (display.y - 24.0f - 2 * pad) / lineHeight - 2.0f));
        const std::size_t listed = std::min(f.sites.size(), fit);
        std::vector<std::string> names;
        for (std::size_t i = 0; i < listed; ++i) {
            names.push_back(f.sites[i].user + (f.sites[i].self ? "  (you)" : ""));
            width = std::max(width, swatch + gap + painter->width(names.back()));
        }
        const std::string more =
            listed < f.sites.size() ? "... and " + std::to_string(f.sites.size() - listed) + " more"
                                    : std::string();
        width = std::max(width, painter->width(more)) + 2 * pad;
        const float height =
            lineHeight * static_cast<float>(1 + names.size() + (more.empty() ? 0 : 1)) + 2 * pad;
        const ImVec2 p0(std::max(0.0f, display.x - width - 12.0f), 12.0f);
        dl->AddRectFilled(p0, ImVec2(p0.x + width, p0.y + height), IM_COL32(20, 22, 28, 220), 6);
        dl->AddRect(p0, ImVec2(p0.x + width, p0.y + height), IM_COL32(120, 130, 150, 255), 6);
        float y = p0.y + pad;
        const float x = p0.x + pad;
        painter->draw(dl, ImVec2(x, y), IM_COL32(150, 190, 255, 255), heading);
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
            painter->draw(dl, ImVec2(x + swatch + gap, y), colourOf(tint), names[i]);
        }
        if (!more.empty()) {
            painter->draw(dl, ImVec2(x, y + lineHeight), IM_COL32(200, 200, 200, 255), more);
        }
    }

    // Drawn straight into the foreground list: always on top, and it takes no focus from an entry.
    void drawHelp() {
        ImDrawList* dl = ImGui::GetForegroundDrawList();
        const float lineHeight = ImGui::GetTextLineHeightWithSpacing();
        const ImVec2 display = ImGui::GetIO().DisplaySize;
        const char* const heading = helpHeading;
        float keyWidth = 0, actionWidth = painter->width(heading);
        std::size_t lines = 1;
        for (const helpSection& s : help) {
            actionWidth = std::max(actionWidth, painter->width(s.title));
            lines += 2 + s.keys.size();
            for (const auto& [key, action] : s.keys) {
                keyWidth = std::max(keyWidth, painter->width(key));
                actionWidth = std::max(actionWidth, painter->width(action));
            }
        }
        const float gap = 16.0f, pad = 14.0f;
        const float width = keyWidth + gap + actionWidth + 2 * pad;
        const float height = lineHeight * static_cast<float>(lines) + 2 * pad;
        const ImVec2 p0(std::max(0.0f, (display.x - width) * 0.5f),
                        std::max(0.0f, (display.y - height) * 0.5f));
        dl->AddRectFilled(p0, ImVec2(p0.x + width, p0.y + height), IM_COL32(20, 22, 28, 230), 6);
        dl->AddRect(p0, ImVec2(p0.x + width, p0.y + height), IM_COL32(120, 130, 150, 255), 6);
        float y = p0.y + pad;
        const float x = p0.x + pad;
        painter->draw(dl, ImVec2(x, y), IM_COL32(255, 255, 255, 255), heading);
        y += lineHeight;
        for (const helpSection& s : help) {
            y += lineHeight;
            painter->draw(dl, ImVec2(x, y), IM_COL32(150, 190, 255, 255), s.title);
            y += lineHeight;
            for (const auto& [key, action] : s.keys) {
                painter->draw(dl, ImVec2(x, y), IM_COL32(255, 220, 120, 255), key);
                painter->draw(dl, ImVec2(x + keyWidth + gap, y), IM_COL32(230, 230, 230, 255),
                              action);
                y += lineHeight;
            }
        }
    }

    void saveScreenshot() {
        screenshotRequested = false;
        const image picture = target->readPixels();
        std::error_code ec;
        for (int n = 1; n < 100000; ++n) {
            const auto file = options.screenshotDir / ("screenshot-" + std::to_string(n) + ".png");
            if (std::filesystem::exists(file, ec)) {
                continue;
            }
            if (writePng(picture, file)) {
                std::fprintf(stderr, "screenshot: saved to %s\n", file.string().c_str());
            }
            return;
        }
    }
};

screen::screen() : impl_(std::make_unique<impl>()) {}
screen::~screen() = default;

std::unique_ptr<screen> screen::create(std::unique_ptr<backend> target, inputSink* sink,
                                       const screenOptions& options) {
    if (!target) {
        return nullptr;
    }
    std::unique_ptr<screen> v(new screen());
    impl& d = *v->impl_;
    d.target = std::move(target);
    d.host = sink;
    d.options = options;
    d.target->beginFrame();
    d.scene = std::make_unique<renderer>();
    d.scene->setSmoothEdges(options.smoothEdges);
    if (!d.scene->ok() || !d.startUi()) {
        return nullptr;
    }
    d.target->setInputSink(&d);
    return v;
}

bool screen::isOpen() const {
    return impl_->target->isOpen();
}
void screen::close() {
    impl_->target->close();
}
void screen::pollEvents() {
    impl_->target->pollEvents();
}
bool screen::waitEvents(double seconds) {
    return impl_->target->waitEvents(seconds);
}

void screen::drawFrame(const frame& f) {
    impl_->render(f);
    if (impl_->screenshotRequested) {
        impl_->saveScreenshot();
    }
    impl_->target->endFrame();
}

void screen::setSmoothEdges(bool on) {
    impl_->scene->setSmoothEdges(on);
}

image screen::capture(const frame& f) {
    impl_->render(f);
    image picture = impl_->target->readPixels();
    impl_->target->endFrame();
    return picture;
}

bool screen::snapshot(const frame& f, const std::filesystem::path& png) {
    return writePng(capture(f), png);
}

inputSink& screen::input() {
    return *impl_;
}
void screen::setInputSink(inputSink* sink) {
    impl_->host = sink;
}
void screen::setEscapeCloses(bool closes) {
    impl_->escapeCloses = closes;
}
bool screen::entryHasFocus() const {
    return impl_->entryFocus;
}
void screen::setHelp(std::vector<helpSection> sections) {
    impl_->help = std::move(sections);
}
void screen::showHelp(bool on) {
    impl_->showHelp = on;
}
bool screen::helpShown() const {
    return impl_->showHelp;
}
void screen::showSites(bool on) {
    impl_->showSites = on;
}
bool screen::sitesShown() const {
    return impl_->showSites;
}
renderer& screen::scene() {
    return *impl_->scene;
}
backend& screen::target() {
    return *impl_->target;
}

} // namespace zel::render
