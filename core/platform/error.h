#pragma once
// The core's error type. Its what() is a sentence fragment a person can read
// ("the file is not valid JSON at line 3"); callers put their own lead-in before it.
#include <stdexcept>
#include <string>

namespace kx {

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& description) : std::runtime_error(description) {}
    // The text shown to the user after a caller's fixed prefix.
    std::string localizedDescription() const { return what(); }
};

} // namespace kx
