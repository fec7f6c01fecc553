// 100,000 random events, seeded, through one zelhost: keys (listed and unlisted), mouse, wheel,
// entry, resize, lifecycle calls in any order, destroy included, and the animation clock.
#include "e2e.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

namespace e2e {
namespace {

class scriptMaker {
public:
    explicit scriptMaker(std::uint32_t seed) : gen_(seed) {}

    std::string make(int events, const std::string& dumpFile) {
        std::string s;
        bool destroyed = false;
        int forcedDestroy = events - 1 - static_cast<int>(pick(events / 10));
        for (int i = 0; i < events; ++i) {
            if (!destroyed && i == forcedDestroy) {
                s += "destroy\n";
                destroyed = true;
                continue;
            }
            unsigned roll = pick(1000);
            if (roll < 560) {
                static const char* kinds[] = {"key", "down", "up", "press"};
                s += std::string(kinds[pick(4)]) + " " + keyWord() + "\n";
            } else if (roll < 760) {
                s += mouse();
            } else if (roll < 800) {
                int delta = pick(4) == 0 ? static_cast<int>(pick(100001)) - 50000
                                         : (static_cast<int>(pick(9)) - 4) * 120;
                s += "wheel " + std::to_string(delta) + "\n";
            } else if (roll < 850) {
                s += pick(2) ? "entry enter\n" : "entry type " + text() + "\n";
            } else if (roll < 880) {
                s += "resize " + std::to_string(1 + pick(2000)) + " " +
                     std::to_string(1 + pick(2000)) + "\n";
            } else if (roll < 960) {
                s += "advance " + std::to_string(pick(2000) / 1000.0) + "\n";
            } else if (roll < 999) {
                static const char* calls[] = {"start", "stop", "activate", "deactivate"};
                s += std::string(calls[pick(4)]) + "\n";
            } else if (pick(100) == 0) {
                s += "destroy\n";
                destroyed = true;
            } else {
                s += "start\n";
            }
            if (i % 10000 == 5000)
                s += "dump " + dumpFile + "\n";
        }
        return s;
    }

private:
    unsigned pick(unsigned n) { return static_cast<unsigned>(gen_() % n); }

    std::string keyWord() {
        static const char* listed[] = {"z", "Z", "x", "X", "c", "C", "v", "V",
                                       "b", "n", ",", ".", "<", ">", "?"};
        static const char* others[] = {
            "a",     "q",     "1",          "0x23",     "0x0",          "0x7F", "0xFF",
            "0x178", "0x100", "0xFFFFFFFF", "\xC3\xA9", "\xE2\x82\xAC", ";"};
        if (pick(10) < 8)
            return listed[pick(15)];
        return others[pick(13)];
    }

    std::string position() {
        if (pick(10) == 0)
            return "nopos";
        auto coord = [&] { return std::to_string(static_cast<int>(pick(2200)) - 100); };
        return coord() + " " + coord();
    }

    std::string mouse() {
        static const char* actions[] = {"down", "drag", "up", "move"};
        std::string action = actions[pick(4)];
        if (action == "move")
            return "mouse move " + position() + "\n";
        return "mouse " + action + " " + std::to_string(pick(4)) + " " + position() + "\n";
    }

    std::string text() {
        static const char* pieces[] = {"a",
                                       "Z",
                                       " ",
                                       "#",
                                       "geoms.zip",
                                       "http://",
                                       "\xC3\xBC",
                                       "\xE6\x97\xA5",
                                       "\xF0\x9F\x98\x80",
                                       "/",
                                       "0",
                                       "%"};
        std::string t;
        for (unsigned n = pick(8); n > 0; --n)
            t += pieces[pick(12)];
        return t;
    }

    std::mt19937 gen_;
};

TEST(randomEvents, hundredThousandEventsRunToTheEnd) {
    tempFolder tmp;
    fs::path script = tmp.path() / "random.zel";
    scriptMaker maker(20240607u);
    writeText(script, maker.make(100000, (tmp.path() / "dump.json").string()));
    processOptions spec;
    spec.args = {zelhostPath(), "--script", script.string(), "--dump",
                 (tmp.path() / "final.json").string()};
    spec.timeoutSeconds = 1200;
    auto r = runProcess(spec);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exitCode, 0) << r.err.substr(0, 4000);
    EXPECT_EQ(r.out.rfind(startTrace, 0), 0u);
    // The events reached the application: models were swapped and starts repeated.
    std::size_t loads = 0;
    for (std::size_t at = 0; (at = r.out.find("|> in loadGeom\n", at)) != std::string::npos; ++at)
        ++loads;
    EXPECT_GT(loads, 1000u);
    json final = readJson(tmp.path() / "final.json");
    EXPECT_TRUE(final.is_object());
}

} // namespace
} // namespace e2e
