#include "core/household/machine_report.h"

#include "core/platform/bounded_read.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/utf8.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace kx {

namespace {

constexpr int kVersion = 1;
constexpr std::size_t kMaxFileBytes = 64 * 1024;
constexpr std::size_t kMaxTextBytes = 256;
constexpr std::int64_t kMaxCount = std::int64_t(1) << 53;
constexpr std::size_t kMaxReports = 1000;
constexpr std::size_t kMaxOwners = 64;

bool hasControlCharacters(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F) return true;
        // C1 controls U+0080..U+009F are encoded as C2 80..C2 9F.
        if (c == 0xC2 && i + 1 < s.size()) {
            const auto n = static_cast<unsigned char>(s[i + 1]);
            if (n >= 0x80 && n <= 0x9F) return true;
        }
    }
    return false;
}

std::string checkedText(const nlohmann::json& obj, const char* key, bool required, bool mayBeEmpty) {
    auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) {
        if (required) throw Error(std::string("the report has no \"") + key + "\"");
        return {};
    }
    if (!it->is_string()) throw Error(std::string("\"") + key + "\" is not text");
    const std::string& s = it->get_ref<const std::string&>();
    if (!mayBeEmpty && s.empty()) throw Error(std::string("\"") + key + "\" is empty");
    if (s.size() > kMaxTextBytes) throw Error(std::string("\"") + key + "\" is longer than 256 bytes");
    if (!isValidUTF8(s)) throw Error(std::string("\"") + key + "\" is not valid UTF-8 text");
    if (hasControlCharacters(s)) throw Error(std::string("\"") + key + "\" holds control characters");
    return s;
}

std::int64_t checkedCount(const nlohmann::json& obj, const char* key) {
    auto it = obj.find(key);
    if (it == obj.end()) throw Error(std::string("the report has no \"") + key + "\"");
    if (it->is_number_unsigned()) {
        const auto v = it->get<std::uint64_t>();
        if (v > static_cast<std::uint64_t>(kMaxCount)) throw Error(std::string("\"") + key + "\" is out of range");
        return static_cast<std::int64_t>(v);
    }
    if (it->is_number_integer()) {
        const auto v = it->get<std::int64_t>();
        if (v < 0 || v > kMaxCount) throw Error(std::string("\"") + key + "\" is out of range");
        return v;
    }
    throw Error(std::string("\"") + key + "\" is not a whole number");
}

// Reads a report file without following links and without blocking on pipes or
// devices; at most kMaxFileBytes.
std::string readReportFile(const std::filesystem::path& path) {
    using Failure = fs::BoundedRead::Failure;
    auto r = fs::readRegularFileAtMost(path.string(), kMaxFileBytes);
    switch (r.failure) {
    case Failure::none: break;
    case Failure::isLink: throw Error("it is a link, not a file");
    case Failure::cannotOpen: throw Error("it could not be opened: " + fs::errnoText(r.error));
    case Failure::notRegular: throw Error("it is not a regular file");
    case Failure::tooLarge: throw Error("it is larger than 64 KiB");
    case Failure::cannotRead: throw Error("it could not be read: " + fs::errnoText(r.error));
    }
    return std::move(r.bytes);
}

} // namespace

bool isValidMachineID(std::string_view id) {
    if (id.empty() || id.size() > 128 || id.front() == '.') return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
               c == '.';
    });
}

std::vector<MachineReport> parseMachineReport(std::string_view bytes, Date now) {
    if (bytes.size() > kMaxFileBytes) throw Error("the report is larger than 64 KiB");
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(bytes);
    } catch (const nlohmann::json::exception&) {
        throw Error("the report is not valid JSON");
    }
    if (!j.is_object()) throw Error("the report is not a JSON object");
    auto v = j.find("formatVersion");
    if (v == j.end() || !v->is_number_integer()) throw Error("the report has no format version");
    if (v->get<std::int64_t>() != kVersion)
        throw Error("the report was written in a format version this version of Kelvara does not read");

    const std::string machineID = checkedText(j, "machineID", true, false);
    if (!isValidMachineID(machineID)) throw Error("the machine id is not valid");
    const std::string machineName = checkedText(j, "computerName", false, true);
    const std::string runAt = checkedText(j, "runAt", true, false);
    const auto date = parseISO8601(runAt);
    if (!date) throw Error("the run date is not a valid date");
    if (*date > now + std::chrono::hours(24)) throw Error("the run date lies in the future");
    auto ok = j.find("succeeded");
    if (ok == j.end() || !ok->is_boolean()) throw Error("the report does not say whether the run succeeded");
    if (!ok->get<bool>()) throw Error("the run it describes failed");
    checkedCount(j, "messageCount");

    auto owners = j.find("owners");
    if (owners == j.end() || !owners->is_array()) throw Error("the report has no list of owners");
    if (owners->size() > kMaxOwners) throw Error("the report lists more than 64 owners");
    std::vector<MachineReport> out;
    for (const auto& o : *owners) {
        if (!o.is_object()) throw Error("an owner entry is not an object");
        MachineReport r;
        r.machineID = machineID;
        r.machineName = machineName;
        r.owner = checkedText(o, "owner", true, false);
        r.runAt = *date;
        r.totalMessages = checkedCount(o, "messageCount");
        if (o.contains("newMessages")) r.newMessages = checkedCount(o, "newMessages");
        for (const auto& seen : out)
            if (seen.owner == r.owner) throw Error("the owner \"" + r.owner + "\" is listed twice");
        out.push_back(std::move(r));
    }
    return out;
}

MachineReportScan readMachineReports(const std::string& destinationRoot, Date now) {
    MachineReportScan scan;
    const std::string_view suffix(kMachineReportSuffix);
    std::error_code ec;
    std::filesystem::directory_iterator it(destinationRoot, ec);
    if (ec) {
        if (ec != std::errc::no_such_file_or_directory && ec != std::errc::not_a_directory)
            scan.skipped.push_back({destinationRoot, "the archive folder could not be listed: " + ec.message()});
        return scan;
    }
    std::vector<std::pair<std::string, std::string>> candidates; // (file name, path)
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
        if (ec) {
            scan.skipped.push_back(
                {destinationRoot, "the archive folder could not be listed completely: " + ec.message()});
            break;
        }
        const std::string name = it->path().filename().string();
        if (name.size() <= suffix.size() || !name.ends_with(suffix) || name.front() == '.') continue;
        candidates.emplace_back(name, it->path().string());
    }
    std::sort(candidates.begin(), candidates.end());
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const auto& [name, path] = candidates[i];
        if (i >= kMaxReports) {
            scan.skipped.push_back({path, "there are more than 1000 machine reports; the rest were not read"});
            break;
        }
        const std::string idInName = name.substr(0, name.size() - suffix.size());
        try {
            if (!isValidMachineID(idInName)) throw Error("the file name does not hold a valid machine id");
            auto reports = parseMachineReport(readReportFile(path), now);
            if (!reports.empty() && reports.front().machineID != idInName)
                throw Error("the machine id inside does not match the file name");
            for (auto& r : reports) scan.reports.push_back(std::move(r));
        } catch (const Error& e) {
            scan.skipped.push_back({path, e.what()});
        }
    }
    return scan;
}

} // namespace kx
