// The fetch table without a broker: one user's flood never keeps another's models out, requests
// over the quota wait instead of being dropped, retries never stop, failed models are remembered.
#include "fetch_table.h"

#include <gtest/gtest.h>

using namespace zel::share::detail;

namespace {

using job = fetchTable::job;
using outcome = fetchTable::outcome;

struct bench {
    fetchTable table{{/*perUser*/ 4, /*waiting*/ 2, /*failed*/ 2}};
    clock::time_point now = clock::time_point{} + std::chrono::hours(1);
    std::vector<job> dropped;

    fetchTable::answer ask(const std::string& user, const std::string& hash) {
        return table.request(user, hash, now, &dropped);
    }
    // The user.hash of the next fetch due now, or "".
    std::string next() {
        clock::time_point wake = now + std::chrono::hours(1);
        auto j = table.next(now, wake);
        return j ? j->user + "." + j->hash : "";
    }
};

TEST(FetchTable, OneUsersFloodWaitsItsTurnAndNeverPushesAnotherOut) {
    bench b;
    for (int i = 0; i < 7; ++i)
        b.ask("bob", "b" + std::to_string(i));
    EXPECT_EQ(b.ask("alice", "a"), fetchTable::answer::queued);
    EXPECT_EQ(b.ask("bob", "b5"), fetchTable::answer::waiting);
    // bob's seventh pushed out his oldest waiting request, which is answered (asked again later).
    ASSERT_EQ(b.dropped.size(), 1u);
    EXPECT_EQ(b.dropped[0].hash, "b4");
    // Users take turns.
    EXPECT_EQ(b.next(), "alice.a");
    EXPECT_EQ(b.next(), "bob.b0");
    EXPECT_EQ(b.next(), "bob.b1");
    // A fetch that ends makes room for bob's waiting request.
    b.table.finished({"bob", "b0"}, outcome::arrived, b.now);
    EXPECT_EQ(b.next(), "bob.b2");
    EXPECT_EQ(b.next(), "bob.b3");
    EXPECT_EQ(b.next(), "bob.b5");
    EXPECT_EQ(b.next(), "");
    EXPECT_EQ(b.table.underWay(), 5u); // alice.a, b1, b2, b3, b5
}

// Each user's next fetch comes after one of every other user with fetches due, whoever asked first
// and however many each asked for.
TEST(FetchTable, UsersTakeTurns) {
    struct testCase {
        const char* what;
        std::vector<std::string> asked; // "user.hash", in the order asked
        std::vector<std::string> fetched;
    };
    const testCase cases[] = {
        {"two users",
         {"bob.1", "bob.2", "alice.1", "alice.2"},
         {"alice.1", "bob.1", "alice.2", "bob.2"}},
        {"three, one with more",
         {"carol.1", "alice.1", "alice.2", "alice.3", "bob.1", "bob.2"},
         {"alice.1", "bob.1", "carol.1", "alice.2", "bob.2", "alice.3"}},
        {"one user", {"alice.1", "alice.2"}, {"alice.1", "alice.2"}},
    };
    for (const testCase& c : cases) {
        SCOPED_TRACE(c.what);
        bench b;
        for (const std::string& id : c.asked)
            ASSERT_EQ(b.ask(id.substr(0, id.find('.')), id.substr(id.find('.') + 1)),
                      fetchTable::answer::queued);
        std::vector<std::string> fetched;
        for (std::string next = b.next(); !next.empty() && fetched.size() < 10; next = b.next())
            fetched.push_back(next);
        EXPECT_EQ(fetched, c.fetched);
    }
    // A user who asks again after the others had their turn waits for theirs.
    bench b;
    b.ask("alice", "1");
    b.ask("bob", "1");
    EXPECT_EQ(b.next(), "alice.1");
    b.ask("alice", "2");
    EXPECT_EQ(b.next(), "bob.1");
    b.ask("bob", "2");
    b.ask("carol", "1");
    EXPECT_EQ(b.next(), "carol.1");
    EXPECT_EQ(b.next(), "alice.2");
    EXPECT_EQ(b.next(), "bob.2");
}

TEST(FetchTable, AMissingModelIsLookedForAgainForeverAtMostAMinuteApart) {
    bench b;
    b.ask("alice", "a");
    for (int attempt = 1; attempt <= 20; ++attempt) {
        ASSERT_EQ(b.next(), "alice.a") << attempt;
        b.table.finished({"alice", "a"}, attempt % 2 ? outcome::missing : outcome::transient,
                         b.now);
        EXPECT_EQ(b.next(), "");
        clock::time_point wake = b.now + std::chrono::hours(1);
        b.table.next(b.now, wake);
        EXPECT_LE(wake - b.now, std::chrono::seconds(75));
        b.now = wake;
    }
    // Found missing: sync does not wait for it, and it is named.
    ASSERT_EQ(b.next(), "alice.a");
    b.table.finished({"alice", "a"}, outcome::missing, b.now);
    EXPECT_EQ(b.table.underWay(), 0u);
    EXPECT_EQ(b.table.missing(), std::vector<std::string>{"alice.a"});
    // At the quota, the model missing longest gives up its place to a new one.
    for (const char* h : {"b", "c", "d"})
        b.ask("alice", h);
    EXPECT_EQ(b.ask("alice", "e"), fetchTable::answer::queued);
    ASSERT_EQ(b.dropped.size(), 1u);
    EXPECT_EQ(b.dropped[0].hash, "a");
}

TEST(FetchTable, AModelThatFailedItsChecksIsNotFetchedAgain) {
    bench b;
    for (const char* h : {"x", "y", "z"}) {
        b.ask("mal", h);
        ASSERT_EQ(b.next(), std::string("mal.") + h);
        b.table.finished({"mal", h}, outcome::failed, b.now);
    }
    EXPECT_EQ(b.ask("mal", "z"), fetchTable::answer::failed);
    EXPECT_EQ(b.ask("mal", "y"), fetchTable::answer::failed);
    // Only the newest failures are remembered.
    EXPECT_EQ(b.ask("mal", "x"), fetchTable::answer::queued);
    EXPECT_EQ(b.table.underWay(), 1u);
}

} // namespace
