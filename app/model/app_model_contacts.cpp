// AppModel: filter preview and saving, the user's contacts, and typed names.
// (requestContactsAccess lives with the permissions, in app_model_permissions.cpp.)
#include "app/model/app_model.h"

#include "core/contacts/contact_directory.h"
#include "core/contacts/layered_contact_resolver.h"
#include "core/contacts/system_contacts.h"
#include "core/filters/filter_analyzer.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

} // namespace

void AppModel::previewFilters(const QString& owner) {
    auto clear = [this] {
        setFilterPreview(std::nullopt);
        setFilterSuggestions({});
    };
    if (owner.isEmpty()) return clear();
    const QString path = archiveDatabasePath(destinationRoot_, owner);
    if (path.isNull() || !kx::fs::isRegularFile(path.toStdString())) return clear();  // no archive yet
    try {
        const kx::TreskStore store(path.toStdString());
        const auto profiles = store.conversationProfiles(owner.toStdString());
        setFilterPreview(kx::FilterAnalyzer::preview(filters_, profiles, std::nullopt));
        setFilterSuggestions(kx::FilterAnalyzer::suggestions(profiles, &filters_));
    } catch (const std::exception& e) {
        setLastError("Could not read " + owner + "'s archive to preview filters: " + qs(e.what()));
        clear();
    }
}

void AppModel::saveFilters() {
    try {
        filters_.save(configFile("filters.json"));
    } catch (const kx::Error& e) {
        setLastError("Could not save your filters: " + qs(e.localizedDescription()));
    }
}

void AppModel::loadContacts() {
    // Read on a worker; applied on the GUI thread in one step.
    startTask(std::nullopt, [this]() -> std::function<void()> {
        auto result = std::make_shared<kx::ContactsLoadResult>(kx::SystemContacts().load());
        return [this, result] {
            resolver_->replaceDirectory(result->directory, result->authorization);
            setContactsAuthorization(result->authorization);
            setContactsLoadedCount(result->loadedCount);
            setContactsScanned(result->scannedCount);
            if (result->problem) setLastError("Contacts is available but could not be read: " + qs(*result->problem));
        };
    });
}

void AppModel::saveContactOverrides() {
    resolver_->replaceOverrides(overrides_);
    try {
        overrides_.save(configFile("contacts-overrides.json"));
    } catch (const kx::Error& e) {
        setLastError("Could not save the name you entered: " + qs(e.localizedDescription()) +
                     ". It will be lost when you quit.");
    }
}
