#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <exception>

#include <CLI/CLI.hpp>

#include "base/Clock.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "cli/AgentCommand.hpp"
#include "cli/AppsCommand.hpp"
#include "cli/Context.hpp"
#include "cli/EndpointsCommand.hpp"
#include "cli/ExportCommand.hpp"
#include "cli/IgnoreCommands.hpp"
#include "cli/ListCommand.hpp"
#include "cli/ManagersCommand.hpp"
#include "cli/Output.hpp"
#include "cli/ScanCommand.hpp"
#include "cli/UpdateAllCommand.hpp"
#include "cli/SettingsCommand.hpp"
#include "cli/UpdateCommand.hpp"
#include "cli/SofaCommand.hpp"
#include "cli/VersionCommand.hpp"
#include "cli/DownloadCommand.hpp"
#include "cli/AdoptCommand.hpp"
#include "cli/WatchCommand.hpp"
#include "cli/WhyCommand.hpp"
#include "cli/RulesCommand.hpp"
#include "cli/UiCommand.hpp"

namespace {

int run(CLI::App& app, int argc, char** argv, const vt::cli::GlobalOptions& options, const int& exitCode);

// Lines always go to the log file; --verbose also streams them to standard error. Done
// before parsing so that every command's lines are kept.
void configureLogs(int argc, char** argv) {
    bool verbose = false;
    for (int i = 1; i < argc; ++i) verbose = verbose || std::strcmp(argv[i], "--verbose") == 0;
    vt::LogConfiguration configuration;
    std::string logFile = vt::paths::logFile();
    if (vt::paths::ensureFolder(logFile.substr(0, logFile.rfind('/')))) configuration.filePath = logFile;
    configuration.toStandardError = verbose;
    vt::configureLogging(configuration);
}

// VANTREEL_NOW (seconds since 1970) fixes the time the program reads: how the tests move a
// snooze or a deferral past its end without waiting for it.
void installClock() {
    std::optional<std::string> now = vt::paths::environmentValue("VANTREEL_NOW");
    if (!now) return;
    char* end = nullptr;
    const double seconds = std::strtod(now->c_str(), &end);
    if (end == now->c_str() || *end != '\0' || !(seconds > 0 && seconds < 1e11)) return;
    static vt::FakeClock clock(vt::Clock::TimePoint(std::chrono::duration_cast<vt::Clock::Duration>(
        std::chrono::duration<double>(seconds))));
    vt::Clock::setShared(&clock);
}

}  // namespace

int main(int argc, char** argv) {
    vt::cli::installOutputFilter();
    configureLogs(argc, argv);
    installClock();
    CLI::App app{"Van Treel: every pending update of this machine in one table", "vantreel"};
    app.set_version_flag("--version", std::string("vantreel ") + VT_PROGRAM_VERSION);
    app.require_subcommand(0, 1);
    app.fallthrough();
    vt::cli::GlobalOptions options;
    app.add_flag("--verbose", options.verbose, "Stream log lines to standard error");
    app.add_flag("--accept-terms", options.acceptTerms, "Accept what the program does, without asking");
    int exitCode = vt::cli::kExitSuccess;
    vt::cli::addScanCommand(app, &exitCode, &options);
    vt::cli::addListCommands(app, &exitCode);
    vt::cli::addAppsCommand(app, &exitCode, &options);
    vt::cli::addUpdateCommand(app, &exitCode, &options);
    vt::cli::addVersionCommand(app, &exitCode);
    vt::cli::addEndpointsCommand(app, &exitCode);
    vt::cli::addSettingsCommand(app, &exitCode);
    vt::cli::addManagersCommand(app, &exitCode);
    vt::cli::addSofaCommand(app, &exitCode);
    vt::cli::addIgnoreCommands(app, &exitCode);
    vt::cli::addAgentCommand(app, &exitCode);
    vt::cli::addDownloadCommand(app, &exitCode, &options);
    vt::cli::addAdoptCommand(app, &exitCode);
    vt::cli::addWatchCommand(app, &exitCode, &options);
    vt::cli::addUpdateAllCommand(app, &exitCode, &options);
    vt::cli::addAutomationCommands(app, &exitCode, &options);
    vt::cli::addRulesCommand(app, &exitCode);
    vt::cli::addExportCommand(app, &exitCode);
    vt::cli::addUiCommand(app, &exitCode, &options);
    app.add_flag("-i", options.interactive, "The full-screen view of the pending updates (as vantreel ui)");
    vt::cli::addWhyCommand(app, &exitCode);
    // How the background agent and the menu bar start us.
    app.add_flag("--background-scan", options.backgroundScan, "Scan as the background agent does, and notify new updates")
        ->group("");
    app.add_flag("--menubar-scan", options.menuBarScan, "Scan as the menu bar asks")->group("");

    // Commands that work on the inventory judge the previous exit and record their own.
    auto worksOnInventory = [](CLI::App* command) {
        const std::string& name = command->get_name();
        return name == "scan" || name == "list" || name == "apps" || name == "update" || name == "update-all" ||
               name == "check-updates" || name == "outdated-count" || name == "ui";
    };
    for (CLI::App* command : app.get_subcommands(worksOnInventory)) {
        bool readOnly = command->get_name() == "list" || command->get_name() == "apps" ||
                        command->get_name() == "outdated-count";
        command->preparse_callback([readOnly](std::size_t) { vt::cli::Context::shared().beginSession(!readOnly); });
    }
    int status = run(app, argc, argv, options, exitCode);
    vt::cli::Context::shared().endSession();
    return status;
}

namespace {

int run(CLI::App& app, int argc, char** argv, const vt::cli::GlobalOptions& options, const int& exitCode) {
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
        return vt::cli::kExitUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vantreel: %s\n", e.what());
        return vt::cli::kExitFailure;
    }
    if (app.get_subcommands().empty()) {
        vt::cli::Context::shared().beginSession();
        try {
            if (options.backgroundScan) return vt::cli::runBackgroundScan();
            if (options.menuBarScan) return vt::cli::runMenuBarScan(options);
            if (options.interactive) return vt::cli::runUi(options);
            return vt::cli::runLaunch(options);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "vantreel: %s\n", e.what());
            return vt::cli::kExitFailure;
        }
    }
    return exitCode;
}

}  // namespace
