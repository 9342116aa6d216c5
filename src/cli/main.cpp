#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/Clock.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "cli/AdoptCommand.hpp"
#include "cli/AgentCommand.hpp"
#include "cli/AppsCommand.hpp"
#include "cli/AutomationCommands.hpp"
#include "cli/CommandOptions.hpp"
#include "cli/Completions.hpp"
#include "cli/Consent.hpp"
#include "cli/Context.hpp"
#include "cli/DownloadCommand.hpp"
#include "cli/EndpointsCommand.hpp"
#include "cli/ExportCommand.hpp"
#include "cli/Help.hpp"
#include "cli/IgnoreCommands.hpp"
#include "cli/ListCommand.hpp"
#include "cli/ManagersCommand.hpp"
#include "cli/Output.hpp"
#include "cli/RulesCommand.hpp"
#include "cli/ScanCommand.hpp"
#include "cli/SettingsCommand.hpp"
#include "cli/Signals.hpp"
#include "cli/SofaCommand.hpp"
#include "cli/UiCommand.hpp"
#include "cli/UpdateAllCommand.hpp"
#include "cli/UpdateCommand.hpp"
#include "cli/VersionCommand.hpp"
#include "cli/WatchCommand.hpp"
#include "cli/WhyCommand.hpp"
#include "system/Endpoints.hpp"

namespace {

int run(CLI::App& app, int argc, char** argv, const vt::cli::GlobalOptions& options, const int& exitCode);

// Lines always go to the log file; --verbose also streams them to standard error. Done
// before parsing so that every command's lines are kept.
void configureLogs(int argc, char** argv) {
    bool verbose = false;
    for (int i = 1; i < argc; ++i) verbose = verbose || std::strcmp(argv[i], "--verbose") == 0;
    vt::LogConfiguration configuration;
    configuration.filePath = vt::paths::logFile();
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

void addGlobalOptions(CLI::App& app, vt::cli::GlobalOptions& options) {
    app.add_flag("--verbose", options.verbose, vt::localized("help.option.verbose"));
    app.add_flag("-q,--quiet", options.quiet, vt::localized("help.option.quiet"));
    static std::string color;
    app.add_option("--color", color, vt::localized("help.option.color"))
        ->type_name("WHEN")
        ->check(CLI::Validator(
            [](std::string& value) {
                const auto mode = vt::cli::colorModeNamed(value);
                if (!mode) return vt::localized("help.color_invalid", {value});
                vt::cli::setColorMode(*mode);
                return std::string();
            },
            ""));
    app.add_flag("--accept-terms", options.acceptTerms, vt::localized("help.option.accept_terms"));
    // How the background agent and the menu bar start us.
    app.add_flag("--background-scan", options.backgroundScan, "")->group("");
    app.add_flag("--menubar-scan", options.menuBarScan, "")->group("");
}

// `vantreel help [COMMAND...]`.
void addHelpCommand(CLI::App& app, int* exitCode) {
    auto words = std::make_shared<std::vector<std::string>>();
    auto* help = app.add_subcommand("help", vt::localized("help.help"));
    help->add_option("command", *words, vt::localized("help.option.help_command"))->type_name("COMMAND")->expected(0, 3);
    vt::cli::setExamples(*help, {"vantreel help", "vantreel help scan", "vantreel help version compare"});
    help->callback([&app, words, exitCode] {
        const CLI::App* command = vt::cli::commandAt(app, *words);
        if (command == nullptr) {
            std::string message = vt::localized("help.unknown_command", {words->back(), "vantreel"});
            const CLI::App* parent = vt::cli::commandAt(app, std::vector<std::string>(words->begin(), words->end() - 1));
            if (parent != nullptr) {
                if (auto closest = vt::cli::closestCommand(*parent, words->back())) {
                    message += " " + vt::localized("help.did_you_mean", {*closest});
                }
            }
            std::fprintf(stderr, "vantreel help: %s\n", message.c_str());
            *exitCode = vt::cli::kExitUsage;
            return;
        }
        std::fputs(app.get_formatter()->make_help(command, "", CLI::AppFormatMode::Normal).c_str(), stdout);
        *exitCode = vt::cli::kExitSuccess;
    });
}

// `vantreel completions bash|zsh|fish`.
void addCompletionsCommand(CLI::App& app, int* exitCode) {
    auto shell = std::make_shared<std::string>();
    auto* completions = app.add_subcommand("completions", vt::localized("help.completions"));
    completions->add_option("shell", *shell, vt::localized("help.option.shell"))->required()->type_name("bash|zsh|fish");
    vt::cli::setExamples(*completions, {"source <(vantreel completions bash)", "vantreel completions fish | source",
                                        "vantreel completions zsh > \"${fpath[1]}/_vantreel\""});
    completions->callback([&app, shell, exitCode] {
        std::optional<std::string> script = vt::cli::completionScript(app, *shell);
        if (!script) {
            std::fprintf(stderr, "vantreel completions: %s\n", vt::localized("help.shell_unknown", {*shell}).c_str());
            *exitCode = vt::cli::kExitUsage;
            return;
        }
        std::fputs(script->c_str(), stdout);
        *exitCode = vt::cli::kExitSuccess;
    });
}

using vt::cli::GlobalOptions;

// The commands, in the order help lists them, each row with the names it adds.
struct CommandRow {
    std::string_view names;  // separated by spaces
    void (*add)(CLI::App&, int*, const GlobalOptions*);
};

const CommandRow kCommandRows[] = {
    {"scan", [](CLI::App& app, int* code, const GlobalOptions* options) { vt::cli::addScanCommand(app, code, options); }},
    {"list activity", [](CLI::App& app, int* code, const GlobalOptions* options) { vt::cli::addListCommands(app, code, options); }},
    {"apps", [](CLI::App& app, int* code, const GlobalOptions* options) { vt::cli::addAppsCommand(app, code, options); }},
    {"update", [](CLI::App& app, int* code, const GlobalOptions* options) { vt::cli::addUpdateCommand(app, code, options); }},
    {"version", [](CLI::App& app, int* code, const GlobalOptions*) { vt::cli::addVersionCommand(app, code); }},
    {"endpoints", [](CLI::App& app, int* code, const GlobalOptions*) { vt::cli::addEndpointsCommand(app, code); }},
    {"settings", [](CLI::App& app, int* code, const GlobalOptions*) { vt::cli::addSettingsCommand(app, code); }},
    {"managers", [](CLI::App& app, int* code, const GlobalOptions*) { vt::cli::addManagersCommand(app, code); }},
    {"sofa", [](CLI::App& app, int* code, const GlobalOptions*) { vt::cli::addSofaCommand(app, code); }},
    {"ignore unignore skip snooze unsnooze ignored",
     [](CLI::App& app, int* code, const GlobalOptions*) { vt::cli::addIgnoreCommands(app, code); }},
    {"agent", [](CLI::App& app, int* code, const GlobalOptions*) { vt::cli::addAgentCommand(app, code); }},
    {"download", [](CLI::App& app, int* code, const GlobalOptions* options) { vt::cli::addDownloadCommand(app, code, options); }},
    {"adopt", [](CLI::App& app, int* code, const GlobalOptions*) { vt::cli::addAdoptCommand(app, code); }},
    {"watch", [](CLI::App& app, int* code, const GlobalOptions* options) { vt::cli::addWatchCommand(app, code, options); }},
    {"update-all", [](CLI::App& app, int* code, const GlobalOptions* options) { vt::cli::addUpdateAllCommand(app, code, options); }},
    {"check-updates outdated-count",
     [](CLI::App& app, int* code, const GlobalOptions* options) { vt::cli::addAutomationCommands(app, code, options); }},
    {"rules", [](CLI::App& app, int* code, const GlobalOptions*) { vt::cli::addRulesCommand(app, code); }},
    {"export", [](CLI::App& app, int* code, const GlobalOptions*) { vt::cli::addExportCommand(app, code); }},
    {"completions", [](CLI::App& app, int* code, const GlobalOptions*) { addCompletionsCommand(app, code); }},
    {"help", [](CLI::App& app, int* code, const GlobalOptions*) { addHelpCommand(app, code); }},
    {"ui", [](CLI::App& app, int* code, const GlobalOptions* options) { vt::cli::addUiCommand(app, code, options); }},
    {"why", [](CLI::App& app, int* code, const GlobalOptions*) { vt::cli::addWhyCommand(app, code); }},
};

bool rowNames(const CommandRow& row, std::string_view word) {
    for (std::string_view names = row.names; !names.empty();) {
        const std::size_t space = names.find(' ');
        if (names.substr(0, space) == word) return true;
        names = space == std::string_view::npos ? std::string_view() : names.substr(space + 1);
    }
    return false;
}

// "-h", "--help", or short flags given together with h among them ("-qh").
bool asksForHelp(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (argument == "--") return false;
        if (argument == "--help" || (argument.size() > 1 && argument[0] == '-' && argument[1] != '-' &&
                                     argument.find('h') != std::string::npos)) {
            return true;
        }
    }
    return false;
}

// Setting up every command's options costs more than a quick command's whole work, so a
// command given by name gets only its own row, and the program's own run (no command, as
// for --version) none. Help, completions and a mistyped command need every row: they list
// or search them.
void addCommands(CLI::App& app, int* exitCode, const GlobalOptions* options, int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const std::optional<std::string> word = vt::cli::commandWord(app, arguments);
    if (!word && !asksForHelp(arguments)) return;
    for (const CommandRow& row : kCommandRows) {
        if (word && rowNames(row, *word) && *word != "help" && *word != "completions") {
            row.add(app, exitCode, options);
            return;
        }
    }
    for (const CommandRow& row : kCommandRows) row.add(app, exitCode, options);
}

}  // namespace

int main(int argc, char** argv) {
    vt::cli::installOutputFilter();
    vt::setUnicodeOutput(vt::localeIsUtf8());
    const std::vector<std::string> moved = vt::paths::moveLegacyFiles();
    configureLogs(argc, argv);
    for (const std::string& move : moved) vt::Logger("Paths").info(vt::localized("log.paths.moved", {move}));
    installClock();
    CLI::App app{vt::localized("help.program"), "vantreel"};
    // Before any command is added: each takes the program's help flag and formatter.
    app.formatter(std::make_shared<vt::cli::HelpFormatter>());
    app.set_help_flag("-h,--help", vt::localized("help.option.help"));
    app.set_version_flag("-V,--version", std::string("vantreel ") + VT_PROGRAM_VERSION, vt::localized("help.option.version"));
    app.require_subcommand(0, 1);
    app.fallthrough();
    app.footer(vt::localized("help.exit_statuses"));
    vt::cli::GlobalOptions options;
    addGlobalOptions(app, options);
    app.add_flag("-i", options.interactive, vt::localized("help.option.interactive"));
    int exitCode = vt::cli::kExitSuccess;
    vt::cli::Context::shared().setHooks({.afterResultsSaved = vt::cli::exportAfterScan,
                                          .afterApplicationChecks = [] { vt::cli::refreshAdoptableApps(); },
                                          .heldBackRows = vt::cli::heldBackRows});
    addCommands(app, &exitCode, &options, argc, argv);
    // Commands that work on the inventory judge the previous exit and record their own.
    auto worksOnInventory = [](CLI::App* command) {
        const std::string& name = command->get_name();
        return name == "scan" || name == "list" || name == "apps" || name == "update" || name == "update-all" ||
               name == "check-updates" || name == "outdated-count" || name == "ui";
    };
    // The updating commands mark their run once the user agreed to the change: a dry run or
    // a refusal leaves no trace.
    for (CLI::App* command : app.get_subcommands(worksOnInventory)) {
        const std::string& name = command->get_name();
        const bool marksAtOnce = name == "scan" || name == "check-updates" || name == "ui";
        command->preparse_callback([marksAtOnce](std::size_t) { vt::cli::Context::shared().beginSession(marksAtOnce); });
    }
    int status = run(app, argc, argv, options, exitCode);
    if (status == vt::cli::kExitInterrupted) status = vt::cli::stoppedExitStatus();
    // Results shown but not kept: the next command would not see them. Said last, where it is
    // read, and an error whatever the scan found.
    const std::vector<std::string>& notSaved = vt::cli::Context::shared().resultsNotSaved();
    for (const std::string& failure : notSaved) std::fprintf(stderr, "vantreel: %s\n", failure.c_str());
    if (!notSaved.empty()) {
        std::fprintf(stderr, "vantreel: %s\n", vt::localized("scan.results_not_saved").c_str());
        if (status == vt::cli::kExitSuccess || (status >= vt::cli::kExitSourceFailed && status < 128)) {
            status = vt::cli::kExitFailure;
        }
    }
    vt::cli::Context::shared().endSession();
    return status;
}

namespace {

// The command the parser was in when it stopped: the deepest one it had entered.
const CLI::App& parsedCommand(const CLI::App& app) {
    const CLI::App* command = &app;
    while (!command->get_subcommands().empty()) command = command->get_subcommands().front();
    return *command;
}

// The parser's own message, in the user's language where we know its form; a missing
// argument by the name its help shows ("ID").
std::string usageMessage(const CLI::ParseError& error, const CLI::App& command) {
    const std::string text = error.what();
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
        return vt::localized("help.unexpected", {text.substr(text.find(": ") == std::string::npos ? 0 : text.find(": ") + 2)});
    }
    if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr && text.size() > 12 &&
        text.compare(text.size() - 12, 12, " is required") == 0) {
        std::string name = text.substr(0, text.size() - 12);
        if (const CLI::Option* option = command.get_option_no_throw(name);
            option != nullptr && option->get_positional() && !option->get_type_name().empty()) {
            name = option->get_type_name();
        }
        return vt::localized("help.required", {name});
    }
    return text;
}

// Help and the program's own version are given whatever the environment says.
bool asksOnlyForHelp(const CLI::App& app, const std::vector<std::string>& arguments) {
    if (asksForHelp(arguments)) return true;
    for (const std::string& argument : arguments) {
        if (argument == "--") break;
        if (argument == "--version" || argument == "-V") return true;
    }
    const std::optional<std::string> command = vt::cli::commandWord(app, arguments);
    return command && (*command == "help" || *command == "completions" || *command == "version");
}

int run(CLI::App& app, int argc, char** argv, const vt::cli::GlobalOptions& options, const int& exitCode) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (std::optional<std::string> unknown = vt::cli::unknownCommandMessage(app, arguments)) {
        std::fprintf(stderr, "vantreel: %s\n", unknown->c_str());
        return vt::cli::kExitUsage;
    }
    // An address override that cannot be used is refused before anything is asked of anyone:
    // ignored, its service would be reached at the address the user meant to avoid.
    if (!asksOnlyForHelp(app, arguments)) {
        const std::vector<std::string> problems = vt::Endpoints::overrideProblems();
        for (const std::string& problem : problems) std::fprintf(stderr, "vantreel: %s\n", problem.c_str());
        if (!problems.empty()) return vt::cli::kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return vt::cli::kExitSuccess;
    } catch (const CLI::CallForAllHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return vt::cli::kExitSuccess;
    } catch (const CLI::CallForVersion& e) {
        std::printf("%s\n", e.what());
        return vt::cli::kExitSuccess;
    } catch (const CLI::ParseError& e) {
        // Said by the command that was given, with its own help to read.
        const CLI::App& command = parsedCommand(app);
        const std::string words = vt::cli::relativePath(command);
        std::fprintf(stderr, "%s: %s\n%s\n", vt::cli::commandPath(command).c_str(), usageMessage(e, command).c_str(),
                     vt::localized("help.see_help", {words.empty() ? "vantreel help" : "vantreel help " + words}).c_str());
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
