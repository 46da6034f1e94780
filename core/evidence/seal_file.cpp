#include "core/evidence/seal_file.h"

#include "core/evidence/digest.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/sha256.h"

#include <nlohmann/json.hpp>

#include <filesystem>

namespace kx {

namespace {

constexpr const char* kKind = "kelvara-seal";
constexpr int kVersion = 1;

nlohmann::json canonicalObject(const SealFile& s) {
    nlohmann::json j = nlohmann::json::object();
    j["kind"] = kKind;
    j["version"] = kVersion;
    j["exportFile"] = s.exportFile;
    j["sha256"] = s.sha256;
    j["size"] = s.size;
    j["format"] = exportFormatRawValue(s.format);
    j["description"] = s.description;
    j["manifestHead"] = s.manifestHead ? nlohmann::json(*s.manifestHead) : nlohmann::json(nullptr);
    j["appVersion"] = s.appVersion;
    j["sealedAt"] = formatISO8601(s.sealedAt);
    return j;
}

const nlohmann::json& field(const nlohmann::json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end()) throw Error(std::string("the seal has no \"") + key + "\" field");
    return *it;
}

std::string textField(const nlohmann::json& j, const char* key) {
    const auto& v = field(j, key);
    if (!v.is_string()) throw Error(std::string("the seal's \"") + key + "\" field is not a text");
    return v.get<std::string>();
}

Date dateField(const nlohmann::json& j, const char* key) {
    auto d = parseISO8601(textField(j, key));
    if (!d) throw Error(std::string("the seal's \"") + key + "\" field is not a date");
    return *d;
}

} // namespace

std::string SealFile::path(const std::string& forExport) { return forExport + kSuffix; }

std::string SealFile::canonicalBytes() const {
    // dump() without indentation writes no white space; object keys come out sorted.
    return canonicalObject(*this).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string SealFile::sealDigest() const { return Sha256::hexOf(canonicalBytes()); }

nlohmann::json SealFile::toJson() const {
    nlohmann::json j = canonicalObject(*this);
    j["sealDigest"] = sealDigest();
    if (anchor) {
        j["anchor"] = {{"authority", anchor->authority},
                       {"summary", anchor->summary},
                       {"anchoredAt", formatISO8601(anchor->anchoredAt)},
                       {"serialNumber", anchor->serialNumber},
                       {"token", anchor->token}};
    } else {
        j["anchor"] = nullptr;
    }
    return j;
}

SealFile SealFile::fromJson(const nlohmann::json& j) {
    if (!j.is_object()) throw Error("the seal is not a JSON object");
    if (textField(j, "kind") != kKind) throw Error("the file is not a Kelvara seal");
    const auto& version = field(j, "version");
    if (!version.is_number_integer() || version.get<int>() != kVersion)
        throw Error("the seal was written by a newer version of Kelvara");
    SealFile s;
    s.exportFile = textField(j, "exportFile");
    s.sha256 = textField(j, "sha256");
    if (!evidence::isSha256Hex(s.sha256)) throw Error("the seal's export digest is not a SHA-256 value");
    const auto& size = field(j, "size");
    if (!size.is_number_unsigned() && !(size.is_number_integer() && size.get<long long>() >= 0))
        throw Error("the seal's size is not a byte count");
    s.size = size.get<std::uint64_t>();
    auto format = exportFormatFromRawValue(textField(j, "format"));
    if (!format) throw Error("the seal names an unknown export format");
    s.format = *format;
    s.description = textField(j, "description");
    const auto& head = field(j, "manifestHead");
    if (head.is_string()) s.manifestHead = head.get<std::string>();
    else if (!head.is_null()) throw Error("the seal's manifest head is not a text");
    s.appVersion = textField(j, "appVersion");
    s.sealedAt = dateField(j, "sealedAt");
    if (textField(j, "sealDigest") != s.sealDigest())
        throw Error("the seal's digest does not match its contents; the seal file was changed");
    auto it = j.find("anchor");
    if (it != j.end() && !it->is_null()) {
        if (!it->is_object()) throw Error("the seal's anchor is not a JSON object");
        SealAnchor a;
        a.authority = textField(*it, "authority");
        a.summary = textField(*it, "summary");
        a.anchoredAt = dateField(*it, "anchoredAt");
        a.serialNumber = textField(*it, "serialNumber");
        a.token = textField(*it, "token");
        s.anchor = std::move(a);
    }
    return s;
}

SealFile SealFile::read(const std::string& path) {
    auto bytes = fs::readFileIfExists(path);
    if (!bytes) throw Error("there is no seal file at " + path);
    nlohmann::json j = nlohmann::json::parse(*bytes, nullptr, false);
    if (j.is_discarded()) throw Error("the seal file " + path + " is not valid JSON");
    try {
        return fromJson(j);
    } catch (const nlohmann::json::exception&) {
        throw Error("the seal file " + path + " has a field of the wrong kind");
    } catch (const Error& e) {
        throw Error("the seal file " + path + " is damaged: " + e.what());
    }
}

void SealFile::write(const std::string& path) const {
    if (path.empty()) throw Error("no path was given for the seal file");
    const std::string text = toJson().dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    fs::writeFileAtomic(path, text);
}

} // namespace kx
