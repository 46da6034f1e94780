#include "core/backup/destination.h"

#include <algorithm>
#include <cstring>

namespace kx {

uint64_t BackupDestination::partSizeFor(uint64_t objectSize) const {
    // 16 MiB parts; bigger for huge objects so no upload needs more than 10,000 parts.
    uint64_t part = 16ull << 20;
    while (objectSize / part >= 9000) part *= 2;
    return part;
}

bool BackupDestination::getRange(const std::string& name, uint64_t offset, uint64_t length, const ByteSink& sink) {
    uint64_t at = 0;
    return get(name, [&](const unsigned char* p, size_t n) {
        const uint64_t from = std::max(at, offset), to = std::min(at + n, offset + length);
        if (from < to) sink(p + (from - at), static_cast<size_t>(to - from));
        at += n;
    });
}

bool BackupDestination::updateControl(const std::string& name, const ControlChange& change) {
    std::optional<std::string> current;
    std::string bytes;
    if (get(name, [&](const unsigned char* p, size_t n) {
            if (bytes.size() + n > (1u << 20))
                throw BackupError("the control object " + name + " is unexpectedly large");
            bytes.append(reinterpret_cast<const char*>(p), n);
        }))
        current = std::move(bytes);
    std::optional<std::string> next = change(current);
    if (!next) return false;
    if (next->empty()) {
        remove(name);
        return true;
    }
    const std::string& text = *next;
    put(name, text.size(), [&](uint64_t off, unsigned char* buf, size_t n) { std::memcpy(buf, text.data() + off, n); },
        ObjectClass::control, {});
    return true;
}

void checkRemoteName(const std::string& name, const char* what) {
    auto refuse = [&](const std::string& why) { throw BackupError(std::string("the ") + what + " " + why); };
    if (name.empty()) refuse("is empty");
    if (name.size() > 900) refuse("is too long");
    if (name.front() == '/') refuse("starts with \"/\"");
    for (char c : name) {
        if (c == '\0') refuse("contains a NUL character");
        if (c == '\\') refuse("contains a backslash");
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) refuse("contains a control character");
    }
    size_t start = 0;
    while (start <= name.size()) {
        size_t slash = name.find('/', start);
        std::string part = name.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part.empty()) refuse("has an empty component");
        if (part == "." || part == "..") refuse("has a \"" + part + "\" component");
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
}

} // namespace kx
