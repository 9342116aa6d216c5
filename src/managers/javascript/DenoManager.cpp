#include "managers/javascript/DenoManager.hpp"

#include <filesystem>

#include "base/Cancellation.hpp"
#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "managers/ExecutableLocator.hpp"
#include "model/VersionRules.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("DenoManager");
    return instance;
}

// Deno colours its upgrade messages even when NO_COLOR is set and nothing is a terminal.
std::string withoutColour(std::string_view text) {
    static const Regex escape(R"(\x1b\[[0-9;]*[A-Za-z])");
    return escape.replaceAll(text, "");
}

}  // namespace

const SourceRow& DenoManager::source() {
    static const SourceRow row{.id = "deno", .name = "Deno", .executables = {"deno"},
                               .types = {PackageType::DenoPackage}, .toggle = ManagerToggleKey::ShowDeno,
                               .folders = {"~/.deno/bin/"}, .completionLine = "Deno",
                               .logTag = "deno", .make = makeAdapter<DenoManager>};
    return row;
}

DenoManager::DenoManager(CommandRunning& runner, const FileSystemManager& files)
    : DenoManager(runner, files, Options{}) {}

DenoManager::DenoManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : BaseManager(source(), runner, files), options_(std::move(options)) {
    if (options_.denoInstallRoot) {
        denoInstallRoot_ = *options_.denoInstallRoot;
    } else if (auto set = paths::environmentValue("DENO_INSTALL_ROOT")) {
        denoInstallRoot_ = *set;
    } else {
        denoInstallRoot_ = options_.home.value_or(paths::home()) + "/.deno";
    }
    if (!options_.brewCandidates) {
        options_.brewCandidates = {"/opt/homebrew/bin/brew", "/usr/local/bin/brew",
                                   "/home/linuxbrew/.linuxbrew/bin/brew"};
    }
    if (!options_.invalidateListings) {
        options_.invalidateListings = [&runner](std::string_view tool) { runner.invalidateCache(tool); };
    }
}

std::optional<std::string> DenoManager::locateExecutable(std::stop_token stop) {
    return locateInOwnFolder(denoInstallRoot_, stop, options_.home.value_or(paths::home()));
}

std::map<std::string, std::string> DenoManager::environment() const {
    return ownFolderEnvironment("DENO_INSTALL_ROOT", denoInstallRoot_, options_.environment);
}

ShellCommandResult DenoManager::runTool(const std::string& executable, std::vector<std::string> arguments,
                                        double timeout, std::stop_token stop, bool withDenoEnvironment) {
    CommandRequest request;
    request.command = executable;
    request.arguments = std::move(arguments);
    request.timeout = timeout;
    if (withDenoEnvironment) request.environment = environment();
    request.allowNonZeroExit = true;
    return run(request, stop);
}

void DenoManager::invalidateListings(std::string_view tool) {
    if (options_.invalidateListings) options_.invalidateListings(tool);
}

// ---- Parsers -------------------------------------------------------------------------

std::optional<std::string> DenoManager::parseVersion(std::string_view text) {
    static const Regex pattern(R"(^deno\s+v?(\d+(?:\.\d+)+\S*))", Regex::Options{.multiline = true});
    const std::string plain = withoutColour(text);
    std::optional<Regex::Match> match = pattern.search(plain);
    if (!match || !match->groups[0]) return std::nullopt;
    return std::string(*match->groups[0]);
}

DenoManager::UpgradeCheck DenoManager::parseUpgradeCheck(std::string_view output) {
    // Deno 1 says "Found latest version 1.46.3", Deno 2 "Found latest stable version v2.1.4".
    static const Regex latest(R"(latest (?:[a-z]+ )?version\s+v?(\d+(?:\.\d+)+))",
                              Regex::Options{.caseInsensitive = true});
    static const Regex current(R"(Local deno version\s+v?\S+\s+is the most recent release)");
    static const Regex failure(R"(^\s*error:\s*(.+)$)", Regex::Options{.multiline = true});
    const std::string text = withoutColour(output);
    UpgradeCheck check;
    check.builtWithoutUpgrade = contains(text, "built without the \"upgrade\" feature");
    if (auto match = latest.search(text); match && match->groups[0])
        check.latestVersion = std::string(*match->groups[0]);
    check.isCurrent = current.matches(text);
    if (auto match = failure.search(text); match && match->groups[0]) check.error = excerpt(*match->groups[0]);
    return check;
}

std::optional<std::string> DenoManager::parseBrewStableVersion(std::string_view text) {
    std::optional<Json> json = parseJson(text);
    if (!json || !json->is_object()) return std::nullopt;
    auto formulae = json->find("formulae");
    if (formulae == json->end() || !formulae->is_array() || formulae->empty()) return std::nullopt;
    const Json& first = formulae->front();
    auto versions = first.is_object() ? first.find("versions") : first.end();
    if (!first.is_object() || versions == first.end() || !versions->is_object()) return std::nullopt;
    std::optional<std::string> stable = stringField(*versions, "stable");
    if (!stable || trim(*stable).empty()) return std::nullopt;
    return trim(*stable);
}

std::string DenoManager::selfUpgradeUnavailableText() {
    return localized("error.deno.self_upgrade_unavailable");
}

// ---- Homebrew ------------------------------------------------------------------------

std::optional<std::string> DenoManager::owningBrew(std::stop_token stop) {
    // Only the deno in use matters: a Homebrew deno beside the installer's one is not what
    // the user runs, and upgrading it would leave theirs as it was.
    const std::string deno = binaryPath();
    if (deno.empty()) return std::nullopt;
    std::error_code error;
    std::string resolved = std::filesystem::weakly_canonical(deno, error).string();
    if (error) resolved = deno;
    for (const std::string& brew : *options_.brewCandidates) {
        if (!files_.isExecutableFile(brew) || !endsWith(brew, "/bin/brew")) continue;
        const std::string prefix = brew.substr(0, brew.size() - std::string_view("bin/brew").size());
        if (!startsWith(deno, prefix) && !startsWith(resolved, prefix)) continue;
        try {
            ShellCommandResult result = runTool(brew, {"list", "--formula", "deno"}, kBrewQueryTimeout, stop, false);
            if (result.exitCode == 0) return brew;
        } catch (const CancellationError&) {
            throw;
        } catch (const std::exception& error) {
            if (stop.stop_requested()) throw CancellationError();
            logger().debug(localized("log.command_error", {"brew list --formula deno", error.what()}));
        }
        return std::nullopt;  // the first brew found is the one that would own it
    }
    return std::nullopt;
}

// ---- Listing and detection -----------------------------------------------------------

std::optional<std::string> DenoManager::installedVersion(std::stop_token stop) {
    ShellCommandResult result = runTool(binaryPath(), {"--version"}, kVersionTimeout, stop, true);
    if (result.exitCode != 0) {
        throw CommandError::executionFailed(result.exitCode, excerpt(result.standardError));
    }
    return parseVersion(result.standardOutput);
}

std::vector<Package> DenoManager::listInstalled(std::stop_token stop) {
    LoadingScope loading(*this);
    auto fail = [this](const std::string& message) {
        logger().error(localized("log.manager.scan_failed", {"Deno", message}));
        return publishEmptyListing(message);
    };
    if (!discover(stop)) return fail("Deno not found");
    std::optional<std::string> version;
    auto readVersion = [&] { version = installedVersion(stop); };
    if (auto failure = failureOf(readVersion, stop)) return fail(*failure);
    if (!version) return fail("deno --version printed no version");
    std::vector<Package> packages{Package{.name = kPackageName,
                                          .version = *version,
                                          .type = PackageType::DenoPackage,
                                          .installLocationOverride = binaryPath()}};
    logger().info(localized("log.manager.scan_complete", {"Deno", "1"}));
    setErrorMessage(std::nullopt);
    publishPackages(packages);
    return packages;
}

std::vector<Package> DenoManager::checkOutdated(std::stop_token stop) {
    LoadingScope loading(*this);
    auto fail = [this](const std::string& message) {
        logger().error(localized("log.check_failed", {"Deno", message}));
        return nothingFound(message);
    };
    if (!discover(stop)) return fail("Deno not found");
    std::optional<std::string> latest;
    try {
        std::vector<Package> listed = packages();
        if (listed.empty()) listed = listInstalled(stop);
        if (listed.empty()) return fail(errorMessage().value_or("Deno not found"));
        Package deno = listed.front();

        if (std::optional<std::string> brew = owningBrew(stop)) {
            ShellCommandResult result = runTool(*brew, {"info", "--json=v2", "deno"}, kBrewQueryTimeout, stop, false);
            latest = parseBrewStableVersion(result.standardOutput);
            if (!latest) return fail("brew info --json=v2 deno: no stable version");
        } else {
            ShellCommandResult result =
                runTool(binaryPath(), {"upgrade", "--dry-run"}, kUpgradeCheckTimeout, stop, true);
            UpgradeCheck check = parseUpgradeCheck(result.standardOutput + "\n" + result.standardError);
            if (check.builtWithoutUpgrade) return fail(selfUpgradeUnavailableText());
            // A dry run that found the release but could not fetch it still says which it is.
            if (check.isCurrent) latest = deno.version;
            if (check.latestVersion) latest = check.latestVersion;
            if (!latest) {
                return fail("deno upgrade --dry-run failed: " +
                            check.error.value_or(excerpt(withoutColour(result.standardError + result.standardOutput))));
            }
        }
        logger().info(localized("log.manager.updates_checked", {"Deno"}));
        setErrorMessage(std::nullopt);
        if (!isUpdateAvailable(deno.version, *latest, false)) return {};
        deno.latestVersion = latest;
        return {deno};
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        if (stop.stop_requested()) throw CancellationError();
        return fail(error.what());
    }
}

// ---- Update --------------------------------------------------------------------------

void DenoManager::update(const Package&, std::stop_token stop) {
    if (!discover(stop)) throw CommandError::invalidCommand("deno");
    if (std::optional<std::string> brew = owningBrew(stop)) {
        ShellCommandResult result;
        try {
            result = runTool(*brew, {"upgrade", "deno"}, kUpgradeTimeout, stop, false);
        } catch (...) {
            invalidateListings("brew");
            throw;
        }
        invalidateListings("brew");
        if (result.exitCode != 0) {
            throw CommandError::executionFailed(result.exitCode, trim(result.standardError + result.standardOutput));
        }
        return;
    }
    ShellCommandResult result = runTool(binaryPath(), {"upgrade"}, kUpgradeTimeout, stop, true);
    UpgradeCheck check = parseUpgradeCheck(result.standardOutput + "\n" + result.standardError);
    if (check.builtWithoutUpgrade) {
        // Only the tool that installed this Deno knows the command.
        throw PackageManualUpdateRequiredError(kPackageName, "", selfUpgradeUnavailableText());
    }
    if (result.exitCode != 0) {
        throw CommandError::executionFailed(
            result.exitCode, check.error.value_or(trim(withoutColour(result.standardError + result.standardOutput))));
    }
}

}  // namespace vt
