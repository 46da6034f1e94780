#include "core/contacts/contacts_authorization.h"

namespace kx {

std::string toString(ContactsAuthorization authorization) {
    switch (authorization) {
    case ContactsAuthorization::notDetermined: return "notDetermined";
    case ContactsAuthorization::authorized: return "authorized";
    case ContactsAuthorization::denied: return "denied";
    case ContactsAuthorization::restricted: return "restricted";
    case ContactsAuthorization::notLoaded: return "notLoaded";
    }
    return "notLoaded";
}

std::optional<ContactsAuthorization> contactsAuthorizationFromString(const std::string& text) {
    for (auto a : {ContactsAuthorization::notDetermined, ContactsAuthorization::authorized,
                   ContactsAuthorization::denied, ContactsAuthorization::restricted, ContactsAuthorization::notLoaded})
        if (toString(a) == text) return a;
    return std::nullopt;
}

} // namespace kx
