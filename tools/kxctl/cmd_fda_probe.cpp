// kxctl fda-probe [--json] [--database PATH]
//
// Checks whether this program, started the way it is started (the daily schedule
// runs it with nothing but PATH in its environment), can read the live Messages
// database. The application runs it as "fda-probe --json" in that same context to
// learn what the scheduled run will be able to read.
//
// With --json it prints one line of JSON (the reply format is documented in
// core/health/probe_output.h) and exits 0 whenever the check itself ran, readable
// or not: the reply carries the answer. Without --json it prints the answer in
// words and exits 0 when the database is readable, 1 when it is not.
#include "tools/kxctl/commands.h"

#include "core/health/full_disk_access_probe.h"

#include <iostream>
#include <memory>

namespace {

struct Options {
    bool json = false;
    std::string database;
};

void run(const Options& opt) {
    const std::string path = opt.database.empty() ? kx::FullDiskAccessProbe::liveMessagesDatabasePath() : opt.database;
    const kx::ProbeOutput out = kx::FullDiskAccessProbe::probeThisProcess(path);
    if (opt.json) {
        std::cout << out.encode() << "\n" << std::flush;
        return;
    }
    std::cout << "Messages database: " << out.databasePath << "\n";
    if (out.readable) {
        std::cout << "Readable by this program: yes, " << *out.messageCount << " messages\n";
        return;
    }
    std::cout << "Readable by this program: no\n";
    throw kx::cli::Failure(
        "This program cannot read the Messages database: " + out.problem.value_or("no reason known") + ".");
}

kx::cli::Registration reg("fda-probe", [](CLI::App& root) {
    auto opt = std::make_shared<Options>();
    auto* cmd = root.add_subcommand("fda-probe", "Check whether this program can read the Messages database");
    cmd->add_flag("--json", opt->json, "Print one line of JSON for the application");
    cmd->add_option("--database", opt->database, "Check this file instead of the live Messages database");
    cmd->callback([opt] { run(*opt); });
});

} // namespace
