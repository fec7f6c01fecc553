// The header-only handles: counted references and owning iterator handles.
#include <zel/xstd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using zel::xstd::counted;
using zel::xstd::iterator;
using zel::xstd::iteratorImpl;

// A counted object that may own another counted object, as a window owns its label.
struct refObject {
    refObject(std::string n, std::vector<std::string>* l) : name(std::move(n)), log(l) {}
    int acquire(int n) {
        count += n;
        log->push_back("acquire " + name);
        return count;
    }
    // Out of line: inlined, g++ cannot see that the count keeps the object alive and warns of a use
    // after the delete below.
    [[gnu::noinline]] int release(int n) {
        count -= n;
        log->push_back("release " + name);
        if (count == 0) {
            log->push_back("destroy " + name);
            if (owned)
                owned->release(1);
            delete this;
            return 0;
        }
        return count;
    }
    std::string name;
    std::vector<std::string>* log;
    int count = 0;
    refObject* owned = nullptr;
};

TEST(Counted, AcquiresTheNewObjectBeforeReleasingTheOld) {
    std::vector<std::string> log;
    auto* child = new refObject("child", &log);
    auto* parent = new refObject("parent", &log);
    child->acquire(1);
    parent->owned = child;
    log.clear();
    {
        counted<refObject> handle(parent);
        // The parent holds the only other reference on the child: releasing the parent first
        // would destroy the child before the handle could take it.
        handle = child;
        EXPECT_EQ(handle.get(), child);
        EXPECT_EQ(child->count, 1);
        handle = handle.get();
        EXPECT_EQ(child->count, 1);
        counted<refObject> copy(handle);
        EXPECT_EQ(child->count, 2);
        copy.reset();
        EXPECT_FALSE(copy);
        copy.reset();
        EXPECT_TRUE(handle);
    }
    EXPECT_EQ(log, (std::vector<std::string>{"acquire parent", "acquire child", "release parent",
                                             "destroy parent", "release child", "acquire child",
                                             "release child", "acquire child", "release child",
                                             "release child", "destroy child"}));
}

struct countingImpl : iteratorImpl<int> {
    explicit countingImpl(int* d, int n = 2) : deaths(d), size(n) {}
    ~countingImpl() override { ++*deaths; }
    bool isValid() const override { return pos < size; }
    int getCurrent() const override { return pos; }
    void advance() override { ++pos; }
    int* deaths;
    int size;
    int pos = 0;
};

TEST(IteratorHandle, MovesOwnershipAndDeletesOnce) {
    int deaths = 0;
    {
        iterator<int> first(new countingImpl(&deaths));
        EXPECT_TRUE(first.isValid());
        iterator<int> second(std::move(first));
        EXPECT_TRUE(first.isEmpty());
        EXPECT_FALSE(first.isValid());
        first.advance();
        EXPECT_TRUE(second.isValid());
        second.advance();
        EXPECT_EQ(second.getCurrent(), 1);

        iterator<int> third(new countingImpl(&deaths));
        third = std::move(second);
        EXPECT_EQ(deaths, 1) << "the implementation overwritten by the move";
        EXPECT_TRUE(second.isEmpty());
        EXPECT_EQ(third.getCurrent(), 1);
    }
    EXPECT_EQ(deaths, 2);
    EXPECT_FALSE(iterator<int>().isValid());
    EXPECT_FALSE(iterator<int>(nullptr).isValid());
}

TEST(IteratorHandle, SnapshotWalksInOrder) {
    std::vector<int> source{3, 1, 2};
    auto it = zel::xstd::makeIterator(source);
    source.clear();
    std::vector<int> walked;
    for (; it.isValid(); it.advance())
        walked.push_back(it.getCurrent());
    it.advance();
    EXPECT_FALSE(it.isValid());
    EXPECT_EQ(walked, (std::vector<int>{3, 1, 2}));
}

} // namespace
