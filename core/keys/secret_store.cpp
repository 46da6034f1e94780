#include "core/keys/secret_store.h"

#include <libsecret/secret.h>

#include <mutex>

namespace kx {

namespace {

const SecretSchema* schema() {
    static const SecretSchema s = {"com.dunholt.kelvara.Secret",
                                   SECRET_SCHEMA_DONT_MATCH_NAME,
                                   {
                                       {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                   },
                                   0,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr};
    return &s;
}

// The GError's message names the D-Bus or keyring problem; it never holds a value.
[[noreturn]] void fail(const std::string& what, GError* error) {
    std::string reason = error && error->message ? error->message : "no reason given";
    if (error) g_error_free(error);
    throw SecretStoreError("the system keyring could not " + what + " (" + reason + ")");
}

GHashTable* attributesFor(const std::string& service, const std::string& account) {
    GHashTable* attrs = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attrs, const_cast<char*>("service"), const_cast<char*>(service.c_str()));
    g_hash_table_insert(attrs, const_cast<char*>("account"), const_cast<char*>(account.c_str()));
    return attrs;
}

} // namespace

std::optional<std::string> SecretServiceStore::read(const std::string& service, const std::string& account) {
    GError* error = nullptr;
    SecretService* ss = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
    if (!ss) fail("be reached", error);
    GHashTable* attrs = attributesFor(service, account);
    // SECRET_SEARCH_ALL without SECRET_SEARCH_UNLOCK: locked items are returned
    // locked instead of triggering a prompt, so "locked" can be told from "absent".
    GList* items = secret_service_search_sync(ss, schema(), attrs,
                                              static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL |
                                                                             SECRET_SEARCH_LOAD_SECRETS),
                                              nullptr, &error);
    g_hash_table_unref(attrs);
    if (error) {
        g_object_unref(ss);
        fail("be searched", error);
    }
    std::optional<std::string> result;
    bool locked = false;
    for (GList* l = items; l; l = l->next) {
        auto* item = static_cast<SecretItem*>(l->data);
        if (secret_item_get_locked(item)) {
            locked = true;
            continue;
        }
        SecretValue* value = secret_item_get_secret(item);
        if (!value) {
            locked = true; // unlocked but the secret could not be loaded
            continue;
        }
        gsize length = 0;
        const gchar* bytes = secret_value_get(value, &length);
        result = std::string(bytes, length);
        secret_value_unref(value); // libsecret clears the secret memory when released
        break;
    }
    g_list_free_full(items, g_object_unref);
    g_object_unref(ss);
    if (!result && locked) throw SecretStoreError("the system keyring is locked; unlock it and try again");
    return result;
}

void SecretServiceStore::write(const std::string& service, const std::string& account, const std::string& label,
                               const std::string& value) {
    GError* error = nullptr;
    gboolean ok = secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), value.c_str(), nullptr,
                                             &error, "service", service.c_str(), "account", account.c_str(), nullptr);
    if (!ok || error) fail("store the item", error);
}

bool SecretServiceStore::remove(const std::string& service, const std::string& account) {
    GError* error = nullptr;
    gboolean removed = secret_password_clear_sync(schema(), nullptr, &error, "service", service.c_str(), "account",
                                                  account.c_str(), nullptr);
    if (error) fail("remove the item", error);
    return removed != FALSE;
}

namespace {
std::mutex storeMutex;
std::shared_ptr<SecretStore>& storeSlot() {
    static std::shared_ptr<SecretStore> slot;
    return slot;
}
} // namespace

SecretStore& defaultSecretStore() {
    std::lock_guard<std::mutex> lock(storeMutex);
    auto& slot = storeSlot();
    if (!slot) slot = std::make_shared<SecretServiceStore>();
    return *slot;
}

void setDefaultSecretStoreForTesting(std::shared_ptr<SecretStore> store) {
    std::lock_guard<std::mutex> lock(storeMutex);
    storeSlot() = std::move(store);
}

} // namespace kx
