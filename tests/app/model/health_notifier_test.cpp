#include "app/model/health_notifier.h"
#include "core/health/health_alert.h"
#include "tests/support/notification_center_double.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

using Kind = kx::HealthAlert::Kind;
using Authorization = HealthNotifier::Authorization;

namespace {

kx::HealthAlert alert(Kind kind, const std::string& body) {
    kx::HealthAlert a;
    a.kind = kind;
    a.body = body;
    return a;
}

struct Fixture {
    std::shared_ptr<FakeNotificationCenter> center = std::make_shared<FakeNotificationCenter>();
    HealthNotifier notifier{center};

    void authorize(int status) {
        center->status = status;
        notifier.refreshAuthorization();
    }
    int deliver(const std::vector<kx::HealthAlert>& alerts) {
        int result = -1;
        notifier.deliver(alerts, [&](int n) { result = n; });
        return result;
    }
};

} // namespace

TEST(HealthNotifier, StartsUndeterminedAndMapsPlatformStatuses) {
    Fixture f;
    EXPECT_EQ(f.notifier.authorization(), Authorization::notDetermined);
    EXPECT_TRUE(f.notifier.lastPostError().isNull());
    EXPECT_FALSE(f.notifier.lastPostedAt().isValid());
    EXPECT_EQ(f.center->statusReads, 0); // asks for nothing on creation
    const std::pair<int, Authorization> table[] = {{0, Authorization::notDetermined}, {1, Authorization::denied},
                                                   {2, Authorization::authorized},    {3, Authorization::provisional},
                                                   {4, Authorization::unavailable},   {-1, Authorization::unavailable}};
    for (const auto& [status, expected] : table) {
        bool done = false;
        f.center->status = status;
        f.notifier.refreshAuthorization([&] { done = true; });
        EXPECT_TRUE(done);
        EXPECT_EQ(f.notifier.authorization(), expected) << status;
    }
}

TEST(HealthNotifier, EmptyListDoesNothingEvenWhenNotPermitted) {
    Fixture f;
    EXPECT_EQ(f.deliver({}), 0);
    EXPECT_TRUE(f.notifier.lastPostError().isNull());
    EXPECT_TRUE(f.center->added.empty());
    EXPECT_TRUE(f.center->removals.empty());
}

TEST(HealthNotifier, WithoutPermissionNothingIsPostedAndTheCountIsSaid) {
    for (int status : {0, 1, 7}) {
        Fixture f;
        f.authorize(status);
        EXPECT_EQ(f.deliver({alert(Kind::stale, "a"), alert(Kind::runFailed, "b"), alert(Kind::neverRan, "c")}), 0);
        EXPECT_EQ(f.notifier.lastPostError(), "Notifications are not permitted, so 3 health alert(s) could not be "
                                              "shown. They are still listed in the Health panel.");
        EXPECT_TRUE(f.center->added.empty());
        EXPECT_TRUE(f.center->removals.empty());
        EXPECT_FALSE(f.notifier.lastPostedAt().isValid());
    }
}

TEST(HealthNotifier, PostsInOrderWithKindTitlesAfterWithdrawingThoseKinds) {
    Fixture f;
    f.authorize(3); // provisional posts like authorized
    EXPECT_EQ(f.deliver({alert(Kind::stale, "old"), alert(Kind::stale, "older"), alert(Kind::sourceUnreachable, "x")}),
              3);
    ASSERT_EQ(f.center->removals.size(), 1u);
    EXPECT_EQ(f.center->removals[0], (QStringList{"kx.alert.stale", "kx.alert.stale", "kx.alert.sourceUnreachable"}));
    ASSERT_EQ(f.center->added.size(), 3u);
    EXPECT_EQ(f.center->added[0].identifier, "kx.alert.stale");
    EXPECT_EQ(f.center->added[0].title, "Your archive is out of date");
    EXPECT_EQ(f.center->added[1].body, "older");
    EXPECT_EQ(f.center->added[2].title, "A message source was unreadable");
    EXPECT_TRUE(f.notifier.lastPostError().isNull());
    EXPECT_TRUE(f.notifier.lastPostedAt().isValid());
    // One notification per kind stays on screen.
    EXPECT_EQ(f.center->shownIdentifiers(), (QStringList{"kx.alert.stale", "kx.alert.sourceUnreachable"}));
}

TEST(HealthNotifier, ARefusedAlertIsReportedAndTheOthersStillGoOut) {
    Fixture f;
    f.authorize(2);
    f.notifier.setLastPostError("earlier");
    f.center->refuseTitles = {"Kelvara could not archive"};
    f.center->refusal = "too many notifications";
    EXPECT_EQ(f.deliver({alert(Kind::neverRan, "a"), alert(Kind::runFailed, "b"), alert(Kind::stale, "c")}), 2);
    EXPECT_EQ(f.notifier.lastPostError(), "Kelvara could not archive: too many notifications");
    EXPECT_TRUE(f.notifier.lastPostedAt().isValid());

    // Every alert refused: nothing posted, the earlier time stays.
    const QDateTime before = f.notifier.lastPostedAt();
    f.center->refuseTitles = {"Kelvara could not archive", "Your archive is out of date"};
    EXPECT_EQ(f.deliver({alert(Kind::runFailed, "b"), alert(Kind::stale, "c")}), 0);
    EXPECT_EQ(f.notifier.lastPostError(),
              "Kelvara could not archive: too many notifications; Your archive is out of date: too many notifications");
    EXPECT_EQ(f.notifier.lastPostedAt(), before);

    // A fully successful delivery clears the error.
    f.center->refuseTitles.clear();
    EXPECT_EQ(f.deliver({alert(Kind::stale, "c")}), 1);
    EXPECT_TRUE(f.notifier.lastPostError().isNull());
}

TEST(HealthNotifier, TestNotificationNeedsPermissionAndReportsTheBareReason) {
    Fixture f;
    bool sent = true;
    f.notifier.sendTest([&](bool ok) { sent = ok; });
    EXPECT_FALSE(sent);
    EXPECT_EQ(f.notifier.lastPostError(), "Notifications are not permitted, so the test could not be sent.");

    f.authorize(2);
    f.notifier.sendTest([&](bool ok) { sent = ok; });
    EXPECT_TRUE(sent);
    EXPECT_TRUE(f.notifier.lastPostError().isNull());
    ASSERT_EQ(f.center->added.size(), 1u);
    EXPECT_EQ(f.center->added[0].identifier, "kx.alert.test");
    EXPECT_EQ(f.center->added[0].title, "Kelvara notifications are working");
    EXPECT_TRUE(f.center->removals.empty()); // earlier tests are not withdrawn first

    f.center->refuseTitles = {"Kelvara notifications are working"};
    f.center->refusal = "the service is busy";
    f.notifier.sendTest([&](bool ok) { sent = ok; });
    EXPECT_FALSE(sent);
    EXPECT_EQ(f.notifier.lastPostError(), "the service is busy");
}

TEST(HealthNotifier, ClearedKindsAreWithdrawnAndTheTestNotificationIsLeftAlone) {
    Fixture f;
    f.authorize(2);
    f.notifier.sendTest();
    f.deliver({alert(Kind::stale, "a"), alert(Kind::runFailed, "b")});
    f.notifier.withdrawCleared({alert(Kind::runFailed, "b")});
    EXPECT_EQ(f.center->shownIdentifiers(), (QStringList{"kx.alert.test", "kx.alert.runFailed"}));
    f.notifier.withdrawCleared({});
    EXPECT_EQ(f.center->shownIdentifiers(), QStringList{"kx.alert.test"});
}
