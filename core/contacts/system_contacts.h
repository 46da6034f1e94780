#pragma once
// The user's contacts on the desktop: vCard files in a folder.
//
// The folder is $XDG_DATA_HOME/contacts (~/.local/share/contacts when unset), a
// "vdir" as CardDAV sync tools keep it: ".vcf" files directly in it or in its
// sub-folders (one per address book), each holding one or more cards. Only
// regular ".vcf" files of at most 16 MiB are read, at most three folder levels
// deep; links to folders are not followed. Nothing in the folder is ever
// written. A card gives its formatted name (FN), else its structured name (N),
// else its organisation (ORG), with its TEL and EMAIL values.
#include "core/contacts/contact_directory.h"
#include "core/contacts/contacts_authorization.h"

#include <future>
#include <optional>
#include <string>

namespace kx {

struct ContactsLoadResult {
    ContactDirectory directory;
    ContactsAuthorization authorization = ContactsAuthorization::notLoaded;
    int loadedCount = 0;  // cards that gave a name and at least one handle
    int scannedCount = 0; // cards examined
    // Set when the folder is readable but some of it could not be read
    // ("2 of 14 contact files could not be read; the first: ...").
    std::optional<std::string> problem;
};

class SystemContacts {
public:
    // Reads the default folder (above).
    SystemContacts();
    // Reads this folder (tests, other sync layouts).
    // defaultCallingCode: none = from the locale (contact_handles.h).
    explicit SystemContacts(std::string folder, std::optional<std::string> defaultCallingCode = std::nullopt);

    // $XDG_DATA_HOME/contacts, from the platform's application-support folder.
    static std::string defaultFolder();

    const std::string& folder() const { return folder_; }

    // "folder readable" -> authorized, "no folder" -> notDetermined,
    // "unreadable" -> denied.
    ContactsAuthorization authorizationStatus() const;

    // Reads every card. Never throws: failures become the authorization and the
    // problem text of the result.
    ContactsLoadResult load() const;
    // load() on a thread of its own.
    std::future<ContactsLoadResult> loadInBackground() const;

    // There is no permission prompt on the desktop: this looks at the folder
    // again and returns its state.
    ContactsAuthorization requestAccess() const;

private:
    std::string folder_;
    std::optional<std::string> callingCode_;
};

} // namespace kx
