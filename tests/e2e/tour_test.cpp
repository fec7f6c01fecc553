// examples/tour.zel runs to its end, its trace line by line as expected, and leaves its dump.
#include "e2e.h"

#include <gtest/gtest.h>

#include <sstream>

namespace e2e {
namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

TEST(tour, runsToTheEndWithTheExpectedTrace) {
    tempFolder work;
    auto r = runHost({"--script", (examples() / "tour.zel").string()}, "", work.path());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::string expectedText = readText(fs::path(__FILE__).parent_path() / "tour.expected");
    auto expected = lines(expectedText), actual = lines(r.out);
    for (std::size_t i = 0; i < std::max(expected.size(), actual.size()); ++i) {
        SCOPED_TRACE("line " + std::to_string(i + 1));
        EXPECT_EQ(i < actual.size() ? actual[i] : "<missing>",
                  i < expected.size() ? expected[i] : "<none>");
    }
    EXPECT_EQ(r.out, expectedText);

    json d = readJson(work.path() / "tour.json");
    ASSERT_TRUE(d.is_object());
    const json* tabletop = findPath(d["scene"], {"navigator", "tabletop"});
    ASSERT_NE(tabletop, nullptr);
    ASSERT_EQ((*tabletop)["children"].size(), 1u);
    const json& model = (*tabletop)["children"][0];
    EXPECT_EQ(model["name"], "geomSink -> windmill.3ds");
    EXPECT_EQ(model["anim"]["playing"], false);
    EXPECT_EQ(labelText(d), statusText("X", "windmill.3ds", "tabletop", "OFF"));
    EXPECT_EQ(entryText(d), "http://www.example.org/mirror/geoms.zip");
    EXPECT_EQ(d["windows"][0]["connected"], true);
}

} // namespace
} // namespace e2e
