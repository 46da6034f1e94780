#pragma once
// Whether the user's contacts can be read.
//
// The desktop has no address-book permission of its own: contacts are vCard
// files in a folder (see system_contacts.h). The cases keep the order the
// screens rely on and map onto that folder as follows:
//   notDetermined  no contacts folder exists (nothing to read yet; "Connect
//                  Contacts" checks again)
//   authorized     the folder exists and can be listed ("folder readable")
//   denied         the folder exists but cannot be listed ("unreadable"); only
//                  the user can change its permissions
//   restricted     kept for the platform's order; never produced here
//   notLoaded      contacts were not looked at yet in this process (the state at
//                  start-up, before the first load)
#include <optional>
#include <string>

namespace kx {

enum class ContactsAuthorization { notDetermined, authorized, denied, restricted, notLoaded };

// "notDetermined", "authorized", ... (the case names).
std::string toString(ContactsAuthorization authorization);
std::optional<ContactsAuthorization> contactsAuthorizationFromString(const std::string& text);

} // namespace kx
