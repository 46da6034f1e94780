#include "tools/kxctl/commands.h"

#include "core/platform/error.h"

#include <iostream>
#include <map>

namespace kx::cli {
namespace {
std::map<std::string, Setup>& registry() {
    static std::map<std::string, Setup> r;
    return r;
}
} // namespace

Registration::Registration(const char* name, Setup setup) { registry()[name] = std::move(setup); }

} // namespace kx::cli

int main(int argc, char** argv) {
    CLI::App app{"kxctl: the Kelvara engine tool"};
    app.require_subcommand(1);
    for (auto& [name, setup] : kx::cli::registry()) setup(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    } catch (const kx::cli::Failure& e) {
        std::cerr << e.what() << "\n";
        return e.exitCode;
    } catch (const kx::Error& e) {
        std::cerr << e.what() << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "kxctl stopped: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
