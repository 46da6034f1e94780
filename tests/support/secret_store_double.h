#pragma once
// A secret store in memory, with switches that make every call fail as a locked
// store would.
#include "core/keys/secret_store.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace kx {

class InMemorySecretStore final : public SecretStore {
public:
    ~InMemorySecretStore() override;
    std::optional<std::string> read(const std::string& service, const std::string& account) override;
    void write(const std::string& service, const std::string& account, const std::string& label,
               const std::string& value) override;
    bool remove(const std::string& service, const std::string& account) override;

    bool failReads = false;
    bool failWrites = false;
    size_t writeCount = 0;
    std::map<std::pair<std::string, std::string>, std::string> items;
};

// A slow keyring: a store behind a gate. While the gate is shut, the calls it
// holds (every call, or only writes and removals) wait there; calls that passed
// reach the store one at a time.
class GatedSecretStore final : public SecretStore {
public:
    enum class Holds { everything, changes };
    explicit GatedSecretStore(std::shared_ptr<SecretStore> inner = std::make_shared<InMemorySecretStore>(),
                              Holds holds = Holds::everything);
    std::optional<std::string> read(const std::string& service, const std::string& account) override;
    void write(const std::string& service, const std::string& account, const std::string& label,
               const std::string& value) override;
    bool remove(const std::string& service, const std::string& account) override;
    void shut();
    void release();
    std::atomic<int> waiting{0};  // calls held at the gate now
    std::atomic<int> answered{0}; // calls the store has answered

private:
    void pass();
    std::shared_ptr<SecretStore> inner_;
    const Holds holds_;
    std::mutex gateMutex_;
    std::condition_variable opened_;
    bool open_ = false;
    std::mutex storeMutex_;
};

} // namespace kx
