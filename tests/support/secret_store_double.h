#pragma once
// A secret store in memory, with switches that make every call fail as a locked
// store would.
#include "core/keys/secret_store.h"

#include <map>
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

} // namespace kx
