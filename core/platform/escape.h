#pragma once
// Backslash escapes understood both by bash's $'...' quoting and by systemd's
// quoted unit-file arguments: \\ \n \t \r, and \xNN for every other control
// character. Each quoting routine handles its own quote and special characters
// first and hands the rest to this.
#include <string>

namespace kx {

void appendBackslashEscaped(std::string& out, unsigned char c);

} // namespace kx
