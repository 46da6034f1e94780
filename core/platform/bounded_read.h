#pragma once
// Reading a small file that someone else may have put in place (a report
// dropped by another machine, a contact card): links are not followed, pipes
// and devices are refused rather than blocking on them, and no more than a
// given number of bytes is ever held in memory.
//
// The outcome says what went wrong instead of throwing, so each caller words
// its own sentence.
#include <cstddef>
#include <string>

namespace kx::fs {

struct BoundedRead {
    enum class Failure {
        none,
        isLink,     // the final component is a symbolic link (error is ELOOP)
        cannotOpen, // open failed for another reason; see error
        notRegular, // a folder, pipe, device or socket
        tooLarge,   // more than maxBytes, by its size or by what was read
        cannotRead, // read failed; see error
    };
    Failure failure = Failure::none;
    int error = 0;     // errno for isLink, cannotOpen and cannotRead
    std::string bytes; // the whole file when failure is none
};

BoundedRead readRegularFileAtMost(const std::string& path, std::size_t maxBytes);

} // namespace kx::fs
