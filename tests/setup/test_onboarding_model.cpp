// When the first-run flow is shown, and what reopening it does.
#include "app/model/app_model.h"
#include "app/platform/user_defaults.h"
#include "setup/model/onboarding_model.h"
#include "tests/support/user_defaults_double.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {

class OnboardingModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        defaults_ = std::make_shared<MemoryUserDefaults>();
        setUserDefaultsForTesting(defaults_);
        model_ = std::make_unique<AppModel>();
    }
    void TearDown() override {
        model_.reset();
        setUserDefaultsForTesting(nullptr);
    }

    void addSource() {
        kx::Source s;
        s.id = "s1";
        s.owner = "me";
        s.path = "/somewhere";
        model_->mutableRegistry().add(s);
        emit model_->registryChanged();
    }

    std::shared_ptr<MemoryUserDefaults> defaults_;
    std::unique_ptr<AppModel> model_;
};

} // namespace

TEST_F(OnboardingModelTest, AFirstLaunchShowsTheFlowUntilAFlagOrASourceSaysOtherwise) {
    OnboardingModel* o = model_->onboarding();
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(model_->onboarding(), o) << "created once";
    EXPECT_FALSE(o->isFinished());
    EXPECT_FALSE(o->explicitlyOpened());
    EXPECT_TRUE(o->shouldShow());

    defaults_->setFlag(DefaultsKey::onboardingCompleted, true);
    EXPECT_FALSE(o->shouldShow());
    defaults_->setFlag(DefaultsKey::onboardingCompleted, false);
    defaults_->setFlag(DefaultsKey::onboardingSkipped, true);
    EXPECT_FALSE(o->shouldShow());
    EXPECT_TRUE(o->skippedFlag());
    defaults_->setFlag(DefaultsKey::onboardingSkipped, false);

    QSignalSpy changed(o, &OnboardingModel::shouldShowChanged);
    addSource();
    EXPECT_GE(changed.count(), 1);
    EXPECT_FALSE(o->shouldShow());
}

TEST_F(OnboardingModelTest, ReopeningShowsItAgainUntilItFinishes) {
    OnboardingModel* o = model_->onboarding();
    addSource();
    o->setCompletedFlag(true);
    o->setSkippedFlag(true);
    ASSERT_FALSE(o->shouldShow());

    QSignalSpy reopened(o, &OnboardingModel::reopened);
    o->reopen();
    EXPECT_EQ(reopened.count(), 1);
    EXPECT_TRUE(o->explicitlyOpened());
    EXPECT_FALSE(o->isFinished());
    EXPECT_TRUE(o->shouldShow()) << "even with sources and both flags set";
    // The stored flags are never cleared by reopening.
    EXPECT_TRUE(defaults_->flag(DefaultsKey::onboardingCompleted));
    EXPECT_TRUE(defaults_->flag(DefaultsKey::onboardingSkipped));

    o->setIsFinished(true);
    EXPECT_FALSE(o->shouldShow()) << "finished wins over explicitly opened";
}

TEST_F(OnboardingModelTest, FlagsAreStoredInTheUserDefaultsAndAnnounced) {
    OnboardingModel* o = model_->onboarding();
    QSignalSpy skipped(o, &OnboardingModel::skippedFlagChanged);
    QSignalSpy show(o, &OnboardingModel::shouldShowChanged);
    o->setSkippedFlag(true);
    o->setSkippedFlag(true);
    EXPECT_EQ(skipped.count(), 1) << "setting the same value again is not a change";
    EXPECT_TRUE(defaults_->flag(DefaultsKey::onboardingSkipped));
    EXPECT_GE(show.count(), 1);
    o->setCompletedFlag(true);
    EXPECT_TRUE(defaults_->flag(DefaultsKey::onboardingCompleted));
}

TEST_F(OnboardingModelTest, StandsAloneOnTheSourceAnswerItIsGiven) {
    bool sources = false;
    OnboardingModel o({.hasSources = [&] { return sources; }});
    EXPECT_TRUE(o.shouldShow());
    QSignalSpy show(&o, &OnboardingModel::shouldShowChanged);
    sources = true;
    o.sourcesChanged();
    EXPECT_EQ(show.count(), 1);
    EXPECT_FALSE(o.shouldShow());

    OnboardingModel unanswered({});
    EXPECT_TRUE(unanswered.shouldShow()) << "no answer counts as no source";
}
