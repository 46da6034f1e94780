#include "app/model/task_runner.h"

#include <QMetaObject>
#include <QThreadPool>

#include <mutex>

// The link between running work and the GUI thread. A result is handed over only
// while the gate is open; close() shuts it under the same lock, so nothing is
// ever posted to a receiver that is going away (results already posted are
// discarded with the receiver's pending events).
//
// The lock is also what orders the two threads: the GUI thread takes it after
// building a task and before queueing it, the worker takes it before running
// the task, and again before a result crosses back. Every value a task
// captured is therefore complete before the worker reads it, whatever the
// pool's own synchronisation happens to be.
struct TaskRunner::Gate {
    mutable std::mutex mutex;
    QObject* receiver = nullptr;  // null once closed
    int outstanding = 0;          // tasks not yet ended plus results not yet delivered

    // Posts `publish` to the receiver; the caller holds the lock and has
    // already counted it in `outstanding`.
    static void postLocked(const std::shared_ptr<Gate>& gate, Publish publish) {
        QMetaObject::invokeMethod(
            gate->receiver,
            [gate, publish = std::move(publish)] {
                {
                    std::lock_guard lock(gate->mutex);
                    if (!gate->receiver) return;
                }
                publish();
                std::lock_guard lock(gate->mutex);
                --gate->outstanding;
            },
            Qt::QueuedConnection);
    }
};

TaskRunner::TaskRunner(QObject& receiver) : gate_(std::make_shared<Gate>()) { gate_->receiver = &receiver; }

TaskRunner::~TaskRunner() { close(); }

void TaskRunner::close() {
    std::lock_guard lock(gate_->mutex);
    gate_->receiver = nullptr;
}

bool TaskRunner::idle() const {
    std::lock_guard lock(gate_->mutex);
    return gate_->outstanding == 0;
}

void TaskRunner::start(std::optional<TaskPriority> priority, Work work, QThreadPool* pool) {
    // Queue order only: the pool starts higher numbers first.
    const int order = !priority ? 1 : *priority == TaskPriority::userInitiated ? 2 : 0;
    std::function<void()> run = [gate = gate_, work = std::move(work)] {
        { std::lock_guard lock(gate->mutex); }
        Publish publish;
        try {
            publish = work();
        } catch (...) {
            // A task reports its own failures through what it returns; an
            // escaped exception must not end the process.
            publish = nullptr;
        }
        std::lock_guard lock(gate->mutex);
        if (publish && gate->receiver) {
            Gate::postLocked(gate, std::move(publish));
        } else {
            --gate->outstanding;
        }
    };
    {
        std::lock_guard lock(gate_->mutex);
        ++gate_->outstanding;
    }
    (pool ? pool : QThreadPool::globalInstance())->start(std::move(run), order);
}

void TaskRunner::handBack(Publish publish) const {
    if (!publish) return;
    std::lock_guard lock(gate_->mutex);
    if (!gate_->receiver) return;
    ++gate_->outstanding;
    Gate::postLocked(gate_, std::move(publish));
}
