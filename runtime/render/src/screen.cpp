// Contents: set-up and tear-down of the UI; the frame (scene, widget windows, overlays);
// screenshots; the screen's public operations.

#include <zel/render/screen.h>

#include "input_filter.h"
#include "overlays.h"
#include "text/font_search.h"
#include "text/glyph_set.h"
#include "text/text_painter.h"
#include "widget_windows.h"

#include <backends/imgui_impl_opengl3.h>
#include <imgui.h>

#include <cstdio>
#include <system_error>

namespace zel::render {

struct screen::impl {
    std::unique_ptr<backend> target;
    std::unique_ptr<renderer> scene;
    screenOptions options;
    bool uiReady = false;
    bool glUiReady = false;
    bool fontTextureMade = false;                 // by the OpenGL backend's first NewFrame
    std::unique_ptr<detail::glyphSet> glyphs;     // ImGui's font: what an entry shows while edited
    std::unique_ptr<detail::textPainter> painter; // every other text, shaped
    std::unique_ptr<detail::widgetWindows> windows;
    detail::uiCover cover; // written by the windows, read by the input filter
    std::unique_ptr<detail::inputFilter> input;
    std::vector<helpSection> help; // the host's: setHelp

    ~impl() {
        if (!target) {
            return;
        }
        target->beginFrame();
        scene.reset();
        windows.reset();
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

    bool startUi() {
        IMGUI_CHECKVERSION();
        ImGui::CreateContext();
        ImGuiIO& io = ImGui::GetIO();
        io.IniFilename = nullptr; // no imgui.ini in the user's folder
        io.LogFilename = nullptr;
        ImGui::StyleColorsDark();
        ImGui::GetStyle().WindowRounding = 4.0f;

        detail::fontOptions fonts;
        fonts.primaryFile = detail::primaryFontFile(options.fontFile);
        fonts.size = options.fontSize;
        fonts.cellWidth = options.cellWidth;
        fonts.knownFiles = detail::debianFontFiles();
        glyphs = std::make_unique<detail::glyphSet>(fonts);
        painter = std::make_unique<detail::textPainter>(std::move(fonts));
        windows = std::make_unique<detail::widgetWindows>(*glyphs, *painter, options.cellHeight);
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

    // The scene, then the UI over it: the widget windows, the overlays, and the text painter's
    // glyphs uploaded before ImGui's draw data is rendered.
    void render(const frame& f) {
        target->beginFrame();
        scene->draw(f, target->frameWidth(), target->frameHeight());
        windows->updateGlyphs(f, fontTextureMade);
        ImGui_ImplOpenGL3_NewFrame();
        fontTextureMade = true;
        target->newUiFrame();
        ImGui::NewFrame();
        windows->draw(f, input->host, cover);
        detail::drawLabels(*painter, f);
        detail::drawHud(*painter, f.hud);
        if (input->showSites) {
            detail::drawSites(*painter, f);
        }
        if (input->showHelp) {
            detail::drawHelp(*painter, help);
        }
        if (f.progress) {
            detail::drawProgress(*painter, *f.progress);
        }
        ImGui::Render();
        painter->flush();
        ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
        painter->frameDone();
    }

    void saveScreenshot() {
        input->screenshotRequested = false;
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
    d.options = options;
    d.target->beginFrame();
    d.scene = std::make_unique<renderer>();
    d.scene->setSmoothEdges(options.smoothEdges);
    if (!d.scene->ok() || !d.startUi()) {
        return nullptr;
    }
    d.input = std::make_unique<detail::inputFilter>(*d.target, d.cover);
    d.input->host = sink;
    d.target->setInputSink(d.input.get());
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
    if (impl_->input->screenshotRequested) {
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
    return *impl_->input;
}
void screen::setInputSink(inputSink* sink) {
    impl_->input->host = sink;
}
void screen::setEscapeCloses(bool closes) {
    impl_->input->escapeCloses = closes;
}
bool screen::entryHasFocus() const {
    return impl_->cover.entryFocus;
}
void screen::setHelp(std::vector<helpSection> sections) {
    impl_->help = std::move(sections);
}
void screen::showHelp(bool on) {
    impl_->input->showHelp = on;
}
bool screen::helpShown() const {
    return impl_->input->showHelp;
}
void screen::showSites(bool on) {
    impl_->input->showSites = on;
}
bool screen::sitesShown() const {
    return impl_->input->showSites;
}
renderer& screen::scene() {
    return *impl_->scene;
}
backend& screen::target() {
    return *impl_->target;
}

} // namespace zel::render
