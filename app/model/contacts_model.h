#pragma once
// ContactsModel: the user's contacts (read in the background), the names typed
// for handles, and the resolver that combines the two for every screen.
#include "core/contacts/contact_overrides.h"
#include "core/contacts/contacts_authorization.h"

#include <QObject>

#include <memory>

class AppModel;
namespace kx {
class LayeredContactResolver;
}

class ContactsModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(
        kx::ContactsAuthorization contactsAuthorization READ contactsAuthorization NOTIFY contactsAuthorizationChanged)
    Q_PROPERTY(int contactsLoadedCount READ contactsLoadedCount NOTIFY contactsLoadedCountChanged)
    Q_PROPERTY(int contactsScanned READ contactsScanned NOTIFY contactsScannedChanged)
    Q_PROPERTY(kx::ContactOverrides overrides READ overrides NOTIFY overridesChanged)

public:
    explicit ContactsModel(AppModel& app);

    kx::ContactsAuthorization contactsAuthorization() const { return contactsAuthorization_; }
    int contactsLoadedCount() const { return contactsLoadedCount_; }
    int contactsScanned() const { return contactsScanned_; }
    const kx::ContactOverrides& overrides() const { return overrides_; }
    std::shared_ptr<kx::LayeredContactResolver> resolver() const { return resolver_; }
    // Screens edit the typed names here (the resolver takes them at once),
    // then call saveContactOverrides to keep them.
    void setOverrides(const kx::ContactOverrides& o);

    // Start-up: reads "contacts-overrides.json" and hands it to the resolver.
    void loadContactOverrides();
    // Start-up task: reads the contacts on a worker, applies them on the GUI thread.
    void loadContacts();
    // Hands the overrides to the resolver, then saves them.
    void saveContactOverrides();
    // Looks at the contacts again; reloads them when they can now be read.
    void requestContactsAccess();

signals:
    void contactsAuthorizationChanged();
    void contactsLoadedCountChanged();
    void contactsScannedChanged();
    void overridesChanged();

private:
    friend struct ModelTestAccess;
    void setContactsAuthorization(kx::ContactsAuthorization a);
    void setContactsLoadedCount(int n);
    void setContactsScanned(int n);

    AppModel& app_;
    kx::ContactsAuthorization contactsAuthorization_ = kx::ContactsAuthorization::notDetermined;
    int contactsLoadedCount_ = 0;
    int contactsScanned_ = 0;
    kx::ContactOverrides overrides_;
    std::shared_ptr<kx::LayeredContactResolver> resolver_;
};
