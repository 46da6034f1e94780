#include "core/health/retention.h"

#include "core/archive/tresk_stats.h"
#include "core/platform/bounded_read.h"
#include "core/platform/fs.h"
#include "core/platform/system.h"

#include <plist/plist.h>

#include <cstring>
#include <limits>

namespace kx {

namespace {

// A Messages preferences file is a few kilobytes; anything far larger is not one.
constexpr std::size_t kMaxPreferencesBytes = 4 * 1024 * 1024;

struct PlistHolder {
    plist_t node = nullptr;
    ~PlistHolder() {
        if (node) plist_free(node);
    }
};

} // namespace

std::string RetentionPolicy::Setting::appleLabel() const {
    switch (kind) {
    case Kind::keepForever: return "Forever";
    case Kind::unreadable: return "Unknown";
    case Kind::days:
        if (days == 365) return "1 Year";
        return std::to_string(days) + (days == 1 ? " Day" : " Days");
    }
    return "Unknown";
}

RetentionPolicy::Setting RetentionReader::fromPropertyList(const std::string& bytes) {
    using Setting = RetentionPolicy::Setting;
    if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max())
        return Setting::unreadable("the Messages settings file is empty or too large");
    PlistHolder root;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root.node);
    if (!root.node || plist_get_node_type(root.node) != PLIST_DICT)
        return Setting::unreadable("the Messages settings file is damaged");
    plist_t value = plist_dict_get_item(root.node, kKey);
    if (!value) return Setting::keepForever(); // Messages' own default
    int64_t days = -1;
    switch (plist_get_node_type(value)) {
    case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(value, &v);
        // libplist keeps negative integers as their two's complement.
        days = v > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) ? -1 : static_cast<int64_t>(v);
        break;
    }
    case PLIST_REAL: {
        double v = 0;
        plist_get_real_val(value, &v);
        if (v >= 0 && v <= std::numeric_limits<int32_t>::max() && v == static_cast<double>(static_cast<int64_t>(v)))
            days = static_cast<int64_t>(v);
        break;
    }
    default: break;
    }
    if (days < 0) return Setting::unreadable("the Messages setting holds a value Kelvara does not know");
    if (days == 0) return Setting::keepForever();
    return Setting::ofDays(static_cast<int>(days));
}

RetentionPolicy::Setting RetentionReader::currentSetting(const std::string& domainName) {
    using Setting = RetentionPolicy::Setting;
    if (domainName.empty() || domainName.find('/') != std::string::npos || domainName.front() == '.')
        return Setting::unreadable("not a settings domain: " + domainName);
    const std::string path = fs::appendComponent(fs::appendComponent(systemInfo().homeDirectory(),
                                                                     "Library/Preferences"),
                                                 domainName + ".plist");
    const fs::BoundedRead read = fs::readRegularFileAtMost(path, kMaxPreferencesBytes);
    switch (read.failure) {
    case fs::BoundedRead::Failure::none: return fromPropertyList(read.bytes);
    case fs::BoundedRead::Failure::cannotOpen:
        if (read.error == ENOENT) return Setting::unreadable("Messages' settings are not on this computer");
        return Setting::unreadable("Messages' settings file cannot be opened: " +
                                   std::string(std::strerror(read.error)));
    case fs::BoundedRead::Failure::isLink:
    case fs::BoundedRead::Failure::notRegular:
        return Setting::unreadable("Messages' settings file is not a plain file");
    case fs::BoundedRead::Failure::tooLarge: return Setting::unreadable("Messages' settings file is too large");
    case fs::BoundedRead::Failure::cannotRead:
        return Setting::unreadable("Messages' settings file cannot be read: " + std::string(std::strerror(read.error)));
    }
    return Setting::unreadable("Messages' settings file cannot be read");
}

std::optional<std::uint64_t> RetentionReader::liveAttachmentBytes(const std::string& path) {
    return TreskStatsReader::directoryBytes(path);
}

} // namespace kx
