#pragma once
// Waiting for a join model's keyring work: a join under way, a code being built.
#include "household/join_model.h"

#include <QTest>

namespace kx::test {

inline bool settled(const JoinModel& join) {
    return QTest::qWaitFor([&join] { return join.stage().kind != JoinStage::Kind::working && !join.isGenerating(); },
                           120000);
}

} // namespace kx::test
