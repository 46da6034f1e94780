#include "core/household/link_code.h"

#include "core/keys/wipe.h"
#include "core/platform/utf8.h"

#include <array>
#include <cstdint>
#include <vector>

namespace kx {

namespace {

constexpr char kAlphabet[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr std::uint16_t kAbsent = 0xFFFF;
constexpr size_t kHeaderBytes = 3;
constexpr size_t kCheckBytes = 4;

const char* const kCutSentence =
    "That link code is incomplete: part of it is missing. Chat apps sometimes cut long codes in half, so ask "
    "for the whole code again.";
const char* const kDamagedSentence =
    "That link code is damaged: a character is wrong or missing. Ask for the code again and paste it whole.";

std::uint32_t crc32(const std::vector<unsigned char>& bytes) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : bytes) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

bool hasControlCharacter(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) return true;
    }
    return false;
}

const char* valueName(int index) {
    static const char* const names[] = {"storage kind", "bucket",     "region",          "endpoint",
                                        "access key",   "secret key", "recovery phrase", "owner name"};
    return names[index];
}

void putValue(std::vector<unsigned char>& out, const std::optional<std::string>& value, int index) {
    if (!value) {
        out.push_back(0xFF);
        out.push_back(0xFF);
        return;
    }
    if (value->size() > LinkCode::kMaxValueBytes) {
        throw LinkCode::LinkError(std::string("The ") + valueName(index) + " is too long to fit in a link code.");
    }
    if (!isValidUTF8(*value) || hasControlCharacter(*value)) {
        throw LinkCode::LinkError(std::string("The ") + valueName(index) +
                                  " holds characters a link code cannot carry.");
    }
    out.push_back(static_cast<unsigned char>(value->size() >> 8));
    out.push_back(static_cast<unsigned char>(value->size() & 0xFF));
    out.insert(out.end(), value->begin(), value->end());
}

int alphabetValue(char c) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c == 'O') return 0;
    if (c == 'I' || c == 'L') return 1;
    for (int i = 0; i < 32; ++i) {
        if (kAlphabet[i] == c) return i;
    }
    return -1;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

} // namespace

void LinkCode::Payload::wipe() {
    for (auto* v : {&bucket, &region, &endpoint, &accessKeyID, &secretKey}) {
        if (*v) kx::wipe(**v);
        v->reset();
    }
    kx::wipe(recoveryPhrase);
    kx::wipe(destinationKind);
    kx::wipe(ownerHint);
}

std::string LinkCode::encode(const Payload& p) {
    std::vector<unsigned char> bytes{static_cast<unsigned char>(kVersion), 0, 0};
    WipeOnExit guard(bytes);
    const std::optional<std::string> values[] = {p.destinationKind, p.bucket,    p.region,         p.endpoint,
                                                 p.accessKeyID,     p.secretKey, p.recoveryPhrase, p.ownerHint};
    for (int i = 0; i < 8; ++i) putValue(bytes, values[i], i);
    for (auto v : values) {
        if (v) kx::wipe(*v);
    }
    if (bytes.size() >= kAbsent) throw LinkError("The values are too long to fit in a link code.");
    bytes[1] = static_cast<unsigned char>(bytes.size() >> 8);
    bytes[2] = static_cast<unsigned char>(bytes.size() & 0xFF);
    const std::uint32_t check = crc32(bytes);
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<unsigned char>(check >> shift));

    std::string out = kPrefix;
    out.reserve(out.size() + (bytes.size() * 8 + 4) / 5);
    std::uint32_t buffer = 0;
    int bits = 0;
    for (unsigned char b : bytes) {
        buffer = (buffer << 8) | b;
        bits += 8;
        while (bits >= 5) {
            out.push_back(kAlphabet[(buffer >> (bits - 5)) & 31]);
            bits -= 5;
        }
    }
    if (bits > 0) out.push_back(kAlphabet[(buffer << (5 - bits)) & 31]);
    return out;
}

std::string LinkCode::encode(const std::string& destinationKind, const std::optional<std::string>& bucket,
                             const std::optional<std::string>& region, const std::optional<std::string>& endpoint,
                             const std::optional<std::string>& accessKeyID, const std::optional<std::string>& secretKey,
                             const std::string& recoveryPhrase, const std::string& ownerHint) {
    Payload p{destinationKind, bucket, region, endpoint, accessKeyID, secretKey, recoveryPhrase, ownerHint};
    std::string code;
    try {
        code = encode(p);
    } catch (...) {
        p.wipe();
        throw;
    }
    p.wipe();
    return code;
}

LinkCode::Payload LinkCode::decode(const std::string& text) {
    // The code without white space, bounded before anything else is looked at.
    std::string code;
    WipeOnExit codeGuard(code);
    for (char c : text) {
        if (isSpace(c)) continue;
        if (code.size() >= kMaxCodeCharacters) {
            throw LinkError("That text is far longer than a link code. Paste only the code, from KTRESK1- to its end.");
        }
        code.push_back(c);
    }
    if (code.empty()) throw LinkError("Paste the code you were given first.");

    const std::string family = "KTRESK";
    auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; };
    bool familyMatches = code.size() >= family.size();
    for (size_t i = 0; familyMatches && i < family.size(); ++i) familyMatches = upper(code[i]) == family[i];
    if (!familyMatches) {
        throw LinkError("That is not a link code. A link code is one long line starting with KTRESK1-; paste only "
                        "the code, from KTRESK1- to its end.");
    }
    size_t pos = family.size();
    size_t versionEnd = pos;
    while (versionEnd < code.size() && code[versionEnd] >= '0' && code[versionEnd] <= '9') ++versionEnd;
    if (versionEnd >= code.size()) throw LinkError(kCutSentence);
    if (versionEnd == pos || code[versionEnd] != '-') throw LinkError(kDamagedSentence);
    if (code.substr(pos, versionEnd - pos) != std::to_string(kVersion)) {
        throw LinkError("That link code was made by a different version of Kelvara, which this version cannot "
                        "read. Update Kelvara on both Macs and create a new code.");
    }
    pos = versionEnd + 1;

    std::vector<unsigned char> bytes;
    WipeOnExit bytesGuard(bytes);
    std::uint32_t buffer = 0;
    int bits = 0;
    for (size_t i = pos; i < code.size(); ++i) {
        const int v = alphabetValue(code[i]);
        if (v < 0) {
            throw LinkError("That link code contains a character that is not part of any link code (character " +
                            std::to_string(i + 1) + "). Ask for the code again and paste it whole.");
        }
        buffer = (buffer << 5) | static_cast<std::uint32_t>(v);
        bits += 5;
        if (bits >= 8) {
            bytes.push_back(static_cast<unsigned char>((buffer >> (bits - 8)) & 0xFF));
            bits -= 8;
        }
    }
    if (bytes.size() < kHeaderBytes + kCheckBytes) throw LinkError(kCutSentence);
    if (bytes[0] != kVersion) throw LinkError(kDamagedSentence);
    const size_t declared = (static_cast<size_t>(bytes[1]) << 8) | bytes[2];
    if (declared < kHeaderBytes) throw LinkError(kDamagedSentence);
    if (bytes.size() < declared + kCheckBytes) throw LinkError(kCutSentence);
    // Left-over bits are padding: at most 4 of them, all zero. Anything else
    // means a character too many or a wrong last character.
    if (bits >= 5 || (buffer & ((1u << bits) - 1)) != 0) throw LinkError(kDamagedSentence);
    if (bytes.size() > declared + kCheckBytes) throw LinkError(kDamagedSentence);

    std::vector<unsigned char> payloadBytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(declared));
    WipeOnExit payloadGuard(payloadBytes);
    std::uint32_t stored = 0;
    for (size_t i = 0; i < kCheckBytes; ++i) stored = (stored << 8) | bytes[declared + i];
    if (crc32(payloadBytes) != stored) throw LinkError(kDamagedSentence);

    std::optional<std::string> values[8];
    size_t at = kHeaderBytes;
    for (int i = 0; i < 8; ++i) {
        if (at + 2 > declared) throw LinkError(kDamagedSentence);
        const size_t length = (static_cast<size_t>(payloadBytes[at]) << 8) | payloadBytes[at + 1];
        at += 2;
        if (length == kAbsent) continue;
        if (length > kMaxValueBytes || at + length > declared) throw LinkError(kDamagedSentence);
        values[i] = std::string(payloadBytes.begin() + static_cast<std::ptrdiff_t>(at),
                                payloadBytes.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    Payload p;
    auto fail = [&p, &values](const char* sentence) {
        for (auto& v : values) {
            if (v) kx::wipe(*v);
        }
        p.wipe();
        throw LinkError(sentence);
    };
    if (at != declared) fail(kDamagedSentence);
    for (auto& v : values) {
        if (v && (!isValidUTF8(*v) || hasControlCharacter(*v))) fail(kDamagedSentence);
    }
    if (!values[0] || !values[6] || !values[7]) fail(kDamagedSentence);
    p.destinationKind = std::move(*values[0]);
    p.bucket = std::move(values[1]);
    p.region = std::move(values[2]);
    p.endpoint = std::move(values[3]);
    p.accessKeyID = std::move(values[4]);
    p.secretKey = std::move(values[5]);
    p.recoveryPhrase = std::move(*values[6]);
    p.ownerHint = std::move(*values[7]);
    return p;
}

} // namespace kx
