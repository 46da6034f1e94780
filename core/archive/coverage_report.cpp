#include "core/archive/coverage_report.h"

#include <nlohmann/json.hpp>

namespace kx {

using nlohmann::ordered_json;

namespace {

// Readers for a parsed document that throw std::runtime_error on a wrong shape;
// fromJson turns any of them into "no report".
struct Bad : std::runtime_error {
    Bad() : std::runtime_error("bad") {}
};

const nlohmann::json& need(const nlohmann::json& o, const char* key) {
    if (!o.is_object() || !o.contains(key)) throw Bad();
    return o[key];
}
int64_t intOr(const nlohmann::json& o, const char* key, int64_t fallback = 0) {
    if (!o.contains(key)) return fallback;
    if (!o[key].is_number_integer()) throw Bad();
    return o[key].get<int64_t>();
}
bool boolOr(const nlohmann::json& o, const char* key, bool fallback = false) {
    if (!o.contains(key)) return fallback;
    if (!o[key].is_boolean()) throw Bad();
    return o[key].get<bool>();
}
std::string textOr(const nlohmann::json& o, const char* key, std::string fallback = {}) {
    if (!o.contains(key) || o[key].is_null()) return fallback;
    if (!o[key].is_string()) throw Bad();
    return o[key].get<std::string>();
}
std::optional<std::string> optText(const nlohmann::json& o, const char* key) {
    if (!o.contains(key) || o[key].is_null()) return std::nullopt;
    if (!o[key].is_string()) throw Bad();
    return o[key].get<std::string>();
}
std::optional<Date> optDate(const nlohmann::json& o, const char* key) {
    const auto t = optText(o, key);
    if (!t) return std::nullopt;
    auto d = parseISO8601(*t);
    if (!d) throw Bad();
    return d;
}
Date date(const nlohmann::json& o, const char* key) {
    auto d = optDate(o, key);
    if (!d) throw Bad();
    return *d;
}
const nlohmann::json& arrayOr(const nlohmann::json& o, const char* key) {
    static const nlohmann::json empty = nlohmann::json::array();
    if (!o.contains(key)) return empty;
    if (!o[key].is_array()) throw Bad();
    return o[key];
}

} // namespace

std::string CoverageReport::toJson() const {
    ordered_json doc;
    doc["formatVersion"] = 1;
    doc["status"] = succeeded() ? "succeeded" : "failed";
    if (failure) doc["failure"] = *failure;
    doc["runDate"] = formatISO8601(runDate);
    doc["finishedAt"] = formatISO8601(finishedAt);
    if (lastSuccessAt) doc["lastSuccessAt"] = formatISO8601(*lastSuccessAt);
    doc["engineVersion"] = engineVersion;
    if (machineID) doc["machineID"] = *machineID;
    doc["uniqueMessages"] = uniqueMessages;
    doc["newMessages"] = newMessages;
    doc["duplicatesCollapsed"] = duplicatesCollapsed;
    doc["corroborated"] = corroborated;
    ordered_json a;
    a["verified"] = attachments.verified;
    a["missingBytes"] = attachments.missingBytes;
    a["hashed"] = attachments.hashed;
    a["storedObjects"] = attachments.storedObjects;
    a["fullSweep"] = attachments.fullSweep;
    a["sampleSize"] = attachments.sampleSize;
    a["copiedThisRun"] = attachments.copiedThisRun;
    a["missingInSources"] = attachments.missingInSources;
    a["refusedInSources"] = attachments.refusedInSources;
    doc["attachments"] = std::move(a);
    ordered_json owns = ordered_json::array();
    for (const auto& o : owners)
        owns.push_back({{"owner", o.owner},
                        {"folder", o.folder},
                        {"uniqueMessages", o.uniqueMessages},
                        {"newMessages", o.newMessages}});
    doc["owners"] = std::move(owns);
    ordered_json srcs = ordered_json::array();
    for (const auto& s : sources) {
        ordered_json o;
        o["sourceId"] = s.sourceId;
        o["owner"] = s.owner;
        o["format"] = s.format;
        o["label"] = s.label ? ordered_json(*s.label) : ordered_json(nullptr);
        o["scannedAt"] = formatISO8601(s.scannedAt);
        o["succeeded"] = s.succeeded;
        if (s.error) o["error"] = *s.error;
        o["noMessages"] = s.noMessages;
        o["restartedFromBeginning"] = s.restartedFromBeginning;
        o["messagesRead"] = s.messagesRead;
        o["messagesNew"] = s.messagesNew;
        o["messagesFiltered"] = s.messagesFiltered;
        o["attachmentsRecorded"] = s.attachmentsRecorded;
        o["attachmentsCopied"] = s.attachmentsCopied;
        o["attachmentsMissing"] = s.attachmentsMissing;
        o["attachmentsRefused"] = s.attachmentsRefused;
        o["warnings"] = s.warnings;
        srcs.push_back(std::move(o));
    }
    doc["sources"] = std::move(srcs);
    ordered_json gs = ordered_json::array();
    for (const auto& g : gaps) {
        ordered_json o;
        o["kind"] = static_cast<int>(g.kind);
        o["owner"] = g.owner;
        o["name"] = g.name;
        o["start"] = formatISO8601(g.start);
        o["end"] = formatISO8601(g.end);
        o["days"] = g.days;
        if (g.detail) o["detail"] = *g.detail;
        gs.push_back(std::move(o));
    }
    doc["gaps"] = std::move(gs);
    doc["errors"] = errors;
    return doc.dump(2) + "\n";
}

std::optional<CoverageReport> CoverageReport::fromJson(const std::string& text) {
    try {
        const auto doc = nlohmann::json::parse(text);
        if (!doc.is_object()) return std::nullopt;
        if (intOr(doc, "formatVersion", 1) > 1) return std::nullopt;
        CoverageReport r;
        const auto status = textOr(doc, "status", "succeeded");
        if (status == "succeeded") r.status = Status::succeeded;
        else if (status == "failed") r.status = Status::failed;
        else return std::nullopt;
        r.failure = optText(doc, "failure");
        r.runDate = date(doc, "runDate");
        r.finishedAt = optDate(doc, "finishedAt").value_or(r.runDate);
        r.lastSuccessAt = optDate(doc, "lastSuccessAt");
        r.engineVersion = textOr(doc, "engineVersion");
        r.machineID = optText(doc, "machineID");
        r.uniqueMessages = intOr(doc, "uniqueMessages");
        r.newMessages = intOr(doc, "newMessages");
        r.duplicatesCollapsed = intOr(doc, "duplicatesCollapsed");
        r.corroborated = intOr(doc, "corroborated");
        if (doc.contains("attachments")) {
            const auto& a = need(doc, "attachments");
            if (!a.is_object()) return std::nullopt;
            r.attachments.verified = intOr(a, "verified");
            r.attachments.missingBytes = intOr(a, "missingBytes");
            r.attachments.hashed = intOr(a, "hashed");
            r.attachments.storedObjects = intOr(a, "storedObjects");
            r.attachments.fullSweep = boolOr(a, "fullSweep");
            r.attachments.sampleSize = intOr(a, "sampleSize");
            r.attachments.copiedThisRun = intOr(a, "copiedThisRun");
            r.attachments.missingInSources = intOr(a, "missingInSources");
            r.attachments.refusedInSources = intOr(a, "refusedInSources");
        }
        for (const auto& o : arrayOr(doc, "owners")) {
            if (!o.is_object()) return std::nullopt;
            r.owners.push_back(
                {textOr(o, "owner"), textOr(o, "folder"), intOr(o, "uniqueMessages"), intOr(o, "newMessages")});
        }
        for (const auto& o : arrayOr(doc, "sources")) {
            if (!o.is_object()) return std::nullopt;
            SourceOutcome s;
            s.sourceId = textOr(o, "sourceId");
            s.owner = textOr(o, "owner");
            s.format = textOr(o, "format");
            s.label = optText(o, "label");
            s.scannedAt = optDate(o, "scannedAt").value_or(r.runDate);
            s.succeeded = boolOr(o, "succeeded");
            s.error = optText(o, "error");
            s.noMessages = boolOr(o, "noMessages");
            s.restartedFromBeginning = boolOr(o, "restartedFromBeginning");
            s.messagesRead = intOr(o, "messagesRead");
            s.messagesNew = intOr(o, "messagesNew");
            s.messagesFiltered = intOr(o, "messagesFiltered");
            s.attachmentsRecorded = intOr(o, "attachmentsRecorded");
            s.attachmentsCopied = intOr(o, "attachmentsCopied");
            s.attachmentsMissing = intOr(o, "attachmentsMissing");
            s.attachmentsRefused = intOr(o, "attachmentsRefused");
            for (const auto& w : arrayOr(o, "warnings")) {
                if (!w.is_string()) return std::nullopt;
                s.warnings.push_back(w.get<std::string>());
            }
            r.sources.push_back(std::move(s));
        }
        for (const auto& o : arrayOr(doc, "gaps")) {
            if (!o.is_object()) return std::nullopt;
            CoverageGap g;
            const auto kind = intOr(o, "kind");
            if (kind < 0 || kind > 3) return std::nullopt;
            g.kind = static_cast<CoverageGap::Kind>(kind);
            g.owner = textOr(o, "owner");
            g.name = textOr(o, "name");
            g.start = date(o, "start");
            g.end = date(o, "end");
            g.days = intOr(o, "days");
            g.detail = optText(o, "detail");
            r.gaps.push_back(std::move(g));
        }
        for (const auto& e : arrayOr(doc, "errors")) {
            if (!e.is_string()) return std::nullopt;
            r.errors.push_back(e.get<std::string>());
        }
        return r;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace kx
