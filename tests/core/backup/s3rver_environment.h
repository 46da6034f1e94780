#pragma once
// The environment s3rver runs in, for the tests and the bench that start it.
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace kx::test {

// This process's environment with NODE_OPTIONS=--openssl-legacy-provider: under
// OpenSSL 3, s3rver's continuation token for listings of over 1,000 keys needs
// a legacy cipher, and without it s3rver answers 500 to them.
inline std::vector<std::string> s3rverEnvironment() {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "NODE_OPTIONS=", 13) != 0) env.emplace_back(*e);
    env.emplace_back("NODE_OPTIONS=--openssl-legacy-provider");
    return env;
}

} // namespace kx::test
