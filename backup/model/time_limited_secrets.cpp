#include "backup/model/time_limited_secrets.h"

#include <functional>
#include <future>
#include <memory>
#include <thread>

namespace {

// Runs fn on a detached thread and waits up to `limit` for its answer.
template <typename T>
T withinLimit(std::chrono::milliseconds limit, std::function<T()> fn) {
    auto promise = std::make_shared<std::promise<T>>();
    std::future<T> answer = promise->get_future();
    std::thread([promise, fn = std::move(fn)] {
        try {
            promise->set_value(fn());
        } catch (...) {
            promise->set_exception(std::current_exception());
        }
    }).detach();
    if (answer.wait_for(limit) != std::future_status::ready) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit).count();
        throw kx::SecretStoreError("the system keyring did not answer within " + std::to_string(seconds) +
                                   " seconds (it may be locked and waiting for its password)");
    }
    return answer.get();
}

} // namespace

std::optional<std::string> TimeLimitedSecretStore::read(const std::string& service, const std::string& account) {
    return withinLimit<std::optional<std::string>>(limit_, [service, account] {
        return kx::defaultSecretStore().read(service, account);
    });
}

void TimeLimitedSecretStore::write(const std::string& service, const std::string& account, const std::string& label,
                                   const std::string& value) {
    withinLimit<bool>(limit_, [service, account, label, value] {
        kx::defaultSecretStore().write(service, account, label, value);
        return true;
    });
}

bool TimeLimitedSecretStore::remove(const std::string& service, const std::string& account) {
    return withinLimit<bool>(limit_, [service, account] { return kx::defaultSecretStore().remove(service, account); });
}
