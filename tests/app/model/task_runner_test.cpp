// The task runner: the one way background work reaches the GUI thread.
#include "app/model/task_runner.h"
#include "tests/app/model/model_test_support.h"
#include "tests/support/log_capture.h"

#include <QObject>
#include <QSemaphore>
#include <QStringList>
#include <QThread>
#include <QThreadPool>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

class Tasks : public kx::test::ModelTest {};

} // namespace

TEST_F(Tasks, TaskResultsArriveOnTheGuiThreadInOneHopAndNeverAfterTheModelIsGone) {
    auto& m = start();
    Qt::HANDLE worker = nullptr;
    Qt::HANDLE publisher = nullptr;
    m.startTask(TaskPriority::utility, [&]() -> std::function<void()> {
        worker = QThread::currentThreadId();
        return [&] { publisher = QThread::currentThreadId(); };
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return publisher != nullptr; }, 10000));
    EXPECT_NE(worker, publisher);
    EXPECT_EQ(publisher, QThread::currentThreadId());

    // A task still running when the model goes: the model waits for it to end,
    // so what it captured of the model stays valid, and its result is dropped.
    QSemaphore started;
    QSemaphore release;
    std::atomic<bool> ended{false};
    bool published = false;
    model->startTask(std::nullopt, [&]() -> std::function<void()> {
        started.release();
        release.acquire();
        ended = true;
        return [&] { published = true; };
    });
    started.acquire();
    std::thread releaser([&] {
        QThread::msleep(100);
        release.release();
    });
    model.reset();
    EXPECT_TRUE(ended) << "the model was gone while its task still ran";
    releaser.join();
    QCoreApplication::sendPostedEvents();
    EXPECT_FALSE(published);
}

TEST(TaskRunner, IdleWaitsForEveryResultAndTheTasksResultsStart) {
    TaskRunner runner;
    std::vector<int> order;
    runner.handBack([&] { order.push_back(1); });
    runner.start(std::nullopt, [&]() -> std::function<void()> {
        return [&] {
            order.push_back(3);
            runner.start(TaskPriority::utility, [&]() -> std::function<void()> { return [&] { order.push_back(4); }; });
        };
    });
    runner.handBack([&] { order.push_back(2); });
    EXPECT_FALSE(runner.idle());
    ASSERT_TRUE(QTest::qWaitFor([&] { return runner.idle(); }, 10000));
    // Hand-backs keep their order; a result that starts a task is waited for too.
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(order[0], 1);
    EXPECT_EQ(order[3], 4);

    // A task that throws, or hands nothing back, ends all the same.
    runner.start(std::nullopt, []() -> std::function<void()> { throw std::runtime_error("lost"); });
    runner.start(std::nullopt, []() -> std::function<void()> { return {}; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return runner.idle(); }, 10000));
}

TEST(TaskRunner, NothingIsDeliveredOnceClosed) {
    TaskRunner runner;
    QSemaphore release;
    bool delivered = false;
    runner.start(std::nullopt, [&]() -> std::function<void()> {
        release.acquire();
        return [&] { delivered = true; };
    });
    runner.handBack([&] { delivered = true; }); // posted before closing, dropped by it
    runner.close();
    runner.handBack([&] { delivered = true; });
    release.release();
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::sendPostedEvents();
    EXPECT_FALSE(delivered);
}

TEST(TaskRunner, AThrowingTaskIsLoggedAndItsCompletionStillRunsWhileItsContextLives) {
    TaskRunner runner;
    const kx::test::LogCapture log("kelvara.platform");

    QObject context;
    bool busy = true;
    bool published = false;
    runner.start(
        &context, TaskPriority::userInitiated,
        []() -> TaskRunner::Publish { throw std::runtime_error("the archive vanished"); }, [&] { busy = false; });
    runner.start(
        &context, std::nullopt, []() -> TaskRunner::Publish { return [] {}; }, [&] { published = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return runner.idle(); }, 60000));
    EXPECT_FALSE(busy) << "the completion ran although the work threw";
    EXPECT_TRUE(published) << "and after a result as well";
    EXPECT_EQ(log.messages(), QStringList{"A background task failed: the archive vanished"});

    // A context that goes before the task ends: neither result nor completion runs.
    QSemaphore release;
    bool delivered = false;
    auto gone = std::make_unique<QObject>();
    runner.start(
        gone.get(), std::nullopt,
        [&]() -> TaskRunner::Publish {
            release.acquire();
            return [&] { delivered = true; };
        },
        [&] { delivered = true; });
    gone.reset();
    release.release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return runner.idle(); }, 60000));
    EXPECT_FALSE(delivered);
}
