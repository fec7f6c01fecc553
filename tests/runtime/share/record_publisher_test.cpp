// The record publisher without a broker: what goes out, what goes again and when, with the
// sending and the clock in the test's hand.
#include "record_publisher.h"

#include <gtest/gtest.h>

#include <map>

using namespace zel::share::detail;

namespace {

struct bench {
    clock::time_point now = clock::time_point{} + std::chrono::hours(1);
    recordPublisher pub{[this] { return now; }};
    std::vector<std::string> sent; // "key=value", "key=DEL"
    bool accept = true;

    // Sends what is due now, at most max; the keys sent. next: when more is due.
    std::vector<std::string> flush(std::size_t max = 100) {
        sent.clear();
        next = now + std::chrono::hours(1);
        const std::size_t count = pub.sendDue(
            [&](const std::string& k, const std::string& v, bool erase) {
                sent.push_back(k + "=" + (erase ? "DEL" : v));
                return accept;
            },
            max, next);
        EXPECT_EQ(count, sent.size());
        return sent;
    }
    clock::time_point next;
    void ackAll(bool ok = true) {
        for (const std::string& s : sent)
            pub.acknowledged(s.substr(0, s.find('=')), ok, ok ? "" : "refused");
    }
};

using list = std::vector<std::string>;

TEST(RecordPublisher, SendsEachStateOnceAndAgainOnlyWhenRefusedOrLost) {
    bench b;
    b.pub.put("u.1.1", "a", false);
    b.pub.put("u.1.1", "b", false); // only the latest state goes
    EXPECT_EQ(b.flush(), list{"u.1.1=b"});
    EXPECT_EQ(b.pub.unsettled(), 1u);
    b.ackAll();
    EXPECT_EQ(b.pub.unsettled(), 0u);
    b.pub.put("u.1.1", "b", false); // what the broker holds: nothing goes
    EXPECT_TRUE(b.flush().empty());

    // A refused send goes again, not before its wait, and the reason is kept.
    b.pub.put("u.1.1", "c", false);
    b.flush();
    b.ackAll(false);
    EXPECT_EQ(b.pub.lastError(), "refused");
    EXPECT_TRUE(b.flush().empty());
    b.now += std::chrono::milliseconds(260);
    EXPECT_EQ(b.flush(), list{"u.1.1=c"});
    b.ackAll();
    EXPECT_EQ(b.pub.unsettled(), 0u);

    // A send the client could not hand over goes again later, the same way.
    b.accept = false;
    b.pub.put("u.1.2", "x", false);
    EXPECT_EQ(b.flush(), list{"u.1.2=x"});
    b.accept = true;
    EXPECT_TRUE(b.flush().empty());
    b.now += std::chrono::seconds(1);
    EXPECT_EQ(b.flush(), list{"u.1.2=x"});
    b.ackAll();

    // A delete acknowledged is forgotten; everything else goes again on request.
    b.pub.put("u.1.2", "", true);
    EXPECT_EQ(b.flush(), list{"u.1.2=DEL"});
    b.ackAll();
    EXPECT_FALSE(b.pub.knows("u.1.2"));
    b.pub.resendEverything();
    EXPECT_EQ(b.flush(), list{"u.1.1=c"});
}

// A batch holds at most max records; what is left is due at once, in the next batch.
TEST(RecordPublisher, ABatchHoldsAtMostItsMaximum) {
    struct testCase {
        std::size_t due;
        std::size_t max;
        std::size_t sent;
    };
    for (const testCase c : {testCase{2, 3, 2}, testCase{3, 3, 3}, testCase{4, 3, 3},
                             testCase{3, 1, 1}, testCase{1, 3, 1}}) {
        SCOPED_TRACE(std::to_string(c.due) + " due, at most " + std::to_string(c.max));
        bench b;
        for (std::size_t i = 0; i < c.due; ++i)
            b.pub.put("u.1." + std::to_string(i), "v", false);
        EXPECT_EQ(b.flush(c.max).size(), c.sent);
        EXPECT_EQ(b.next, c.sent < c.due ? b.now : b.now + std::chrono::hours(1));
        EXPECT_EQ(b.flush().size(), c.due - c.sent);
    }
}

TEST(RecordPublisher, OwnKeysOnTheBrokerAreBroughtBackToTheWantedState) {
    struct row {
        const char* what;
        bool known; // this site wants "v" under the key (a delete, once done, is forgotten)
        const char* held;
        bool heldErased;
        const char* sends; // "" when nothing goes
    };
    const row rows[] = {
        {"same value", true, "v", false, ""},
        {"other value (a stale write)", true, "w", false, "k=v"},
        {"deleted by someone", true, "", true, "k=v"},
        {"never ours, or deleted by us before", false, "w", false, "k=DEL"},
        {"never ours and gone", false, "", true, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        bench b;
        if (r.known) {
            b.pub.put("k", "v", false);
            b.flush();
            b.ackAll();
        }
        b.pub.verifyOwn("k", r.held, r.heldErased);
        const list got = b.flush();
        EXPECT_EQ(got.empty() ? std::string() : got.front(), r.sends);
    }
    // A key in flight is not judged by what the broker held before.
    bench b;
    b.pub.put("k", "v", false);
    b.flush();
    b.pub.verifyOwn("k", "old", false);
    EXPECT_TRUE(b.flush().empty());
}

} // namespace
