#include "core/household/household.h"

#include <gtest/gtest.h>

using namespace kx;
using namespace std::chrono;

namespace {

const Date kNow = sys_days{2026y / 12 / 9} + 12h;

Date daysBefore(double days) { return kNow - duration_cast<system_clock::duration>(duration<double>(days * 86400)); }

} // namespace

TEST(Household, DefaultsToYourMacsWithNoMembers) {
    Household h;
    EXPECT_EQ(h.name, "Your Macs");
    EXPECT_TRUE(h.members.empty());
    EXPECT_EQ(h.host(), nullptr);
    EXPECT_FALSE(h.needsAttention(kNow, 7));
    EXPECT_EQ(h.summary(kNow, 7), "No Macs are reporting yet.");
}

TEST(Household, RecordRunAddsMemberAndMacThenUpdatesThem) {
    Household h;
    h.recordRun("jorin", "MAC-1", "Jorin's laptop", daysBefore(2), 12);
    ASSERT_EQ(h.members.size(), 1u);
    const auto& m = h.members[0];
    EXPECT_EQ(m.owner, "jorin");
    EXPECT_EQ(m.displayName, "jorin");
    EXPECT_EQ(m.role, Household::Role::member);
    ASSERT_EQ(m.macs.size(), 1u);
    EXPECT_EQ(m.macs[0].machineID, "MAC-1");
    EXPECT_EQ(m.macs[0].displayName, "Jorin's laptop");
    EXPECT_EQ(m.macs[0].lastRunNewMessages, 12);

    // The same machine again: updated in place, not duplicated; an empty name keeps the old one.
    h.recordRun("jorin", "MAC-1", "", daysBefore(0), 3);
    ASSERT_EQ(h.members[0].macs.size(), 1u);
    EXPECT_EQ(h.members[0].macs[0].displayName, "Jorin's laptop");
    EXPECT_EQ(h.members[0].macs[0].lastRunNewMessages, 3);
    EXPECT_EQ(h.members[0].macs[0].lastRunAt, time_point_cast<milliseconds>(daysBefore(0)));

    // A second machine for the same owner, and a second owner.
    h.recordRun("jorin", "MAC-2", "Desk", daysBefore(1), 0);
    h.recordRun("sam", "MAC-3", "Sam's", daysBefore(1), 0);
    ASSERT_EQ(h.members.size(), 2u);
    EXPECT_EQ(h.members[0].macs.size(), 2u);
    EXPECT_EQ(h.members[1].owner, "sam");

    // Without an owner or a machine id there is nothing to record.
    const Household before = h;
    h.recordRun("", "MAC-1", "x", kNow, 1);
    h.recordRun("jorin", "", "x", kNow, 1);
    EXPECT_EQ(h, before);
}

TEST(Household, HostIsTheFirstHostMemberAndMakeHostKeepsOnlyOne) {
    Household h;
    h.recordRun("a", "M1", "one", kNow, 0);
    h.recordRun("b", "M2", "two", kNow, 0);
    EXPECT_EQ(h.host(), nullptr);
    EXPECT_FALSE(h.makeHost("nobody"));
    EXPECT_EQ(h.host(), nullptr);
    EXPECT_TRUE(h.makeHost("b"));
    ASSERT_NE(h.host(), nullptr);
    EXPECT_EQ(h.host()->owner, "b");
    EXPECT_TRUE(h.makeHost("a"));
    EXPECT_EQ(h.host()->owner, "a");
    EXPECT_EQ(h.members[1].role, Household::Role::member);
    EXPECT_EQ(toString(Household::Role::host), "host");
    EXPECT_EQ(householdRoleFromString("member"), Household::Role::member);
    EXPECT_FALSE(householdRoleFromString("Host").has_value());
}

TEST(Household, UnlinkRemovesOnlyTheRowAndRemembersItsLastRun) {
    Household h;
    h.recordRun("a", "M1", "one", daysBefore(3), 0);
    h.recordRun("b", "M2", "two", daysBefore(1), 0);
    EXPECT_FALSE(h.unlink("zzz"));
    EXPECT_TRUE(h.unlink("a"));
    ASSERT_EQ(h.members.size(), 1u);
    EXPECT_EQ(h.members[0].owner, "b");
    ASSERT_EQ(h.unlinked.size(), 1u);
    EXPECT_EQ(h.unlinked[0].first, "a");
    EXPECT_EQ(h.unlinked[0].second, time_point_cast<milliseconds>(daysBefore(3)));
    // A new run of that owner on this machine brings it back and ends the removal.
    h.recordRun("a", "M1", "one", kNow, 1);
    EXPECT_NE(h.member("a"), nullptr);
    EXPECT_TRUE(h.unlinked.empty());
}

TEST(Household, SilenceUsesTheDayWindowWithGreaterThan) {
    ContributingMac mac;
    EXPECT_TRUE(mac.isSilent(kNow, 7));
    EXPECT_EQ(mac.statusText(kNow, 7), "Has not finished a run yet");
    mac.lastRunAt = kNow - seconds(7 * 86400);
    EXPECT_FALSE(mac.isSilent(kNow, 7)); // exactly seven days: not yet silent
    mac.lastRunAt = kNow - seconds(7 * 86400 + 1);
    EXPECT_TRUE(mac.isSilent(kNow, 7));
    EXPECT_EQ(mac.statusText(kNow, 7), "No run for 7 days");
    mac.lastRunAt = daysBefore(6);
    EXPECT_EQ(mac.statusText(kNow, 7), "Last run 6 days ago");
    mac.lastRunAt = daysBefore(1);
    EXPECT_EQ(mac.statusText(kNow, 7), "Last run yesterday");
    mac.lastRunAt = kNow + hours(3); // another machine's clock ahead of ours
    EXPECT_EQ(mac.statusText(kNow, 7), "Last run today");
    EXPECT_FALSE(mac.isSilent(kNow, 7));
}

TEST(Household, MemberStatusFollowsItsMostRecentMac) {
    Household::Member m;
    m.owner = "a";
    EXPECT_TRUE(m.isSilent(kNow, 7));
    EXPECT_EQ(m.statusText(kNow, 7), "No Mac has reported yet");
    ContributingMac old, recent;
    old.lastRunAt = daysBefore(30);
    recent.lastRunAt = daysBefore(2);
    m.macs = {old};
    EXPECT_TRUE(m.isSilent(kNow, 7));
    EXPECT_EQ(m.statusText(kNow, 7), "Nothing archived for 30 days");
    m.macs = {old, recent};
    EXPECT_FALSE(m.isSilent(kNow, 7));
    EXPECT_EQ(m.lastRunAt(), recent.lastRunAt);
    EXPECT_EQ(m.statusText(kNow, 7), "Last archived 2 days ago");
    m.macs = {ContributingMac{}};
    EXPECT_EQ(m.statusText(kNow, 7), "Nothing archived yet");
}

TEST(Household, SummaryAndAttentionCountSilentMembers) {
    Household h;
    h.recordRun("a", "M1", "one", daysBefore(1), 0);
    EXPECT_EQ(h.summary(kNow, 7), "The archive was updated in the last 7 days.");
    h.recordRun("b", "M2", "two", daysBefore(2), 0);
    h.recordRun("c", "M3", "three", daysBefore(10), 0);
    EXPECT_TRUE(h.needsAttention(kNow, 7));
    EXPECT_EQ(h.summary(kNow, 7), "1 of 3 archives has not been updated in the last 7 days.");
    EXPECT_FALSE(h.needsAttention(kNow, 14));
    EXPECT_EQ(h.summary(kNow, 14), "All 3 archives were updated in the last 14 days.");
    EXPECT_EQ(h.summary(kNow + days(30), 7), "None of the 3 archives has been updated in the last 7 days.");
    h.recordRun("b", "M2", "two", daysBefore(9), 0); // an older date still replaces: it is this Mac's own record
    EXPECT_EQ(h.summary(kNow, 7), "2 of 3 archives have not been updated in the last 7 days.");
}
