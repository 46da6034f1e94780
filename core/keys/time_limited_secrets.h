#pragma once
// A secret store whose every call goes to another store (by default the
// process-wide one, kx::defaultSecretStore, looked up on that thread at each
// call) on a thread of its own and is waited for at most a few seconds. A
// keyring that does not answer in time (a daemon that hangs, an unlock prompt
// nobody answers) is reported as a keyring failure. A call that answers late
// finishes on its own thread and its answer is dropped, so the store it calls
// must outlive it.
//
// A write reads the item first. When the write then lands after its caller was
// told it failed, the item is put back as it was (removed when it was absent),
// so a failure reported for a write always means nothing was stored. A write
// whose first read fails stores nothing.
//
// While such a call still runs, every later call is refused at once, without
// reaching the keyring: nothing is asked of it behind a failure already
// reported (a retried key or credential write never races the one that did not
// answer, nor the taking back of it), and a keyring that hangs costs one wait,
// not one per call.
#include "core/keys/secret_store.h"

#include <chrono>
#include <memory>

namespace kx {

class TimeLimitedSecretStore final : public SecretStore {
public:
    explicit TimeLimitedSecretStore(std::chrono::milliseconds limit = std::chrono::seconds(5),
                                    SecretStore* inner = nullptr);

    std::optional<std::string> read(const std::string& service, const std::string& account) override;
    void write(const std::string& service, const std::string& account, const std::string& label,
               const std::string& value) override;
    bool remove(const std::string& service, const std::string& account) override;

    // A call that did not answer within the limit is still running.
    bool waitingOnLateCall() const;

    struct Late;

private:
    std::chrono::milliseconds limit_;
    SecretStore* inner_;
    std::shared_ptr<Late> late_;
};

} // namespace kx
