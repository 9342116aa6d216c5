#include <cstdio>
#include <exception>

#include <CLI/CLI.hpp>

#include "cli/VersionCommand.hpp"

namespace {

// Exit statuses: 0 success, 1 failure, 2 bad usage.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Van Treel: every pending update of this machine in one table", "vantreel"};
    app.set_version_flag("--version", std::string("vantreel ") + VT_PROGRAM_VERSION);
    app.require_subcommand(0, 1);
    int exitCode = 0;
    vt::cli::addVersionCommand(app, &exitCode);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vantreel: %s\n", e.what());
        return kExitFailure;
    }
    if (app.get_subcommands().empty()) {
        std::fputs(app.help().c_str(), stdout);
    }
    return exitCode;
}
