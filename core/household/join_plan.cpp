#include "core/household/join_plan.h"

#include "core/keys/key_material.h"

#include <algorithm>

namespace kx {

namespace {

struct KindInfo {
    const char* name;
    const char* label;
    bool objectStore;
};

const KindInfo kKinds[] = {
    {"cloudflareR2", "Cloudflare R2", true},
    {"awsS3", "AWS S3", true},
    {"awsGlacierDeepArchive", "AWS S3 Glacier Deep Archive", true},
    {"backblazeB2", "Backblaze B2", true},
    {"localVolume", "External drive or NAS", false},
    {"iCloudDrive", "iCloud Drive", false},
    {"dropboxFolder", "Dropbox folder", false},
    {"googleDriveFolder", "Google Drive folder", false},
};

const KindInfo* kindInfo(const std::string& name) {
    for (const auto& k : kKinds) {
        if (name == k.name) return &k;
    }
    return nullptr;
}

std::string lowered(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return s;
}

bool sameIgnoringCase(const std::string& a, const std::string& b) { return !a.empty() && lowered(a) == lowered(b); }

std::string folderOf(std::string owner) {
    std::replace(owner.begin(), owner.end(), '/', '_');
    return owner;
}

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

bool nonEmpty(const std::optional<std::string>& s) { return s && !s->empty(); }

} // namespace

const std::vector<std::string>& JoinPlan::knownKinds() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const auto& k : kKinds) v.emplace_back(k.name);
        return v;
    }();
    return names;
}

std::string JoinPlan::kindLabel() const {
    const KindInfo* k = kindInfo(destinationKind);
    return k ? k->label : destinationKind;
}

std::optional<std::string> JoinPlan::endpointProblem(const std::string& endpoint) {
    const std::string refused =
        "The code's storage address is not an https address, so this Mac will not send the storage's keys to it. "
        "Ask for a new code.";
    const std::string scheme = "https://";
    if (endpoint.compare(0, scheme.size(), scheme) != 0) return refused;
    std::string rest = endpoint.substr(scheme.size());
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    std::string host = rest;
    const size_t colon = rest.find(':');
    if (colon != std::string::npos) {
        host = rest.substr(0, colon);
        const std::string port = rest.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
            std::stoi(port) == 0 || std::stoi(port) > 65535) {
            return refused;
        }
    }
    if (host.empty() || host.front() == '.' || host.front() == '-' || host.back() == '-') return refused;
    for (char c : host) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '-';
        if (!ok) return refused;
    }
    if (host.find("..") != std::string::npos) return refused;
    return std::nullopt;
}

std::optional<std::string> JoinPlan::ownerProblem(const std::string& owner,
                                                  const std::vector<std::string>& existingOwners) {
    if (owner.find_first_not_of(" \t\n\r") == std::string::npos) {
        return std::string("The code does not say whose archive it is for, so it cannot be used. Ask for a new code.");
    }
    for (unsigned char c : owner) {
        if (c < 0x20 || c == 0x7F) {
            return std::string("The code's archive name holds characters that cannot name a folder, so it cannot be "
                               "used. Ask for a new code.");
        }
    }
    if (owner == "." || owner == ".." || owner.front() == '.') {
        return "The code's archive name " + quoted(owner) +
               " cannot name a folder, so it cannot be used. Ask for a new code.";
    }
    const std::string folder = folderOf(owner);
    for (const auto& other : existingOwners) {
        if (other == owner) continue;
        if (folderOf(other) == folder) {
            return "The code's archive name " + quoted(owner) + " would share the folder " + quoted(folder) +
                   " with the archive of " + quoted(other) + ", so it cannot be used here.";
        }
    }
    return std::nullopt;
}

JoinPlan JoinPlan::make(const LinkCode::Payload& payload, const std::string& accountName, const std::string& fullName,
                        const std::vector<std::string>& existingOwners) {
    const KindInfo* kind = kindInfo(payload.destinationKind);
    if (!kind) throw Problem("This version does not support " + payload.destinationKind + " storage.");

    JoinPlan plan;
    plan.destinationKind = payload.destinationKind;
    plan.bucket = payload.bucket;
    plan.region = payload.region;
    plan.needsLocalFolder = !kind->objectStore;
    if (kind->objectStore) {
        if (!nonEmpty(payload.bucket)) {
            throw Problem("The code does not name the storage's bucket, so this Mac could not find the archive. "
                          "Ask for a new code.");
        }
        if (!nonEmpty(payload.accessKeyID) || !nonEmpty(payload.secretKey)) {
            throw Problem("The code carries no access key for the " + std::string(kind->label) +
                          " storage, so this Mac could not reach it. Ask for a new code from a Mac that has the "
                          "storage's credentials.");
        }
        plan.storesCredentials = true;
        if (nonEmpty(payload.endpoint)) {
            if (auto p = endpointProblem(*payload.endpoint)) throw Problem(*p);
            plan.endpoint = payload.endpoint;
        }
    }
    try {
        (void)TreskKeyMaterial::keyFromRecoveryString(payload.recoveryPhrase);
    } catch (const Error& e) {
        throw Problem(std::string("The code's recovery key is damaged: ") + e.what() +
                      ". Ask for the whole code again.");
    }
    if (auto p = ownerProblem(payload.ownerHint, existingOwners)) throw Problem(*p);
    plan.ownerHint = payload.ownerHint;

    const bool exists = std::find(existingOwners.begin(), existingOwners.end(), payload.ownerHint) !=
                        existingOwners.end();
    if (exists || sameIgnoringCase(payload.ownerHint, accountName) || sameIgnoringCase(payload.ownerHint, fullName)) {
        plan.owner = payload.ownerHint;
        plan.restoresCodeKey = true;
        plan.startsNewArchive = false;
        return plan;
    }
    std::string own = !accountName.empty() ? accountName : !fullName.empty() ? fullName : "me";
    for (const auto& other : existingOwners) {
        if (sameIgnoringCase(other, own)) {
            own = other;
            break;
        }
    }
    if (auto p = ownerProblem(own, existingOwners)) throw Problem(*p);
    if (own == payload.ownerHint || folderOf(own) == folderOf(payload.ownerHint)) {
        throw Problem("This Mac's archive name would share the folder of " + quoted(payload.ownerHint) +
                      "'s archive, so the two histories would mix. Choose a different archive name first.");
    }
    plan.owner = own;
    plan.restoresCodeKey = false;
    plan.startsNewArchive = std::find(existingOwners.begin(), existingOwners.end(), own) == existingOwners.end();
    return plan;
}

std::vector<std::string> JoinPlan::whatWillHappen() const {
    std::vector<std::string> steps;
    if (restoresCodeKey) {
        steps.push_back("Store the encryption key of the archive " + quoted(owner) +
                        " from the code in this Mac's keyring, so this Mac can add to that archive.");
    } else {
        steps.push_back("Give " + quoted(owner) +
                        " an encryption key of their own on this Mac (a new one if there is none yet). The key in the "
                        "code belongs to " +
                        quoted(ownerHint) + " and is not stored here.");
    }
    const std::string where = bucket ? " (bucket " + quoted(*bucket) + ")" : std::string();
    if (needsLocalFolder) {
        steps.push_back("Add the shared " + kindLabel() + " you choose below as a backup destination of this Mac.");
    } else {
        steps.push_back("Add the shared " + kindLabel() + " storage" + where +
                        " as a backup destination, with its access key kept in this Mac's keyring.");
    }
    if (restoresCodeKey) {
        // One archive, backed up by every Mac of its owner to the same place.
        steps.push_back("Archive this Mac's messages as " + quoted(owner) +
                        " and back them up to the same place as the other Mac of that archive. Each backup first " +
                        "takes in what the other Mac backed up there, so the backup holds the messages of both " +
                        "Macs, and so does each Mac's archive after its next backup.");
    } else {
        steps.push_back("Archive this Mac's messages as " + quoted(owner) + ", in a folder of its own on the storage.");
    }
    if (!restoresCodeKey) {
        steps.push_back("Ask you on the Backup screen to save the recovery phrase of the key for " + quoted(owner) +
                        ".");
    }
    return steps;
}

} // namespace kx
