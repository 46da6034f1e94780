#pragma once
// Matching a message handle (a phone number or an e-mail address) against the
// numbers and addresses on contact cards.
//
// Phone numbers are compared in E.164 form ("+15551234567"). A number written
// with "+" or an international "00" prefix converts directly; a national number
// ("(555) 123-4567", "030 1234567") needs the calling code of the user's region,
// taken from the locale (LC_ALL, LC_TELEPHONE, LANG). Without one, national
// numbers cannot be converted and are compared by their digits instead.
// E-mail addresses are compared case-insensitively (ASCII), without surrounding
// blanks or a "mailto:" prefix.
#include <optional>
#include <string>
#include <string_view>

namespace kx::contacts {

// True when the handle is an e-mail address (holds "@").
bool looksLikeEmail(std::string_view handle);

// Lower-cased (ASCII), trimmed, "mailto:" removed. Empty when nothing is left.
std::string normalizeEmail(std::string_view text);

// The E.164 form of a phone number, or nothing when it has too few or too many
// digits (fewer than 3, more than 15) or letters. "tel:" prefixes, blanks,
// dots, dashes, slashes and brackets are ignored; an extension (";ext=", "x")
// is dropped. defaultCallingCode ("1", "44"; may be empty) is used for
// national numbers; a single national trunk "0" is removed first (except for
// the calling codes that keep it, such as Italy's "39").
std::optional<std::string> normalizePhone(std::string_view text, std::string_view defaultCallingCode);

// Only the digits of a number (for comparing national numbers without a known
// calling code).
std::string phoneDigits(std::string_view text);

// The lookup key of a handle: "mailto:" + normalized address, or "tel:" + E.164
// number; nothing when the handle is neither.
std::optional<std::string> handleKey(std::string_view handle, std::string_view defaultCallingCode);

// The calling code of a locale name's region ("en_US.UTF-8" -> "1",
// "de_DE" -> "49"); empty when the region is not known.
std::string callingCodeForLocale(std::string_view localeName);
// The calling code of the process's locale environment (LC_ALL, LC_TELEPHONE, LANG).
std::string callingCodeFromEnvironment();

} // namespace kx::contacts
