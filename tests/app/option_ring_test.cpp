#include "option_ring.h"

#include <zel/types.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using propplacer::optionRing;
using zel::wstring;

// One ring, one sequence of steps, the elements and positions they must reach.
struct stepCase {
    const char* name;
    std::vector<wstring> elements;
    std::vector<char> steps; // 'n' next, 'p' previous
    std::vector<wstring> results;
    std::int32_t finalPosition;
};

TEST(optionRing, stepsWrapAroundAtEitherEnd) {
    const std::vector<stepCase> cases = {
        {"four axes forward",
         {u"X", u"Y", u"Z", u"XYZ"},
         {'n', 'n', 'n', 'n'},
         {u"Y", u"Z", u"XYZ", u"X"},
         0},
        {"four axes back from the first", {u"X", u"Y", u"Z", u"XYZ"}, {'p'}, {u"XYZ"}, 3},
        {"four axes back and forth",
         {u"X", u"Y", u"Z", u"XYZ"},
         {'p', 'p', 'n', 'n', 'n'},
         {u"XYZ", u"Z", u"XYZ", u"X", u"Y"},
         1},
        {"two alternate forward", {u"OFF", u"ON"}, {'n', 'n', 'n'}, {u"ON", u"OFF", u"ON"}, 1},
        {"two alternate back", {u"OFF", u"ON"}, {'p', 'p', 'p'}, {u"ON", u"OFF", u"ON"}, 1},
        {"one stays put", {u"only"}, {'n', 'p', 'p', 'n'}, {u"only", u"only", u"only", u"only"}, 0},
    };
    for (const stepCase& c : cases) {
        SCOPED_TRACE(c.name);
        optionRing<wstring> ring;
        for (const wstring& e : c.elements)
            ring.append(e);
        ASSERT_EQ(ring.current(), c.elements.front());
        ASSERT_EQ(ring.currentIndex(), 0);
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const wstring got = c.steps[i] == 'n' ? ring.next() : ring.previous();
            EXPECT_EQ(got, c.results[i]) << "step " << i;
            EXPECT_EQ(ring.current(), got) << "step " << i;
        }
        EXPECT_EQ(ring.currentIndex(), c.finalPosition);
    }
}

TEST(optionRing, appendReturnsPositionsAndNeverMovesTheCurrentOne) {
    optionRing<wstring> ring;
    EXPECT_TRUE(ring.isEmpty());
    EXPECT_EQ(ring.append(u"a"), 0);
    EXPECT_FALSE(ring.isEmpty());
    EXPECT_EQ(ring.current(), u"a") << "the first element appended becomes the current one";
    EXPECT_EQ(ring.append(u"b"), 1);
    EXPECT_EQ(ring.append(u"c"), 2);
    ring.next();
    ring.next();
    ASSERT_EQ(ring.currentIndex(), 2);
    EXPECT_EQ(ring.append(u"d"), 3);
    EXPECT_EQ(ring.currentIndex(), 2);
    EXPECT_EQ(ring.current(), u"c");
    EXPECT_EQ(ring.next(), u"d") << "the ring now wraps after the new last element";
    EXPECT_EQ(ring.next(), u"a");
}

TEST(optionRing, emptyRingHasNoElementAndStaysAtZero) {
    optionRing<wstring> names;
    EXPECT_EQ(names.current(), u"");
    EXPECT_EQ(names.next(), u"");
    EXPECT_EQ(names.previous(), u"");
    EXPECT_EQ(names.currentIndex(), 0);
    EXPECT_TRUE(names.isEmpty());

    optionRing<int*> nodes;
    EXPECT_EQ(nodes.current(), nullptr);
    EXPECT_EQ(nodes.next(), nullptr);
    EXPECT_EQ(nodes.previous(), nullptr);
    EXPECT_EQ(nodes.currentIndex(), 0);
}

TEST(optionRing, pointerRingHoldsThePointersItWasGiven) {
    int a = 0;
    int b = 0;
    optionRing<int*> ring;
    ring.append(&a);
    ring.append(&b);
    ring.append(&a);
    EXPECT_EQ(ring.current(), &a);
    EXPECT_EQ(ring.next(), &b);
    EXPECT_EQ(ring.next(), &a) << "duplicates are kept";
    EXPECT_EQ(ring.currentIndex(), 2);
}

} // namespace
