#include "core/contacts/vcard.h"

#include <cstdint>

namespace kx::contacts {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string trim(std::string_view s) {
    while (!s.empty() && (isBlank(s.front()) || s.front() == '\r' || s.front() == '\n')) s.remove_prefix(1);
    while (!s.empty() && (isBlank(s.back()) || s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
    return std::string(s);
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (auto& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

bool isValidUTF8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t len;
        if (c < 0x80) len = 1;
        else if ((c & 0xE0) == 0xC0 && c >= 0xC2) len = 2;
        else if ((c & 0xF0) == 0xE0) len = 3;
        else if ((c & 0xF8) == 0xF0 && c <= 0xF4) len = 4;
        else return false;
        if (i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

// Text that is not UTF-8 is taken as Latin-1 (older vCard 2.1 exports).
std::string asUTF8(std::string s) {
    if (isValidUTF8(s)) return s;
    std::string out;
    out.reserve(s.size() * 2);
    for (unsigned char c : s) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string decodeQuotedPrintable(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '=' && i + 2 < s.size()) {
            const int hi = hexValue(s[i + 1]), lo = hexValue(s[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

// Splits a structured value on unescaped ";" and removes the escapes.
std::vector<std::string> splitComponents(std::string_view v) {
    std::vector<std::string> parts(1);
    for (std::size_t i = 0; i < v.size(); ++i) {
        const char c = v[i];
        if (c == '\\' && i + 1 < v.size()) {
            const char n = v[++i];
            parts.back().push_back(n == 'n' || n == 'N' || static_cast<unsigned char>(n) < 0x20 ? ' ' : n);
        } else if (c == ';') {
            parts.emplace_back();
        } else {
            parts.back().push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? ' ' : c);
        }
    }
    return parts;
}

// Removes the escapes; line breaks and other control characters become blanks,
// so a name is always one line.
std::string unescape(std::string_view v) {
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i) {
        char c = v[i];
        if (c == '\\' && i + 1 < v.size()) {
            c = v[++i];
            if (c == 'n' || c == 'N') c = ' ';
        }
        const auto u = static_cast<unsigned char>(c);
        out.push_back(u < 0x20 || u == 0x7F ? ' ' : c);
    }
    return out;
}

struct Line {
    std::string name; // upper case, group removed
    bool quotedPrintable = false;
    std::string value;
};

// Splits "GROUP.NAME;PARAM=X:VALUE" (the colon may not sit inside quotes).
bool splitLine(const std::string& logical, Line& out) {
    bool quoted = false;
    std::size_t colon = std::string::npos;
    for (std::size_t i = 0; i < logical.size(); ++i) {
        if (logical[i] == '"') quoted = !quoted;
        else if (logical[i] == ':' && !quoted) {
            colon = i;
            break;
        }
    }
    if (colon == std::string::npos) return false;
    const std::string head = logical.substr(0, colon);
    out.value = logical.substr(colon + 1);
    std::size_t semi = head.find(';');
    std::string name = head.substr(0, semi);
    if (auto dot = name.rfind('.'); dot != std::string::npos) name = name.substr(dot + 1);
    out.name = upper(trim(name));
    out.quotedPrintable = false;
    if (semi != std::string::npos) {
        const std::string params = upper(head.substr(semi));
        out.quotedPrintable = params.find("QUOTED-PRINTABLE") != std::string::npos;
    }
    return true;
}

// Joins folded physical lines into logical ones.
std::vector<std::string> logicalLines(std::string_view text) {
    std::vector<std::string> physical;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view l = text.substr(start, end - start);
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        physical.emplace_back(l);
        if (end == text.size()) break;
        start = end + 1;
    }
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < physical.size(); ++i) {
        const std::string& l = physical[i];
        if (!l.empty() && isBlank(l.front()) && !lines.empty()) {
            lines.back() += l.substr(1);
            continue;
        }
        lines.push_back(l);
        // vCard 2.1 quoted-printable values continue after a trailing "=".
        if (upper(l.substr(0, l.find(':'))).find("QUOTED-PRINTABLE") != std::string::npos) {
            while (!lines.back().empty() && lines.back().back() == '=' && i + 1 < physical.size()) {
                lines.back().pop_back();
                lines.back() += physical[++i];
            }
        }
    }
    return lines;
}

} // namespace

std::string VCard::displayName() const {
    if (!formattedName.empty()) return formattedName;
    if (!structuredName.empty()) return structuredName;
    return organization;
}

std::vector<VCard> parseVCards(std::string_view text) {
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    std::vector<VCard> cards;
    int depth = 0;
    VCard current;
    for (const std::string& logical : logicalLines(text)) {
        Line line;
        if (!splitLine(logical, line)) continue;
        if (line.name == "BEGIN" && upper(trim(line.value)) == "VCARD") {
            if (depth == 0) current = VCard{};
            ++depth;
            continue;
        }
        if (line.name == "END" && upper(trim(line.value)) == "VCARD") {
            if (depth == 1) cards.push_back(std::move(current));
            if (depth > 0) --depth;
            continue;
        }
        if (depth != 1) continue; // outside a card, or inside a nested one
        std::string value = line.quotedPrintable ? decodeQuotedPrintable(line.value) : line.value;
        value = asUTF8(std::move(value));
        if (line.name == "FN") {
            if (current.formattedName.empty()) current.formattedName = trim(unescape(value));
        } else if (line.name == "N") {
            if (current.structuredName.empty()) {
                auto parts = splitComponents(value);
                parts.resize(5);
                std::string joined;
                for (const std::string* p : {&parts[3], &parts[1], &parts[2], &parts[0], &parts[4]}) {
                    const std::string t = trim(*p);
                    if (t.empty()) continue;
                    if (!joined.empty()) joined.push_back(' ');
                    joined += t;
                }
                current.structuredName = joined;
            }
        } else if (line.name == "ORG") {
            if (current.organization.empty()) current.organization = trim(splitComponents(value).front());
        } else if (line.name == "TEL") {
            std::string v = trim(unescape(value));
            if (!v.empty()) current.phones.push_back(std::move(v));
        } else if (line.name == "EMAIL") {
            std::string v = trim(unescape(value));
            if (!v.empty()) current.emails.push_back(std::move(v));
        }
    }
    if (depth > 0) cards.push_back(std::move(current)); // an unterminated last card
    return cards;
}

} // namespace kx::contacts
