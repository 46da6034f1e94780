#pragma once
// Sub-commands of kxctl register themselves from their own files:
//
//   static kx::cli::Registration reg("ingest", [](CLI::App& app) { ... });
//
// A command's callback reports failure by throwing kx::cli::Failure with one
// sentence; main() prints it on standard error and exits with its code.
#include <CLI/CLI.hpp>

#include <functional>
#include <stdexcept>
#include <string>

namespace kx::cli {

struct Failure : std::runtime_error {
    explicit Failure(const std::string& sentence, int code = 1) : std::runtime_error(sentence), exitCode(code) {}
    int exitCode;
};

using Setup = std::function<void(CLI::App& root)>;

struct Registration {
    Registration(const char* name, Setup setup);
};

} // namespace kx::cli
