#pragma once
// The application's contact resolver: the names the user typed (overrides)
// over the names from the user's contacts (the directory), then the chat's own
// name, then the handle itself.
//
// Thread safety: resolve may be called from any thread (exports and searches
// run on workers) while the GUI thread replaces a layer. Each replacement builds
// a new immutable set of layers and swaps it in under a short lock; a resolve
// works on the set that was current when it started.
#include "core/contacts/contact_directory.h"
#include "core/contacts/contact_overrides.h"
#include "core/contacts/contact_resolver.h"
#include "core/contacts/contacts_authorization.h"

#include <memory>
#include <mutex>

namespace kx {

class LayeredContactResolver final : public ContactResolver {
public:
    // Empty overrides, an empty directory, authorization notLoaded.
    LayeredContactResolver();
    LayeredContactResolver(ContactOverrides overrides, ContactDirectory directory, ContactsAuthorization authorization);

    LayeredContactResolver(const LayeredContactResolver&) = delete;
    LayeredContactResolver& operator=(const LayeredContactResolver&) = delete;

    void replaceOverrides(const ContactOverrides& overrides);
    void replaceDirectory(ContactDirectory directory, ContactsAuthorization authorization);

    ContactsAuthorization authorization() const;

    // An override for the handle (exactly, or the same number or address
    // written differently) gives kind userOverride; a contact gives kind
    // contact; then the chat's display name (chatName); then the handle
    // (handleOnly). secondText is the handle.
    ResolvedName resolve(const std::string& handle, const std::optional<std::string>& chatDisplayName) const override;

private:
    struct Layers;
    std::shared_ptr<const Layers> current() const;
    static std::shared_ptr<const Layers> build(ContactOverrides overrides,
                                               std::shared_ptr<const ContactDirectory> directory,
                                               ContactsAuthorization authorization);

    mutable std::mutex mutex_;
    std::shared_ptr<const Layers> layers_;
};

} // namespace kx
