// The window's input on its way to the world: held in order until delivered; Escape during an
// import asks to cancel it instead of being queued; and the headless progress line.
#include "progress_line.h"
#include "viewer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace zel::host {
namespace {

struct recorder final : render::inputSink {
    std::vector<std::string> seen;
    void keyDown(unsigned int c) override { seen.push_back("down " + std::to_string(c)); }
    void keyUp(unsigned int c) override { seen.push_back("up " + std::to_string(c)); }
    void viewerKeyDown(render::viewerKey k, bool) override {
        seen.push_back(k == render::viewerKey::escape ? "escape" : "viewer key");
    }
    void wheel(int d, bool) override { seen.push_back("wheel " + std::to_string(d)); }
    void entryEnter(std::uint64_t, std::size_t) override { seen.push_back("enter"); }
};

TEST(inputQueue, keepsTheOrderAndTurnsEscapeIntoACancelWhileBusy) {
    inputQueue q;
    q.keyDown('>');
    q.busy = true; // an import started by that key
    q.keyUp('>');
    q.viewerKeyDown(render::viewerKey::escape, false);
    q.wheel(120, false);
    q.entryEnter(1, 0);
    EXPECT_TRUE(q.cancelRequested);
    q.busy = false;
    q.viewerKeyDown(render::viewerKey::escape, false); // no import: it is the viewer's again

    recorder r;
    while (!q.empty())
        q.deliverOne(r);
    EXPECT_EQ(r.seen,
              (std::vector<std::string>{"down 62", "up 62", "wheel 120", "enter", "escape"}));
}

TEST(progressLine, namesTheFileAndFitsTheWidth) {
    EXPECT_EQ(progressLine::format("archi.3ds", 0.42),
              "Loading archi.3ds   42% [########            ]");
    EXPECT_EQ(progressLine::format("archi.3ds", 1.0),
              "Loading archi.3ds  100% [####################]");
    const std::string longName(200, 'x');
    const std::string line = progressLine::format(longName + "/end.3ds", 0.5, 79);
    EXPECT_LE(line.size(), 79u);
    EXPECT_NE(line.find("...x"), std::string::npos);
    EXPECT_NE(line.find("end.3ds   50%"), std::string::npos) << line;
}

// A helper that floods the end of its import with reports draws the line a few times, not once a
// report.
TEST(progressLine, drawsTheEndOnceWhateverTheReports) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = ::open_memstream(&text, &size);
    ASSERT_NE(out, nullptr);
    progressLine line(out);
    line.update("big.3ds", 0.5); // quick imports show nothing: wait past that
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int i = 0; i < 10000; ++i)
        line.update("big.3ds", 1.0);
    std::fflush(out);
    const std::string drawn(text, size);
    std::fclose(out);
    std::free(text);
    EXPECT_NE(drawn.find("100%"), std::string::npos);
    EXPECT_LT(std::count(drawn.begin(), drawn.end(), '\r'), 50);
}

} // namespace
} // namespace zel::host
