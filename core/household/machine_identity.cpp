#include "core/household/machine_identity.h"

#include "core/household/machine_report.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <sys/random.h>
#include <unistd.h>

namespace kx {

namespace {

constexpr std::size_t kMaxNameBytes = 128;

bool isBlank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// Cuts a UTF-8 text to at most max bytes without splitting a character.
std::string cutUTF8(std::string s, std::size_t max) {
    if (s.size() <= max) return s;
    std::size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
    s.resize(end);
    return s;
}

std::string damagedSentence(const std::string& file, const std::string& reason) {
    return "This computer's identity file at " + file + " could not be read (" + reason +
           "). It was left as it is, and runs are not being recorded for this computer until it is repaired or moved "
           "aside.";
}

// Reads the stored identity; nothing when there is no file. Throws a sentence
// when the file exists but is unusable.
std::optional<std::string> readIdentity(const std::string& file) {
    std::optional<std::string> bytes;
    try {
        bytes = fs::readFileIfExists(file);
    } catch (const Error& e) {
        throw Error(damagedSentence(file, e.what()));
    }
    if (!bytes) return std::nullopt;
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(*bytes);
    } catch (const nlohmann::json::exception&) {
        throw Error(damagedSentence(file, "it is not valid JSON"));
    }
    if (!j.is_object() || !j.contains("machineID") || !j["machineID"].is_string())
        throw Error(damagedSentence(file, "it holds no machine identity"));
    std::string id = j["machineID"].get<std::string>();
    if (!isValidMachineID(id)) throw Error(damagedSentence(file, "the machine identity in it is not valid"));
    return id;
}

} // namespace

std::string MachineIdentity::displayName(const std::string& host) {
    std::string out;
    out.reserve(host.size());
    for (std::size_t i = 0; i < host.size(); ++i) {
        const auto c = static_cast<unsigned char>(host[i]);
        if (c < 0x20 || c == 0x7F) {
            out.push_back(' ');
            continue;
        }
        out.push_back(static_cast<char>(c));
    }
    std::size_t b = 0, e = out.size();
    while (b < e && isBlank(static_cast<unsigned char>(out[b]))) ++b;
    while (e > b && isBlank(static_cast<unsigned char>(out[e - 1]))) --e;
    out = cutUTF8(out.substr(b, e - b), kMaxNameBytes);
    while (!out.empty() && isBlank(static_cast<unsigned char>(out.back()))) out.pop_back();
    return out.empty() ? std::string("This Mac") : out;
}

std::string MachineIdentity::path(const std::string& configDir) { return fs::appendComponent(configDir, kFileName); }

std::string MachineIdentity::resolve(const std::string& configDir, const std::function<std::string()>& generate,
                                     Date now) {
    const std::string file = path(configDir);
    if (auto id = readIdentity(file)) return *id;

    try {
        fs::createPrivateDirectories(configDir);
    } catch (const Error& e) {
        throw Error("This computer's identity could not be stored: " + std::string(e.what()) + ".");
    }
    const std::string id = generate ? generate() : std::string();
    if (!isValidMachineID(id))
        throw Error("This computer's identity could not be made: the new identity \"" + id + "\" is not usable.");

    nlohmann::ordered_json j;
    j["machineID"] = id;
    j["createdAt"] = formatISO8601(now);
    bool created = false;
    try {
        created = fs::createFileAtomic(file, j.dump(2) + "\n");
    } catch (const Error& e) {
        throw Error("This computer's identity could not be stored: " + std::string(e.what()) + ".");
    }
    if (created) return id;
    // Another process made the identity first: use that one.
    if (auto existing = readIdentity(file)) return *existing;
    throw Error("This computer's identity could not be stored: " + file + " disappeared while it was being created.");
}

std::string makeRandomUUID() {
    unsigned char b[16];
    std::size_t got = 0;
    while (got < sizeof b) {
        const ssize_t n = ::getrandom(b + got, sizeof b - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Error("no random numbers are available: " + fs::errnoText(errno));
        }
        got += static_cast<std::size_t>(n);
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40); // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80); // RFC 4122 variant
    char out[37];
    std::snprintf(out, sizeof out, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return out;
}

} // namespace kx
