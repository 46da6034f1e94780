#include "core/contacts/system_contacts.h"

#include "core/contacts/contact_handles.h"
#include "core/contacts/vcard.h"
#include "core/platform/bounded_read.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/system.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace kx {

namespace {

constexpr std::size_t kMaxFileBytes = 16 * 1024 * 1024;
constexpr int kMaxDepth = 3;

bool hasVcfExtension(const std::string& name) {
    if (name.size() < 5 || name.front() == '.') return false;
    std::string ext = name.substr(name.size() - 4);
    for (auto& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return ext == ".vcf";
}

// Reads one card file without following links or blocking on pipes.
std::string readCardFile(const std::string& path) {
    using Failure = fs::BoundedRead::Failure;
    auto r = fs::readRegularFileAtMost(path, kMaxFileBytes);
    switch (r.failure) {
    case Failure::none: break;
    case Failure::isLink:
    case Failure::cannotOpen:
    case Failure::cannotRead: throw Error(fs::errnoText(r.error));
    case Failure::notRegular: throw Error("it is not a regular file");
    case Failure::tooLarge: throw Error("it is larger than 16 MiB");
    }
    return std::move(r.bytes);
}

struct Walk {
    std::vector<std::string> files;
    std::vector<std::pair<std::string, std::string>> failures; // path, reason
};

// Collects the ".vcf" files below a folder, sorted, at most kMaxDepth levels
// deep. Links are never followed.
void collect(const std::string& dir, int depth, Walk& walk) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        walk.failures.emplace_back(dir, fs::errnoText(errno));
        return;
    }
    std::vector<std::string> names;
    errno = 0;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        const std::string path = fs::appendComponent(dir, name);
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            if (depth < kMaxDepth && name.front() != '.') collect(path, depth + 1, walk);
        } else if (S_ISREG(st.st_mode) && hasVcfExtension(name)) {
            walk.files.push_back(path);
        }
    }
}

} // namespace

SystemContacts::SystemContacts() : folder_(defaultFolder()) {}

SystemContacts::SystemContacts(std::string folder, std::optional<std::string> defaultCallingCode)
    : folder_(std::move(folder)), callingCode_(std::move(defaultCallingCode)) {}

std::string SystemContacts::defaultFolder() {
    return fs::appendComponent(systemInfo().applicationSupportDirectory(), "contacts");
}

ContactsAuthorization SystemContacts::authorizationStatus() const {
    struct stat st {};
    if (::stat(folder_.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return ContactsAuthorization::notDetermined;
        return ContactsAuthorization::denied;
    }
    if (!S_ISDIR(st.st_mode)) return ContactsAuthorization::notDetermined;
    DIR* d = ::opendir(folder_.c_str());
    if (!d) return ContactsAuthorization::denied;
    ::closedir(d);
    return ContactsAuthorization::authorized;
}

ContactsLoadResult SystemContacts::load() const {
    ContactsLoadResult result;
    result.directory = callingCode_ ? ContactDirectory(*callingCode_) : ContactDirectory();
    result.authorization = authorizationStatus();
    if (result.authorization != ContactsAuthorization::authorized) return result;

    Walk walk;
    collect(folder_, 1, walk);
    std::size_t failedFiles = 0;
    for (const auto& path : walk.files) {
        std::string bytes;
        try {
            bytes = readCardFile(path);
        } catch (const Error& e) {
            ++failedFiles;
            walk.failures.emplace_back(path, e.what());
            continue;
        }
        for (const auto& card : contacts::parseVCards(bytes)) {
            ++result.scannedCount;
            ContactDirectory::Contact c{card.displayName(), card.phones, card.emails};
            if (result.directory.add(c)) ++result.loadedCount;
        }
    }
    if (!walk.failures.empty()) {
        const auto& [path, reason] = walk.failures.front();
        const std::size_t total = walk.files.size();
        std::string text;
        if (failedFiles == walk.failures.size())
            text = std::to_string(failedFiles) + " of " + std::to_string(total) + " contact files could not be read";
        else text = std::to_string(walk.failures.size()) + " contact files or folders could not be read";
        text += " (the first, " + path + ": " + reason + ")";
        result.problem = text;
    }
    return result;
}

std::future<ContactsLoadResult> SystemContacts::loadInBackground() const {
    SystemContacts copy = *this;
    return std::async(std::launch::async, [copy] { return copy.load(); });
}

ContactsAuthorization SystemContacts::requestAccess() const { return authorizationStatus(); }

} // namespace kx
