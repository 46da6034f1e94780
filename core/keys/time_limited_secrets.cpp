#include "core/keys/time_limited_secrets.h"

#include "core/keys/wipe.h"

#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace kx {

// The calls of one store that did not answer in time and are still running.
struct TimeLimitedSecretStore::Late {
    std::mutex mutex;
    int running = 0;
};

namespace {

// Whether the caller gave up waiting and whether the call ended, under the
// store's lock: whichever comes second settles the count of late calls.
struct CallState {
    bool abandoned = false;
    bool ended = false;
};

using Late = TimeLimitedSecretStore::Late;

// What the work of one call sees of its caller.
class Caller {
public:
    Caller(std::shared_ptr<Late> late, std::shared_ptr<CallState> state)
        : late_(std::move(late)), state_(std::move(state)) {}
    // The caller has given up and reported a failure.
    bool gaveUp() const {
        std::lock_guard lock(late_->mutex);
        return state_->abandoned;
    }
    // Ends the call for its caller: true when the caller still waited and will
    // take the answer, false when it had already given up.
    bool answer() const {
        std::lock_guard lock(late_->mutex);
        if (state_->abandoned) return false;
        state_->ended = true;
        return true;
    }

private:
    std::shared_ptr<Late> late_;
    std::shared_ptr<CallState> state_;
};

// Runs fn on a detached thread and waits up to `limit` for its answer. A
// failure comes back as its sentence, not as the exception object: the thread
// may still hold that object when the caller is done with it.
template <typename T>
T withinLimit(std::chrono::milliseconds limit, const std::shared_ptr<TimeLimitedSecretStore::Late>& late,
              std::function<T(const Caller&)> fn) {
    struct Answer {
        std::optional<T> value;
        std::string failure;
    };
    {
        std::lock_guard lock(late->mutex);
        if (late->running > 0)
            throw SecretStoreError("the system keyring has not yet answered an earlier request that took too long, "
                                   "so nothing more is asked of it until it does");
    }
    auto state = std::make_shared<CallState>();
    auto promise = std::make_shared<std::promise<Answer>>();
    std::future<Answer> answer = promise->get_future();
    std::thread([state, promise, late, fn = std::move(fn)] {
        const Caller caller(late, state);
        Answer a;
        try {
            a.value = fn(caller);
        } catch (const std::exception& e) {
            a.failure = e.what();
        } catch (...) {
            a.failure = "the system keyring failed";
        }
        std::lock_guard lock(late->mutex);
        if (state->abandoned) --late->running;
        state->ended = true;
        promise->set_value(std::move(a));
    }).detach();
    if (answer.wait_for(limit) != std::future_status::ready) {
        std::lock_guard lock(late->mutex);
        if (!state->ended) {
            state->abandoned = true;
            ++late->running;
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit).count();
            throw SecretStoreError("the system keyring did not answer within " + std::to_string(seconds) +
                                   " seconds (it may be locked and waiting for its password)");
        }
    }
    Answer a = answer.get();
    if (!a.value) throw SecretStoreError(a.failure);
    return std::move(*a.value);
}

// The store a call goes to, found on the calling thread: the process-wide one
// may connect to the keyring daemon when first asked for.
SecretStore& resolved(SecretStore* inner) { return inner ? *inner : defaultSecretStore(); }

} // namespace

TimeLimitedSecretStore::TimeLimitedSecretStore(std::chrono::milliseconds limit, SecretStore* inner)
    : limit_(limit), inner_(inner), late_(std::make_shared<Late>()) {}

bool TimeLimitedSecretStore::waitingOnLateCall() const {
    std::lock_guard lock(late_->mutex);
    return late_->running > 0;
}

std::optional<std::string> TimeLimitedSecretStore::read(const std::string& service, const std::string& account) {
    return withinLimit<std::optional<std::string>>(limit_, late_, [inner = inner_, service, account](const Caller&) {
        return resolved(inner).read(service, account);
    });
}

void TimeLimitedSecretStore::write(const std::string& service, const std::string& account, const std::string& label,
                                   const std::string& value) {
    withinLimit<bool>(limit_, late_,
                      [inner = inner_, service, account, label,
                       value = std::string(value)](const Caller& caller) mutable {
                          const WipeOnExit wipeValue(value);
                          SecretStore& store = resolved(inner);
                          // What the item held before, so that a write that lands after its
                          // failure was reported can be taken back.
                          std::string before;
                          const WipeOnExit wipeBefore(before);
                          bool existed = false;
                          if (std::optional<std::string> stored = store.read(service, account)) {
                              existed = true;
                              before.swap(*stored);
                          }
                          if (caller.gaveUp()) throw SecretStoreError("the caller gave up before the item was stored");
                          store.write(service, account, label, value);
                          if (caller.answer()) return true;
                          // The caller was told the item was not stored: so it is not.
                          if (existed) store.write(service, account, label, before);
                          else store.remove(service, account);
                          return false;
                      });
}

bool TimeLimitedSecretStore::remove(const std::string& service, const std::string& account) {
    return withinLimit<bool>(limit_, late_, [inner = inner_, service, account](const Caller&) {
        return resolved(inner).remove(service, account);
    });
}

} // namespace kx
