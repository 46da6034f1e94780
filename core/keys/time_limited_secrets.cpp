#include "core/keys/time_limited_secrets.h"

#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace kx {

namespace {

// Runs fn on a detached thread and waits up to `limit` for its answer. A
// failure comes back as its sentence, not as the exception object: the thread
// may still hold that object when the caller is done with it.
template <typename T>
T withinLimit(std::chrono::milliseconds limit, std::function<T()> fn) {
    struct Answer {
        std::optional<T> value;
        std::string failure;
    };
    auto promise = std::make_shared<std::promise<Answer>>();
    std::future<Answer> answer = promise->get_future();
    std::thread([promise, fn = std::move(fn)] {
        Answer a;
        try {
            a.value = fn();
        } catch (const std::exception& e) {
            a.failure = e.what();
        } catch (...) {
            a.failure = "the system keyring failed";
        }
        promise->set_value(std::move(a));
    }).detach();
    if (answer.wait_for(limit) != std::future_status::ready) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit).count();
        throw SecretStoreError("the system keyring did not answer within " + std::to_string(seconds) +
                               " seconds (it may be locked and waiting for its password)");
    }
    Answer a = answer.get();
    if (!a.value) throw SecretStoreError(a.failure);
    return std::move(*a.value);
}

// The store a call goes to, found on the calling thread: the process-wide one
// may connect to the keyring daemon when first asked for.
SecretStore& resolved(SecretStore* inner) { return inner ? *inner : defaultSecretStore(); }

} // namespace

std::optional<std::string> TimeLimitedSecretStore::read(const std::string& service, const std::string& account) {
    return withinLimit<std::optional<std::string>>(limit_, [inner = inner_, service, account] {
        return resolved(inner).read(service, account);
    });
}

void TimeLimitedSecretStore::write(const std::string& service, const std::string& account, const std::string& label,
                                   const std::string& value) {
    withinLimit<bool>(limit_, [inner = inner_, service, account, label, value] {
        resolved(inner).write(service, account, label, value);
        return true;
    });
}

bool TimeLimitedSecretStore::remove(const std::string& service, const std::string& account) {
    return withinLimit<bool>(limit_,
                             [inner = inner_, service, account] { return resolved(inner).remove(service, account); });
}

} // namespace kx
