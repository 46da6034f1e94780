#include "app/model/destination_config.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <regex>
#include <stdexcept>

using Kind = DestinationConfig::Kind;
using PlaceClass = kx::ArchiveLocations::PlaceClass;

const char* kindRawValue(Kind kind) {
    switch (kind) {
    case Kind::cloudflareR2: return "cloudflareR2";
    case Kind::awsS3: return "awsS3";
    case Kind::awsGlacierDeepArchive: return "awsGlacierDeepArchive";
    case Kind::backblazeB2: return "backblazeB2";
    case Kind::localVolume: return "localVolume";
    case Kind::iCloudDrive: return "iCloudDrive";
    case Kind::dropboxFolder: return "dropboxFolder";
    case Kind::googleDriveFolder: return "googleDriveFolder";
    }
    return "";
}

std::optional<Kind> kindFromRawValue(const std::string& text) {
    for (Kind k : DestinationConfig::allKinds)
        if (text == kindRawValue(k)) return k;
    return std::nullopt;
}

const char* kindLabel(Kind kind) {
    switch (kind) {
    case Kind::cloudflareR2: return "Cloudflare R2";
    case Kind::awsS3: return "AWS S3";
    case Kind::awsGlacierDeepArchive: return "AWS S3 Glacier Deep Archive";
    case Kind::backblazeB2: return "Backblaze B2";
    case Kind::localVolume: return "External drive or NAS";
    case Kind::iCloudDrive: return "iCloud Drive";
    case Kind::dropboxFolder: return "Dropbox folder";
    case Kind::googleDriveFolder: return "Google Drive folder";
    }
    return "";
}

bool isObjectStore(Kind kind) {
    return kind == Kind::cloudflareR2 || kind == Kind::awsS3 || kind == Kind::awsGlacierDeepArchive ||
           kind == Kind::backblazeB2;
}

bool usesRegion(Kind kind) { return isObjectStore(kind) && kind != Kind::cloudflareR2; }

PlaceClass placeClass(Kind kind) {
    if (isObjectStore(kind)) return PlaceClass::independentBackup;
    return kind == Kind::localVolume ? PlaceClass::sameMachine : PlaceClass::syncedCopy;
}

const char* placeClassText(PlaceClass cls) {
    switch (cls) {
    case PlaceClass::independentBackup: return "Independent backup";
    case PlaceClass::syncedCopy: return "Synced copy";
    case PlaceClass::sameMachine: return "Same machine";
    }
    return "";
}

const char* placeClassSymbol(PlaceClass cls) {
    switch (cls) {
    case PlaceClass::independentBackup: return "lock.shield";
    case PlaceClass::syncedCopy: return "arrow.triangle.2.circlepath";
    case PlaceClass::sameMachine: return "internaldrive";
    }
    return "";
}

std::string formatWholeSecondDate(kx::Date date) {
    const auto secs = std::chrono::floor<std::chrono::seconds>(date.time_since_epoch()).count();
    const std::time_t t = static_cast<std::time_t>(secs);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::optional<kx::Date> parseStrictDate(const std::string& text) {
    static const std::regex form(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(Z|[+-]\d{2}:\d{2}))");
    if (!std::regex_match(text, form)) return std::nullopt;
    return kx::parseISO8601(text);
}

nlohmann::ordered_json encodeDestinations(const std::vector<DestinationConfig>& list) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const DestinationConfig& d : list) {
        nlohmann::ordered_json o;
        o["id"] = d.id;
        o["kind"] = kindRawValue(d.kind);
        if (d.bucket) o["bucket"] = *d.bucket;
        if (d.region) o["region"] = *d.region;
        if (d.localRoot) o["localRoot"] = *d.localRoot;
        o["enabled"] = d.enabled;
        if (d.lastVerifiedAt) o["lastVerifiedAt"] = formatWholeSecondDate(*d.lastVerifiedAt);
        if (d.lastBackupAt) o["lastBackupAt"] = formatWholeSecondDate(*d.lastBackupAt);
        array.push_back(std::move(o));
    }
    return array;
}

namespace {

[[noreturn]] void refuse(size_t index, const std::string& fault) {
    throw std::runtime_error("destination " + std::to_string(index + 1) + " " + fault);
}

std::optional<std::string> optionalText(const nlohmann::json& o, const char* key, size_t index) {
    auto it = o.find(key);
    if (it == o.end() || it->is_null()) return std::nullopt;
    if (!it->is_string()) refuse(index, std::string("has a \"") + key + "\" that is not text");
    return it->get<std::string>();
}

std::optional<kx::Date> optionalDate(const nlohmann::json& o, const char* key, size_t index) {
    const std::optional<std::string> text = optionalText(o, key, index);
    if (!text) return std::nullopt;
    std::optional<kx::Date> when = parseStrictDate(*text);
    if (!when) refuse(index, std::string("has a \"") + key + "\" that is not a date like 2025-03-01T09:30:00Z");
    return when;
}

} // namespace

bool sameStorage(const DestinationConfig& a, const DestinationConfig& b) {
    if (isObjectStore(a.kind) || isObjectStore(b.kind))
        return a.kind == b.kind && a.bucket == b.bucket && a.region == b.region;
    if (!a.localRoot || !b.localRoot) return false;
    const auto folder = [](const std::string& path) {
        std::filesystem::path p = std::filesystem::path(path).lexically_normal();
        return p.has_filename() ? p : p.parent_path();
    };
    return folder(*a.localRoot) == folder(*b.localRoot);
}

std::optional<kx::Date> placeBackedUpAt(const DestinationConfig& d, const std::vector<DestinationConfig>& list) {
    std::optional<kx::Date> newest;
    bool anyOn = false;
    for (const DestinationConfig& other : list) {
        if (!other.enabled || !(other.id == d.id || sameStorage(other, d))) continue;
        anyOn = true;
        newest = std::max(newest, other.lastBackupAt);
    }
    return anyOn ? newest : d.lastBackupAt;
}

std::vector<DestinationConfig> decodeDestinations(const nlohmann::json& json) {
    if (!json.is_array()) throw std::runtime_error("the file does not hold a list of destinations");
    std::vector<DestinationConfig> list;
    for (size_t i = 0; i < json.size(); ++i) {
        const nlohmann::json& o = json[i];
        if (!o.is_object()) refuse(i, "is not an object");
        DestinationConfig d;
        auto id = o.find("id");
        if (id == o.end() || !id->is_string()) refuse(i, "has no \"id\" text");
        d.id = id->get<std::string>();
        auto kind = o.find("kind");
        if (kind == o.end() || !kind->is_string()) refuse(i, "has no \"kind\" text");
        auto k = kindFromRawValue(kind->get<std::string>());
        // The text is not quoted back: it may be anything the file holds.
        if (!k) refuse(i, "has a kind that is not one of the eight known kinds");
        d.kind = *k;
        d.bucket = optionalText(o, "bucket", i);
        d.region = optionalText(o, "region", i);
        d.localRoot = optionalText(o, "localRoot", i);
        auto enabled = o.find("enabled");
        if (enabled == o.end() || !enabled->is_boolean()) refuse(i, "has no \"enabled\" true or false");
        d.enabled = enabled->get<bool>();
        d.lastVerifiedAt = optionalDate(o, "lastVerifiedAt", i);
        d.lastBackupAt = optionalDate(o, "lastBackupAt", i);
        list.push_back(std::move(d));
    }
    return list;
}
