#include "app/model/task_runner.h"

#include "app/platform/logging.h"

#include <QMetaObject>
#include <QPointer>
#include <QRunnable>
#include <QThreadPool>

#include <condition_variable>
#include <deque>
#include <mutex>

// How work and results cross between threads.
//
// The pool's own queue and Qt's event queue are used only as signals ("a task is
// ready", "a result is ready"); what crosses is handed over under a lock of our
// own, taken before anything the other thread wrote is read:
// - a task's values cross under `handoff`: the GUI thread builds the task, takes
//   and drops the lock, then queues it; the worker takes the lock before it
//   reads any of the task's fields;
// - a result crosses in the gate's queue, under the gate's lock.
// Every value a task captured is therefore complete before the worker reads it,
// and every result before the GUI thread runs it, whatever the pool's and the
// event loop's own synchronisation happens to be (it is invisible to the thread
// checker, which sees only these locks).
//
// A result is delivered only while the gate is open; close() shuts it under the
// same lock, so nothing is ever posted to a receiver that is going away
// (deliveries already posted are discarded with the receiver's pending events).

namespace {

std::mutex handoff;

} // namespace

// Receives the "a result is ready" calls on the GUI thread.
class TaskRunnerRelay : public QObject {
    Q_OBJECT

public:
    explicit TaskRunnerRelay(std::function<void()> deliver) : deliver_(std::move(deliver)) {}
    Q_INVOKABLE void deliver() { deliver_(); }

private:
    std::function<void()> deliver_;
};

struct TaskRunner::Gate {
    std::mutex mutex;
    QObject* relay = nullptr;    // null once closed
    std::deque<Publish> results; // waiting for the GUI thread, oldest first
    int outstanding = 0;         // tasks not yet ended plus results not yet delivered
    int working = 0;             // tasks queued or running, not yet ended
    std::condition_variable workEnded;

    // The caller holds the lock and has counted the result in `outstanding`.
    void postLocked(Publish publish) {
        results.push_back(std::move(publish));
        QMetaObject::invokeMethod(relay, "deliver", Qt::QueuedConnection);
    }

    // On the GUI thread: runs the oldest waiting result.
    void deliverOne() {
        Publish publish;
        {
            std::lock_guard lock(mutex);
            if (!relay || results.empty()) return;
            publish = std::move(results.front());
            results.pop_front();
        }
        publish();
        std::lock_guard lock(mutex);
        --outstanding;
    }
};

class TaskRunner::Task final : public QRunnable {
public:
    Task(std::shared_ptr<Gate> gate, Work work, Publish completion)
        : gate_(std::move(gate)), work_(std::move(work)), completion_(std::move(completion)) {}

    void run() override {
        { std::lock_guard lock(handoff); }
        Publish publish;
        // A task reports its own failures through what it returns; an escaped
        // exception must not end the process, and is said where it can be found.
        try {
            publish = work_();
        } catch (const std::exception& e) {
            qCWarning(lcPlatform, "A background task failed: %s", e.what());
        } catch (...) {
            qCWarning(lcPlatform, "A background task failed with an exception that is not an error.");
        }
        if (completion_) {
            publish = [publish = std::move(publish), completion = std::move(completion_)] {
                if (publish) publish();
                completion();
            };
        }
        std::lock_guard lock(gate_->mutex);
        if (publish && gate_->relay) {
            gate_->postLocked(std::move(publish));
        } else {
            --gate_->outstanding;
        }
        --gate_->working;
        gate_->workEnded.notify_all();
    }

private:
    std::shared_ptr<Gate> gate_;
    Work work_;
    Publish completion_;
};

TaskRunner::TaskRunner() : gate_(std::make_shared<Gate>()) {
    relay_ = std::make_unique<TaskRunnerRelay>([gate = gate_] { gate->deliverOne(); });
    gate_->relay = relay_.get();
}

TaskRunner::~TaskRunner() {
    close();
    // Deliveries already posted go with the relay.
    relay_.reset();
}

void TaskRunner::close() {
    std::lock_guard lock(gate_->mutex);
    gate_->relay = nullptr;
}

void TaskRunner::closeAndWait() {
    std::unique_lock lock(gate_->mutex);
    gate_->relay = nullptr;
    gate_->workEnded.wait(lock, [this] { return gate_->working == 0; });
}

bool TaskRunner::idle() const {
    std::lock_guard lock(gate_->mutex);
    return gate_->outstanding == 0;
}

void TaskRunner::start(std::optional<TaskPriority> priority, Work work, QThreadPool* pool) {
    start(nullptr, priority, std::move(work), {}, pool);
}

void TaskRunner::start(const QObject* context, std::optional<TaskPriority> priority, Work work, Publish completion,
                       QThreadPool* pool) {
    if (context) {
        const QPointer<const QObject> guard(context);
        work = [guard, work = std::move(work)]() -> Publish {
            Publish publish = work();
            if (!publish) return publish;
            return [guard, publish = std::move(publish)] {
                if (guard) publish();
            };
        };
        if (completion) {
            completion = [guard, completion = std::move(completion)] {
                if (guard) completion();
            };
        }
    }
    // Queue order only: the pool starts higher numbers first.
    const int order = !priority ? 1 : *priority == TaskPriority::userInitiated ? 2 : 0;
    auto* task = new Task(gate_, std::move(work), std::move(completion));
    {
        std::lock_guard lock(gate_->mutex);
        ++gate_->outstanding;
        ++gate_->working;
    }
    { std::lock_guard lock(handoff); }
    (pool ? pool : QThreadPool::globalInstance())->start(task, order);
}

void TaskRunner::handBack(Publish publish) const { backChannel()(std::move(publish)); }

std::function<void(TaskRunner::Publish)> TaskRunner::backChannel() const {
    return [gate = gate_](Publish publish) {
        if (!publish) return;
        std::lock_guard lock(gate->mutex);
        if (!gate->relay) return;
        ++gate->outstanding;
        gate->postLocked(std::move(publish));
    };
}

#include "task_runner.moc"
