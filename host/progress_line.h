// Headless progress of a model import: one line on a terminal, "Loading NAME  NN% [####    ]",
// rewritten in place and erased when the import is over. Quick imports show nothing.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

namespace zel::host {

class progressLine {
public:
    // out must be a terminal (the host checks): the line is drawn with a carriage return and
    // erased with an ANSI erase-line.
    explicit progressLine(std::FILE* out) : out_(out) {}

    // The world's read progress: always true (a terminal has no cancel but Ctrl-C).
    bool update(const std::string& file, double done);
    void finished();

    // The line for file at done, at most width columns.
    static std::string format(const std::string& file, double done, std::size_t width = 79);

private:
    std::FILE* out_;
    bool active_ = false, shown_ = false;
    double lastDone_ = 0; // the part done when the line was last drawn
    std::chrono::steady_clock::time_point start_, lastDraw_;
};

} // namespace zel::host
