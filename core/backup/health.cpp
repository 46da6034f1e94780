#include "core/backup/health.h"

#include "core/archive/archive_identity.h"

#include <nlohmann/json.hpp>

#include <cstring>

namespace kx {

using nlohmann::json;

std::string ownerRecordKey(const std::string& ownerText) {
    if (ownerText.find('\0') != std::string::npos) throw BackupError("the owner name contains a NUL character");
    std::string owner = ArchiveIdentity::normalize(ownerText);
    if (owner.empty()) throw BackupError("the owner name is empty");
    if (owner == "." || owner == "..") throw BackupError("the owner name \"" + owner + "\" is not allowed");
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : owner) {
        if (c == 0) throw BackupError("the owner name contains a NUL character");
        if (c == '\\') throw BackupError("the owner name contains a backslash");
        if (c < 0x20 || c == 0x7f) throw BackupError("the owner name contains a control character");
        if (c == '/') c = '_';
        if (std::isalnum(c) || c == '.' || c == '_' || c == '-' || c == '@') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

namespace {

std::string recordName(const std::string& prefix, const std::string& owner) {
    std::string name = prefix + "/status/" + ownerRecordKey(owner) + ".json";
    checkRemoteName(name, "status record name");
    return name;
}

json toJson(const OwnerHealthRecord& r) {
    return json{{"owner", r.owner}, {"time", r.time ? json(formatISO8601(*r.time)) : json(nullptr)},
                {"ok", r.ok},       {"version", r.version},
                {"bytes", r.bytes}, {"note", r.note ? json(*r.note) : json(nullptr)}};
}

OwnerHealthRecord fromJson(const json& j) {
    OwnerHealthRecord r;
    r.owner = j.at("owner").get<std::string>();
    if (j.contains("time") && j["time"].is_string()) {
        r.time = parseISO8601(j["time"].get<std::string>());
        if (!r.time) throw BackupError("its time is not a date");
    }
    r.ok = j.at("ok").get<bool>();
    r.version = j.value("version", 1);
    r.bytes = j.value("bytes", int64_t(0));
    if (j.contains("note") && j["note"].is_string()) r.note = j["note"].get<std::string>();
    return r;
}

} // namespace

OwnerHealthPublisher::OwnerHealthPublisher(std::string owner, std::string prefix,
                                           std::shared_ptr<BackupDestination> destination)
    : owner_(std::move(owner)), prefix_(std::move(prefix)), dest_(std::move(destination)) {}

void OwnerHealthPublisher::publish(const OwnerHealthRecord& record) {
    OwnerHealthRecord r = record;
    r.owner = owner_;
    std::string name = recordName(prefix_, owner_);
    std::string text = toJson(r).dump();
    dest_->put(name, text.size(),
               [&](uint64_t off, unsigned char* buf, size_t n) { std::memcpy(buf, text.data() + off, n); },
               ObjectClass::control, {});
}

HostAdmin::HostAdmin(HostView view, std::shared_ptr<BackupDestination> destination)
    : view_(std::move(view)), dest_(std::move(destination)) {}

std::vector<HostHealthRow> HostAdmin::read() const {
    std::vector<HostHealthRow> rows;
    std::optional<std::string> unreachable; // once the destination cannot be reached, the rest say so at once
    for (const auto& owner : view_.owners) {
        HostHealthRow row;
        row.owner = owner;
        if (unreachable) {
            row.error = unreachable;
            rows.push_back(std::move(row));
            continue;
        }
        try {
            std::string name = recordName(view_.prefix, owner);
            std::string text;
            bool found = dest_->get(name, [&](const unsigned char* p, size_t n) {
                if (text.size() + n > 65536) throw BackupError("the status record is unexpectedly large");
                text.append(reinterpret_cast<const char*>(p), n);
            });
            if (!found) {
                row.error = "no status record yet: this owner has not backed up to this destination";
            } else {
                json j = json::parse(text, nullptr, false);
                if (j.is_discarded() || !j.is_object()) throw BackupError("the status record is damaged");
                OwnerHealthRecord r = fromJson(j);
                if (ownerRecordKey(r.owner) != ownerRecordKey(owner))
                    throw BackupError("the status record names another owner");
                row.record = r;
            }
        } catch (const json::exception&) {
            row.error = "the status record is damaged";
        } catch (const std::exception& e) {
            row.error = e.what();
            if (std::string(e.what()).find("could not be reached") != std::string::npos) unreachable = row.error;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

} // namespace kx
