#pragma once
// Waiting for the application model's background work in tests.
#include "app/model/app_model.h"

#include <QTest>

namespace kx::test {

// Waits until every task the model started has ended and its result has run on
// the GUI thread, including tasks those results started in turn. False when
// that did not happen within `timeoutMs`.
inline bool drainModelTasks(const AppModel& model, int timeoutMs = 120000) {
    return QTest::qWaitFor([&] { return model.tasks().idle(); }, timeoutMs);
}

} // namespace kx::test
