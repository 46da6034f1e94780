#pragma once
// The keyring as the backup model uses it on the GUI thread: every call goes to
// the process-wide secret store (kx::defaultSecretStore) on a thread of its own
// and is waited for at most a few seconds. A keyring that does not answer in
// time (a daemon that hangs, an unlock prompt nobody answers) is reported as a
// keyring failure, so the window never freezes on it. A call that answers late
// finishes on its own thread; its answer is dropped.
#include "core/keys/secret_store.h"

#include <chrono>

class TimeLimitedSecretStore final : public kx::SecretStore {
public:
    explicit TimeLimitedSecretStore(std::chrono::milliseconds limit = std::chrono::seconds(5)) : limit_(limit) {}

    std::optional<std::string> read(const std::string& service, const std::string& account) override;
    void write(const std::string& service, const std::string& account, const std::string& label,
               const std::string& value) override;
    bool remove(const std::string& service, const std::string& account) override;

private:
    std::chrono::milliseconds limit_;
};
