#include "app/model/contacts_model.h"

#include "app/model/app_model.h"
#include "app/model/publish.h"
#include "core/contacts/contact_directory.h"
#include "core/contacts/layered_contact_resolver.h"
#include "core/contacts/system_contacts.h"
#include "core/platform/error.h"

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

} // namespace

ContactsModel::ContactsModel(AppModel& app)
    : app_(app), resolver_(std::make_shared<kx::LayeredContactResolver>(kx::ContactOverrides(), kx::ContactDirectory(),
                                                                        kx::ContactsAuthorization::notLoaded)) {}

void ContactsModel::setOverrides(const kx::ContactOverrides& o) {
    if (overrides_ == o) return;
    overrides_ = o;
    // The resolver takes the names before anyone hears of the change, so rows
    // and titles that resolve again on the signal show the new name.
    resolver_->replaceOverrides(overrides_);
    emit overridesChanged();
}
void ContactsModel::setContactsAuthorization(kx::ContactsAuthorization a) {
    publish(this, contactsAuthorization_, a, &ContactsModel::contactsAuthorizationChanged);
}
void ContactsModel::setContactsLoadedCount(int n) {
    publish(this, contactsLoadedCount_, n, &ContactsModel::contactsLoadedCountChanged);
}
void ContactsModel::setContactsScanned(int n) {
    publish(this, contactsScanned_, n, &ContactsModel::contactsScannedChanged);
}

void ContactsModel::loadContactOverrides() {
    try {
        overrides_ = kx::ContactOverrides::load(app_.config().contactOverrides());
        emit overridesChanged();
        resolver_->replaceOverrides(overrides_);
    } catch (const kx::Error& e) {
        app_.setLastError("Could not load your saved contact names (" + qs(e.what()) +
                          "). Names you entered are not being applied.");
    }
}

void ContactsModel::loadContacts() {
    // Read on a worker; applied on the GUI thread in one step.
    app_.startTask(this, std::nullopt, [this]() -> std::function<void()> {
        auto result = std::make_shared<kx::ContactsLoadResult>(kx::SystemContacts().load());
        return [this, result] {
            resolver_->replaceDirectory(result->directory, result->authorization);
            setContactsAuthorization(result->authorization);
            setContactsLoadedCount(result->loadedCount);
            setContactsScanned(result->scannedCount);
            if (result->problem)
                app_.setLastError("Contacts is available but could not be read: " + qs(*result->problem));
        };
    });
}

void ContactsModel::saveContactOverrides() {
    resolver_->replaceOverrides(overrides_);
    try {
        overrides_.save(app_.config().contactOverrides());
    } catch (const kx::Error& e) {
        app_.setLastError("Could not save the name you entered: " + qs(e.localizedDescription()) +
                          ". It will be lost when you quit.");
    }
}

void ContactsModel::requestContactsAccess() {
    const kx::ContactsAuthorization state = kx::SystemContacts().requestAccess();
    if (state == kx::ContactsAuthorization::authorized) {
        loadContacts();
        return;
    }
    setContactsAuthorization(state);
    resolver_->replaceDirectory(kx::ContactDirectory(), state);
}
