#include "attr_finder.h"

#include <zel/anim.h>
#include <zel/reader.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using propplacer::attrFinder;

struct other : zel::xstd::attr {};

// Counts how many iterator implementations are alive, to see the finder delete its own.
struct countedIterator : zel::xstd::vectorIterator<zel::xstd::attr*> {
    explicit countedIterator(std::vector<zel::xstd::attr*> items)
        : vectorIterator(std::move(items)) {
        ++alive;
    }
    ~countedIterator() override { --alive; }
    static inline int alive = 0;
};

TEST(attrFinder, standsOnEachAttributeOfItsTypeInIteratorOrder) {
    zel::anim::animAttr first;
    zel::anim::animAttr second;
    other a;
    other b;
    zel::sceneGraph::reader::animAttr unrelated;
    const std::vector<zel::xstd::attr*> list = {&a, &first, nullptr, &b, &unrelated, &second, &a};

    zel::xstd::iterator<zel::xstd::attr*> source(new countedIterator(list));
    {
        attrFinder<zel::anim::animAttr> finder(std::move(source));
        EXPECT_TRUE(source.isEmpty()) << "the finder takes the iterator over";
        ASSERT_TRUE(finder.isValid());
        EXPECT_EQ(finder.getFound(), &first);
        finder.next();
        ASSERT_TRUE(finder.isValid());
        EXPECT_EQ(finder.getFound(), &second);
        finder.next();
        EXPECT_FALSE(finder.isValid());
        EXPECT_EQ(finder.getFound(), nullptr);
        finder.next();
        EXPECT_FALSE(finder.isValid());
        EXPECT_EQ(countedIterator::alive, 1);
    }
    EXPECT_EQ(countedIterator::alive, 0) << "destroying the finder deletes the iterator";
}

TEST(attrFinder, findsNothingInAnEmptyOrForeignListOrAnEmptyHandle) {
    other a;
    const std::vector<std::vector<zel::xstd::attr*>> lists = {{}, {&a}, {&a, nullptr, &a}};
    for (const auto& list : lists) {
        SCOPED_TRACE(list.size());
        attrFinder<zel::anim::animAttr> finder(zel::xstd::makeIterator(list));
        EXPECT_FALSE(finder.isValid());
        EXPECT_EQ(finder.getFound(), nullptr);
    }
    attrFinder<zel::anim::animAttr> none{zel::xstd::iterator<zel::xstd::attr*>()};
    EXPECT_FALSE(none.isValid());
}

} // namespace
