#include "core/keys/time_limited_secrets.h"

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

// Runs fn on a detached thread and waits up to `limit` for its answer. A
// failure comes back as its sentence, not as the exception object: the thread
// may still hold that object when the caller is done with it.
template <typename T>
T withinLimit(std::chrono::milliseconds limit, const std::shared_ptr<TimeLimitedSecretStore::Late>& late,
              std::function<T()> fn) {
    struct Answer {
        std::optional<T> value;
        std::string failure;
    };
    // Whether the caller gave up waiting and whether the call ended, under the
    // store's lock: whichever comes second settles the count of late calls.
    struct Call {
        std::promise<Answer> promise;
        bool abandoned = false;
        bool ended = false;
    };
    {
        std::lock_guard lock(late->mutex);
        if (late->running > 0)
            throw SecretStoreError("the system keyring has not yet answered an earlier request that took too long, "
                                   "so nothing more is asked of it until it does");
    }
    auto call = std::make_shared<Call>();
    std::future<Answer> answer = call->promise.get_future();
    std::thread([call, late, fn = std::move(fn)] {
        Answer a;
        try {
            a.value = fn();
        } catch (const std::exception& e) {
            a.failure = e.what();
        } catch (...) {
            a.failure = "the system keyring failed";
        }
        std::lock_guard lock(late->mutex);
        call->ended = true;
        if (call->abandoned) --late->running;
        call->promise.set_value(std::move(a));
    }).detach();
    if (answer.wait_for(limit) != std::future_status::ready) {
        std::lock_guard lock(late->mutex);
        if (!call->ended) {
            call->abandoned = true;
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
    return withinLimit<std::optional<std::string>>(limit_, late_, [inner = inner_, service, account] {
        return resolved(inner).read(service, account);
    });
}

void TimeLimitedSecretStore::write(const std::string& service, const std::string& account, const std::string& label,
                                   const std::string& value) {
    withinLimit<bool>(limit_, late_, [inner = inner_, service, account, label, value] {
        resolved(inner).write(service, account, label, value);
        return true;
    });
}

bool TimeLimitedSecretStore::remove(const std::string& service, const std::string& account) {
    return withinLimit<bool>(limit_, late_,
                             [inner = inner_, service, account] { return resolved(inner).remove(service, account); });
}

} // namespace kx
