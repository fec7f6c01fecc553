// The roster of sites and the complaint log alone, without a world or a broker: when a site comes
// and goes, and how few lines a flood of bad records gives.
#include "complaint_log.h"
#include "site_roster.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

using namespace zel::share;
using namespace zel::share::detail;
using std::chrono::milliseconds;

namespace {

std::size_t lines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

} // namespace

TEST(ComplaintLog, OneLineASecondPerSiteAndFivePerUser) {
    struct said {
        std::string site, user;
        int atMs;
    };
    struct row {
        const char* name;
        std::vector<said> complaints;
        std::size_t lines;
    };
    const std::vector<row> rows = {
        {"a site again within the second", {{"a", "u", 0}, {"a", "u", 999}}, 1},
        {"a site again after the second", {{"a", "u", 0}, {"a", "u", 1000}}, 2},
        {"one site of two users", {{"a", "u", 0}, {"a", "v", 10}}, 1},
        {"five sites of one user",
         {{"a", "u", 0}, {"b", "u", 0}, {"c", "u", 0}, {"d", "u", 0}, {"e", "u", 0}},
         5},
        {"six sites of one user",
         {{"a", "u", 0}, {"b", "u", 0}, {"c", "u", 0}, {"d", "u", 0}, {"e", "u", 0}, {"f", "u", 0}},
         5},
        {"six sites of two users",
         {{"a", "u", 0}, {"b", "u", 0}, {"c", "u", 0}, {"d", "u", 0}, {"e", "u", 0}, {"f", "v", 0}},
         6},
        {"the user's window opens again",
         {{"a", "u", 0},
          {"b", "u", 0},
          {"c", "u", 0},
          {"d", "u", 0},
          {"e", "u", 0},
          {"f", "u", 999},
          {"g", "u", 1000}},
         6},
        // A site held back by its user's limit has not had its line: it may say it a moment later.
        {"a site held back by its user",
         {{"a", "u", 0},
          {"b", "u", 0},
          {"c", "u", 0},
          {"d", "u", 0},
          {"e", "u", 0},
          {"f", "u", 0},
          {"f", "u", 1000}},
         6},
    };
    const auto start = clock::now();
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::ostringstream out;
        complaintLog log(out);
        for (const said& s : r.complaints)
            log.complain(s.site, s.user, "bad", start + milliseconds(s.atMs));
        EXPECT_EQ(lines(out.str()), r.lines) << out.str();
    }
}

TEST(SiteRoster, ASiteComesOnceAndGoesWhenItsPresenceLapsesOrIsDeleted) {
    const siteName me{"me", "00000001"}, bob{"bob", "0000000b"};
    siteRoster roster(me);
    const auto t0 = clock::now();
    siteState* came = nullptr;

    ASSERT_TRUE(roster.heard(bob, 5.0, t0, came));
    ASSERT_NE(came, nullptr);
    EXPECT_EQ(came->id, bob.id());
    ASSERT_TRUE(roster.heard(bob, 5.0, t0 + milliseconds(1000), came));
    EXPECT_EQ(came, nullptr) << "present already";
    ASSERT_EQ(roster.sites().size(), 2u);

    // Gone only once the timeout has passed since it was last heard; this site never.
    EXPECT_TRUE(roster.expire(t0 + milliseconds(1000) + presenceTimeout).empty());
    const std::vector<siteState*> gone = roster.expire(t0 + milliseconds(1001) + presenceTimeout);
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(gone[0]->id, bob.id());
    EXPECT_FALSE(gone[0]->present);
    EXPECT_TRUE(roster.expire(t0 + std::chrono::hours(1)).empty());
    roster.forgetIfEmpty(bob.id());
    EXPECT_EQ(roster.find(bob.id()), nullptr);
    roster.forgetIfEmpty(me.id());
    ASSERT_NE(roster.find(me.id()), nullptr);
    EXPECT_EQ(roster.deleted(me.id()), nullptr) << "this site does not go";

    // A deletion takes it out at once; an absent site that still has mirrors is remembered.
    ASSERT_TRUE(roster.heard(bob, 6.0, t0, came));
    ASSERT_NE(came, nullptr);
    came->nodes[7].n = 7;
    siteState* deleted = roster.deleted(bob.id());
    ASSERT_EQ(deleted, came);
    EXPECT_EQ(roster.deleted(bob.id()), nullptr) << "absent already";
    roster.forgetIfEmpty(bob.id());
    EXPECT_NE(roster.find(bob.id()), nullptr);
    EXPECT_EQ(roster.sites().size(), 1u);
}

TEST(SiteRoster, AUsersSitesCountAgainstItsLimitWhilePresent) {
    siteRoster roster(siteName{"me", "00000001"});
    const auto now = clock::now();
    auto site = [](int i) {
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", i);
        return siteName{"bob", hex};
    };
    siteState* came = nullptr;
    for (std::size_t i = 0; i + 1 < maxSitesPerUser; ++i)
        ASSERT_TRUE(roster.heard(site(int(i)), 1.0, now, came)) << i;
    // One below the limit, at it, one above; a site present already is heard at the limit.
    EXPECT_TRUE(roster.heard(site(int(maxSitesPerUser) - 1), 1.0, now, came));
    EXPECT_FALSE(roster.heard(site(int(maxSitesPerUser)), 1.0, now, came));
    EXPECT_EQ(came, nullptr);
    EXPECT_TRUE(roster.heard(site(0), 1.0, now, came));
    // Another user is not held up, and a site that went makes room.
    EXPECT_TRUE(roster.heard(siteName{"carol", "0000000c"}, 1.0, now, came));
    ASSERT_NE(roster.deleted(site(3).id()), nullptr);
    EXPECT_TRUE(roster.heard(site(int(maxSitesPerUser)), 1.0, now, came));
    EXPECT_NE(came, nullptr);
}
