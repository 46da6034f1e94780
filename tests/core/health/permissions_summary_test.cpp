// The permissions summary: the rows the permissions tab lists and the one-line
// overall answer, for every access verdict.
#include "core/health/permissions_summary.h"

#include <gtest/gtest.h>

namespace {

using kx::PermissionsSummary;
using Verdict = kx::FullDiskAccessProbe::Verdict;
using State = PermissionsSummary::Row::State;

TEST(PermissionsSummary, RowsInDisplayOrderWithTheirStates) {
    PermissionsSummary s;
    s.scheduleInstalled = true;
    s.fullDiskAccess = Verdict::scheduledBlocked("The scheduled job cannot read it.");
    s.contacts = kx::ContactsAuthorization::authorized;
    s.notificationsAllowed = false;
    const auto rows = s.rows();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].id, "fullDiskAccess");
    EXPECT_EQ(rows[0].state, State::notGranted);
    EXPECT_TRUE(rows[0].required);
    EXPECT_EQ(rows[0].detail, "The scheduled job cannot read your messages. The scheduled job cannot read it.");
    EXPECT_EQ(rows[1].id, "schedule");
    EXPECT_EQ(rows[1].state, State::granted);
    EXPECT_EQ(rows[2].id, "contacts");
    EXPECT_EQ(rows[2].state, State::granted);
    EXPECT_FALSE(rows[2].required);
    EXPECT_EQ(rows[3].id, "notifications");
    EXPECT_EQ(rows[3].state, State::notGranted);
    EXPECT_EQ(s.overall(), PermissionsSummary::Overall::blocked);

    s.scheduleInstalled = false;
    EXPECT_EQ(s.rows()[1].state, State::notGranted);
    EXPECT_EQ(s.overall(), PermissionsSummary::Overall::archivingByHand);

    s.fullDiskAccess = Verdict::notRunYet();
    s.contacts = kx::ContactsAuthorization::notLoaded;
    s.notificationsAllowed.reset();
    EXPECT_EQ(s.rows()[0].state, State::notKnown);
    EXPECT_EQ(s.rows()[2].state, State::notKnown);
    EXPECT_EQ(s.rows()[3].state, State::notKnown);
    EXPECT_EQ(s.overall(), PermissionsSummary::Overall::notKnown);

    s.fullDiskAccess = Verdict::noDatabase();
    EXPECT_EQ(s.rows()[0].state, State::granted);
    EXPECT_EQ(s.overall(), PermissionsSummary::Overall::nothingToArchive);
    s.fullDiskAccess = Verdict::allGranted("x");
    s.scheduleInstalled = true;
    EXPECT_EQ(s.overall(), PermissionsSummary::Overall::archiving);
}

} // namespace
