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

GatedSecretStore::GatedSecretStore(std::shared_ptr<SecretStore> inner, Holds holds)
    : inner_(std::move(inner)), holds_(holds) {}

std::optional<std::string> GatedSecretStore::read(const std::string& service, const std::string& account) {
    if (holds_ == Holds::everything) pass();
    std::lock_guard lock(storeMutex_);
    auto value = inner_->read(service, account);
    ++answered;
    return value;
}

void GatedSecretStore::write(const std::string& service, const std::string& account, const std::string& label,
                             const std::string& value) {
    pass();
    std::lock_guard lock(storeMutex_);
    inner_->write(service, account, label, value);
    ++answered;
}

bool GatedSecretStore::remove(const std::string& service, const std::string& account) {
    pass();
    std::lock_guard lock(storeMutex_);
    const bool removed = inner_->remove(service, account);
    ++answered;
    return removed;
}

void GatedSecretStore::shut() {
    std::lock_guard lock(gateMutex_);
    open_ = false;
}

void GatedSecretStore::release() {
    std::lock_guard lock(gateMutex_);
    open_ = true;
    opened_.notify_all();
}

void GatedSecretStore::pass() {
    std::unique_lock lock(gateMutex_);
    ++waiting;
    opened_.wait(lock, [this] { return open_; });
    --waiting;
}

} // namespace kx
