#include "core/platform/escape.h"

#include <cstdio>

namespace kx {

void appendBackslashEscaped(std::string& out, unsigned char c) {
    switch (c) {
    case '\\': out += "\\\\"; break;
    case '\n': out += "\\n"; break;
    case '\t': out += "\\t"; break;
    case '\r': out += "\\r"; break;
    default:
        if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
}

} // namespace kx
