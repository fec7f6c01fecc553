#include "progress_line.h"

#include <algorithm>

namespace zel::host {

std::string progressLine::format(const std::string& file, double done, std::size_t width) {
    const int percent = static_cast<int>(std::clamp(done, 0.0, 1.0) * 100.0);
    constexpr std::size_t barWidth = 20;
    const auto filled = static_cast<std::size_t>(std::clamp(done, 0.0, 1.0) * barWidth);
    std::string tail = "  " +
                       std::string(percent < 10    ? 2
                                   : percent < 100 ? 1
                                                   : 0,
                                   ' ') +
                       std::to_string(percent) + "% [" + std::string(filled, '#') +
                       std::string(barWidth - filled, ' ') + "]";
    std::string name = file;
    const std::size_t room = width > tail.size() + 8 ? width - tail.size() - 8 : 8;
    if (name.size() > room) // keep the end of the name: the file's own part
        name = "..." + name.substr(name.size() - (room - 3));
    return "Loading " + name + tail;
}

bool progressLine::update(const std::string& file, double done) {
    const auto now = std::chrono::steady_clock::now();
    if (!active_) {
        active_ = true;
        start_ = now;
    }
    // A quick import shows nothing; a slow one a line redrawn about 10 times a second, and once
    // more when it first reaches the end (however many reports of the end follow).
    const bool firstEnd = done >= 1.0 && lastDone_ < 1.0;
    if (now - start_ < std::chrono::milliseconds(150) ||
        (shown_ && now - lastDraw_ < std::chrono::milliseconds(100) && !firstEnd))
        return true;
    lastDraw_ = now;
    lastDone_ = done;
    shown_ = true;
    std::fprintf(out_, "\r%s\033[K", format(file, done).c_str());
    std::fflush(out_);
    return true;
}

void progressLine::finished() {
    if (shown_) {
        std::fputs("\r\033[K", out_);
        std::fflush(out_);
    }
    active_ = shown_ = false;
    lastDone_ = 0;
}

} // namespace zel::host
