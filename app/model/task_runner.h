#pragma once
// TaskRunner: the one way the application model runs work off the GUI thread
// and brings its result back.
//
// start() runs `work` on a thread pool (the shared one unless a pool is given).
// The closure `work` returns runs on the thread that created the runner (the
// GUI thread) in one queued call, and only while the runner is open: closing or
// destroying it (the model going away) drops every result not yet delivered.
// Nobody keeps a handle. An owner whose tasks read its own parts (the models
// a task was given by reference) waits for them with closeAndWait() before
// those parts go; an owner whose tasks hold only values need not wait.
//
// Given a context object, the result and then `completion` run only while that
// object lives: a model or screen that started the task passes itself and
// needs no guard of its own. An exception that escapes `work` is logged
// (kelvara.platform); its result is lost, but `completion` still runs, so
// whatever the task set going (a busy flag) is always brought back.
//
// handBack() is the same hand-over for code already running off the GUI thread
// (or deferring on it): the closure runs later on the GUI thread, while open.
//
// `work` must not read state the GUI thread can assign: it works on values
// captured when the task was started.
#include <QObject>

#include <functional>
#include <memory>
#include <optional>

class QThreadPool;

// Where a background task waits in the pool's queue.
enum class TaskPriority { utility, userInitiated };

class TaskRunner {
public:
    using Publish = std::function<void()>;
    using Work = std::function<Publish()>;

    TaskRunner();
    ~TaskRunner();
    TaskRunner(const TaskRunner&) = delete;
    TaskRunner& operator=(const TaskRunner&) = delete;

    // `pool`: null for the shared pool. A pool of its own lets an owner wait for
    // its running work when it is destroyed.
    void start(std::optional<TaskPriority> priority, Work work, QThreadPool* pool = nullptr);
    void start(const QObject* context, std::optional<TaskPriority> priority, Work work, Publish completion = {},
               QThreadPool* pool = nullptr);
    // Safe on any thread.
    void handBack(Publish publish) const;
    // handBack() as a value that work on other threads may keep: it stays safe
    // to call after this runner is gone, and what it is given then is dropped.
    std::function<void(Publish)> backChannel() const;
    // After close(), nothing more is delivered. Called by the destructor.
    void close();
    // close(), then waits for every task already started to end, so that what
    // the tasks captured of their owner (models, stores, settings) may be
    // destroyed next. Never from a task. Waiting costs nothing extra at quit:
    // the application waits for its thread pool anyway, only later, when
    // those owners would already be gone.
    void closeAndWait();

    // No task queued or running and no result waiting to be delivered. For tests
    // that wait for the model's background work to settle.
    bool idle() const;

private:
    struct Gate;
    class Task;
    std::shared_ptr<Gate> gate_;
    std::unique_ptr<QObject> relay_;
};
