#include "tools/kxctl/commands.h"

#include <kelvara/version.h>

#include <iostream>

static kx::cli::Registration reg("version", [](CLI::App& root) {
    auto* cmd = root.add_subcommand("version", "Print the version and build number");
    cmd->callback([] { std::cout << KELVARA_VERSION_STRING << " (" << KELVARA_BUILD_STRING << ")\n"; });
});
