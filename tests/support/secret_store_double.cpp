#include "tests/support/secret_store_double.h"

#include "core/keys/wipe.h"

namespace kx {

InMemorySecretStore::~InMemorySecretStore() {
    for (auto& [k, v] : items) wipe(v);
}

std::optional<std::string> InMemorySecretStore::read(const std::string& service, const std::string& account) {
    if (failReads) throw SecretStoreError("the system keyring is locked; unlock it and try again");
    auto it = items.find({service, account});
    if (it == items.end()) return std::nullopt;
    return it->second;
}

void InMemorySecretStore::write(const std::string& service, const std::string& account, const std::string&,
                                const std::string& value) {
    if (failWrites) throw SecretStoreError("the system keyring could not store the item (test failure)");
    ++writeCount;
    items[{service, account}] = value;
}

bool InMemorySecretStore::remove(const std::string& service, const std::string& account) {
    if (failWrites) throw SecretStoreError("the system keyring could not remove the item (test failure)");
    return items.erase({service, account}) > 0;
}

} // namespace kx
