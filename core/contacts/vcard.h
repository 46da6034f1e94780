#pragma once
// A small vCard reader (versions 2.1, 3.0 and 4.0) for the parts contacts need:
// names, phone numbers and e-mail addresses.
//
// Handles folded lines (CRLF or LF followed by a blank or tab), property groups
// ("item1.TEL"), parameters (ignored except ENCODING=QUOTED-PRINTABLE), escaped
// values ("\,", "\;", "\n", "\\"), "tel:" URIs, and text that is not valid
// UTF-8 (read as Latin-1). Damaged input never throws: an unterminated card
// still counts, lines outside a card are ignored.
#include <string>
#include <string_view>
#include <vector>

namespace kx::contacts {

struct VCard {
    std::string formattedName;  // FN
    std::string structuredName; // N, as "Given Family"
    std::string organization;   // ORG, first component
    std::vector<std::string> phones;
    std::vector<std::string> emails;

    // FN, else N, else ORG; empty when the card names nobody.
    std::string displayName() const;
};

std::vector<VCard> parseVCards(std::string_view text);

} // namespace kx::contacts
