// The screen: a backend, the scene renderer and the UI drawn over it (the frame's windows, the HUD
// lines, the help overlay, the list of sites present). It filters input on its way to the host: F1
// toggles the help, F2 the list of sites, F12 saves a screenshot, Escape closes the screen, and
// while an entry has keyboard focus the keys go to the entry instead of the host. One screen per
// process at a time (ImGui keeps one current context).
#pragma once

#include <zel/render/backend.h>
#include <zel/render/frame.h>
#include <zel/render/image.h>
#include <zel/render/input.h>
#include <zel/render/renderer.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace zel::render {

struct helpSection {
    std::string title;
    std::vector<std::pair<std::string, std::string>> keys; // key, what it does
};

struct screenOptions {
    // A TrueType font for the UI; empty or unreadable: DejaVu Sans Mono if installed, else ImGui's
    // built-in font (Latin-1 only; one line on stderr). Characters it lacks come from the installed
    // fonts that fontconfig finds for them, added to the atlas when a text first shows them; a
    // character no font has shows as U+FFFD, and so does each byte of a text that is not UTF-8.
    std::string fontFile;
    float fontSize = 12.0f;
    // The character cell the widget layout measures text in: every glyph advances cellWidth pixels
    // and label lines stand cellHeight apart, so text fills the rectangles the packer gave exactly.
    int cellWidth = 7;
    int cellHeight = 14;
    // F12 writes screenshot-N.png (N counting from 1, skipping existing files) into this folder.
    std::filesystem::path screenshotDir = ".";
    // The scene's edges without stairs (see renderer::setSmoothEdges); the UI is drawn as it is.
    bool smoothEdges = false;
};

class screen {
public:
    // Takes the backend; `sink` (not owned, may be null) receives the input that the screen passes
    // on. Null when the renderer cannot start (reason on stderr).
    static std::unique_ptr<screen> create(std::unique_ptr<backend> target, inputSink* sink,
                                          const screenOptions& options = {});
    ~screen();
    screen(const screen&) = delete;
    screen& operator=(const screen&) = delete;

    bool isOpen() const;
    void close();
    void pollEvents();
    // The backend's waitEvents: true when something arrived that may change the picture.
    bool waitEvents(double seconds);

    // Draws and shows one frame.
    void drawFrame(const frame& f);
    // The scene's edges without stairs from the next frame on, or not (see screenOptions).
    void setSmoothEdges(bool on);
    // Draws one frame and writes it to `png`. False when the file cannot be written.
    bool snapshot(const frame& f, const std::filesystem::path& png);
    // Draws one frame and returns its pixels.
    image capture(const frame& f);

    // The input entry point of the backend; tests may feed it directly.
    inputSink& input();
    // Where the input the view passes on goes from now on (not owned; null drops it).
    void setInputSink(inputSink* sink);
    // While false, Escape does not close the view (nor the help): it goes to the sink as
    // viewerKeyDown(escape), for the host to cancel what it is doing. True at first.
    void setEscapeCloses(bool closes);
    // True while an entry of a window holds keyboard focus (as of the last drawn frame).
    bool entryHasFocus() const;

    void setHelp(std::vector<helpSection> sections);
    void showHelp(bool on);
    bool helpShown() const;
    // The frame's list of sites present (F2).
    void showSites(bool on);
    bool sitesShown() const;

    renderer& scene();
    backend& target();

private:
    screen();
    struct impl;
    std::unique_ptr<impl> impl_;
};

} // namespace zel::render
