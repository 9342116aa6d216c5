// Upgrading one formula or cask: streamed phases, the repairs, the version re-read.
#include "managers/homebrew/BrewManager.hpp"

#include <algorithm>
#include <filesystem>

#include <pwd.h>
#include <unistd.h>

#include "base/Platform.hpp"
#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "managers/homebrew/GhostCaskError.hpp"
#include "model/VersionRules.hpp"
#include "system/AuthorizationHelper.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("BrewManager");
    return instance;
}

// A line longer than this without an end is handed on as it is, so that output without
// line breaks cannot grow the buffer without bound.
constexpr std::size_t kMaxPendingLine = 64 * 1024;

bool containsAny(std::string_view text, std::initializer_list<std::string_view> parts) {
    return std::any_of(parts.begin(), parts.end(), [&](std::string_view part) { return contains(text, part); });
}

std::string lowerTail(const std::string& output) {
    std::string_view text = output;
    if (text.size() > BrewErrorClassifier::kMaxClassifiedBytes) {
        text = text.substr(text.size() - BrewErrorClassifier::kMaxClassifiedBytes);
    }
    return toLower(text);
}

std::vector<std::string> upgradeArguments(bool isCask, const std::string& name) {
    return {"upgrade", isCask ? "--cask" : "--formula", name};
}

std::string commandNameOf(const Package& package) {
    if (package.tap && !package.tap->empty() && package.name.find('/') == std::string::npos) {
        return *package.tap + "/" + package.name;
    }
    return package.name;
}

bool isStrictlyInside(const std::filesystem::path& candidate, const std::string& root) {
    std::filesystem::path relative = candidate.lexically_relative(std::filesystem::path(root).lexically_normal());
    if (relative.empty() || relative == ".") return false;
    return *relative.begin() != "..";
}

// The update went through when the version brew now reports is the one we aimed at.
bool reachedTarget(const std::string& installed, const std::optional<std::string>& target) {
    if (!target || target->empty() || *target == kUpdateAvailableSentinel || installed.empty()) return false;
    return installed == *target || compareVersions(installed, *target) != VersionOrder::Ascending;
}

// A line of the output saying that the item itself (not a dependency) is already installed:
// "Warning: foo 1.0 already installed", "Error: foo 1.0 is already installed".
bool namesAlreadyInstalled(std::string_view output, std::initializer_list<std::string_view> names) {
    for (std::string_view line : splitLines(output)) {
        if (!contains(toLower(line), "already installed")) continue;
        for (std::string_view word : split(line, ' ')) {
            std::string_view token = trimView(word);
            while (!token.empty() && (token.back() == ':' || token.back() == ',')) token.remove_suffix(1);
            for (std::string_view name : names) {
                if (!name.empty() && token == name) return true;
            }
        }
    }
    return false;
}

std::string currentUserName() {
    if (const passwd* entry = ::getpwuid(::geteuid()); entry != nullptr && entry->pw_name != nullptr) {
        return entry->pw_name;
    }
    return {};
}

}  // namespace

// Turns streamed output into phase changes, one call of the handler per change.
class BrewManager::PhaseTracker {
public:
    explicit PhaseTracker(const ProgressHandler& handler) : handler_(handler) {}

    void feed(std::string_view chunk, int stream) {
        std::string& pending = pending_[stream];
        for (char c : chunk) {
            // curl redraws its progress bar with carriage returns.
            if (c == '\n' || c == '\r') {
                line(pending);
                pending.clear();
            } else {
                pending += c;
                if (pending.size() >= kMaxPendingLine) {
                    line(pending);
                    pending.clear();
                }
            }
        }
    }

    void flush() {
        for (std::string& pending : pending_) {
            if (!pending.empty()) line(pending);
            pending.clear();
        }
    }

    void finish() {
        flush();
        move(BrewUpgradePhase::Done, "");
    }

private:
    void line(std::string_view text) {
        if (std::optional<BrewUpgradePhase> phase = phaseForLine(text)) move(*phase, text);
    }

    void move(BrewUpgradePhase phase, std::string_view text) {
        if (current_ == phase) return;
        current_ = phase;
        if (handler_) handler_(UpgradeProgress{phase, localized(phaseKey(phase)), trim(text)});
    }

    const ProgressHandler& handler_;
    std::string pending_[2];
    std::optional<BrewUpgradePhase> current_;
};

std::string_view BrewManager::phaseKey(BrewUpgradePhase phase) {
    switch (phase) {
        case BrewUpgradePhase::Downloading: return "brew.phase.downloading";
        case BrewUpgradePhase::Verifying: return "brew.phase.verifying";
        case BrewUpgradePhase::Installing: return "brew.phase.installing";
        case BrewUpgradePhase::Linking: return "brew.phase.linking";
        case BrewUpgradePhase::Waiting: return "brew.phase.waiting";
        case BrewUpgradePhase::Done: return "brew.phase.done";
    }
    return "brew.phase.installing";
}

std::optional<BrewUpgradePhase> BrewManager::phaseForLine(std::string_view line) {
    const std::string text = toLower(trimView(line.substr(0, 512)));
    if (text.empty()) return std::nullopt;
    if (contains(text, "was successfully")) return BrewUpgradePhase::Done;
    if (containsAny(text, {"already downloaded", "==> downloading", "==> fetching", "###"})) {
        return BrewUpgradePhase::Downloading;
    }
    if (containsAny(text, {"==> verifying", "verifying attestation", "checksum"})) return BrewUpgradePhase::Verifying;
    if (containsAny(text, {"==> linking", "==> symlinking", "linking binary", "symlink"})) {
        return BrewUpgradePhase::Linking;
    }
    if (containsAny(text, {"waiting for", "==> waiting", "has already locked"})) return BrewUpgradePhase::Waiting;
    if (startsWith(text, "==> ")) return BrewUpgradePhase::Installing;
    return std::nullopt;
}

void BrewManager::upgrade(const Package& package, const ProgressHandler& onProgress, std::stop_token stop) {
    const bool isCask = package.type == PackageType::BrewCask;
    if (!isCask && package.type != PackageType::BrewFormula) {
        throw std::invalid_argument("Homebrew does not update " + std::string(rawValue(package.type)) + " packages");
    }
    if (runningAsRoot()) throw BrewErrorClassifier::rootRefusal(package.name, isCask);

    {
        std::scoped_lock lock(brewMutex_);
        ++upgradesRunning_;
    }
    struct EndUpgrade {
        BrewManager& self;
        ~EndUpgrade() {
            std::scoped_lock lock(self.brewMutex_);
            --self.upgradesRunning_;
        }
    } end{*this};

    PhaseTracker tracker(onProgress);
    runUpgrade(package, tracker, stop);
}

std::string BrewManager::qualifiedName(const std::string& name, bool isCask) const {
    if (name.find('/') != std::string::npos) return name;
    return (isCask ? "homebrew/cask/" : "homebrew/core/") + name;
}

void BrewManager::runUpgrade(const Package& package, PhaseTracker& tracker, std::stop_token stop) {
    const bool isCask = package.type == PackageType::BrewCask;
    const std::string name = commandNameOf(package);
    const double timeout = isCask ? kSingleCaskUpgradeTimeout : kSinglePackageUpgradeTimeout;

    Attempt attempt = runUpgradeCommand(upgradeArguments(isCask, name), timeout, tracker, stop);
    std::set<Repair> tried;
    bool saysAlreadyInstalled = false;
    while (!attempt.succeeded) {
        std::optional<Repair> repair = nextRepair(attempt.output, tried, isCask, name, qualifiedName(name, isCask));
        if (!repair) break;
        tried.insert(*repair);
        if (*repair == Repair::AlreadyInstalled) {
            // Only about the item itself, and only once the installed version agrees (below);
            // "already installed" about a dependency says nothing of the target.
            saysAlreadyInstalled = namesAlreadyInstalled(attempt.output, {package.name, name});
            if (saysAlreadyInstalled) break;
            continue;
        }
        if (std::optional<Attempt> repaired = applyRepair(*repair, package, name, attempt.output, tracker, stop)) {
            attempt = std::move(*repaired);
        }
    }
    // What is installed changed, or may have: the runner's listings of brew are stale.
    invalidateListings();
    if (attempt.succeeded) {
        tracker.finish();
        return;
    }
    ParsedBrewError error =
        withOwnershipFix(BrewErrorClassifier::classify(attempt.output, package.name, isCask), attempt.output);
    if (std::optional<std::string> version = installedVersion(package, stop);
        version && reachedTarget(*version, package.latestVersion)) {
        if (saysAlreadyInstalled) {
            logger().info(localized("log.brew.already_installed", {package.name}));
        } else {
            logger().info(localized("log.brew.error_but_current", {package.name}));
            logger().info(localized("log.brew.done_despite_error"));
        }
        tracker.finish();
        return;
    }
    logger().warning(localized("log.brew.upgrade_failed", {package.name, error.userMessage()}));
    throw error;
}

BrewManager::Attempt BrewManager::runUpgradeCommand(std::vector<std::string> arguments, double timeout,
                                                    PhaseTracker& tracker, std::stop_token stop) {
    CommandRequest request = brewRequest(std::move(arguments), timeout);
    // The output decides what to repair, so a failing run must still hand it over.
    request.allowNonZeroExit = true;
    ShellCommandResult result = runStreaming(
        request, [&tracker](std::string_view chunk) { tracker.feed(chunk, 0); },
        [&tracker](std::string_view chunk) { tracker.feed(chunk, 1); }, stop);
    tracker.flush();
    return Attempt{result.exitCode == 0, result.standardOutput + "\n" + result.standardError};
}

std::optional<BrewManager::Repair> BrewManager::nextRepair(const std::string& output, const std::set<Repair>& tried,
                                                           bool isCask, const std::string& name,
                                                           const std::string& qualifiedName) const {
    const std::string text = lowerTail(output);
    const std::pair<Repair, bool> candidates[] = {
        {Repair::AlreadyInstalled, contains(text, "already installed")},
        {Repair::Reinstall, isCask && contains(text, "it seems the app source")},
        {Repair::Force, isCask && contains(text, "it seems there is already")},
        {Repair::FullyQualified, contains(text, "is not installed") && qualifiedName != name},
        {Repair::ChecksumCache,
         containsAny(text, {"sha-256 mismatch", "sha256 mismatch", "cask reports different checksum"})},
        {Repair::Link, containsAny(text, {"the `brew link` step did not complete", "could not symlink"})},
        {Repair::Unlink, contains(text, "conflicting formulae are installed")},
    };
    for (const auto& [repair, applies] : candidates) {
        if (applies && tried.count(repair) == 0) return repair;
    }
    return std::nullopt;
}

std::optional<BrewManager::Attempt> BrewManager::applyRepair(Repair repair, const Package& package,
                                                             const std::string& name, const std::string& output,
                                                             PhaseTracker& tracker, std::stop_token stop) {
    const bool isCask = package.type == PackageType::BrewCask;
    const double timeout = isCask ? kSingleCaskUpgradeTimeout : kSinglePackageUpgradeTimeout;
    try {
        switch (repair) {
            case Repair::AlreadyInstalled: return std::nullopt;
            case Repair::Reinstall:
                logger().info(localized("log.brew.repair_reinstall", {name}));
                return runUpgradeCommand({"reinstall", "--cask", name}, kSingleCaskUpgradeTimeout, tracker, stop);
            case Repair::Force:
                logger().info(localized("log.brew.retry_force", {name}));
                return runUpgradeCommand({"upgrade", "--cask", "--force", name}, kSingleCaskUpgradeTimeout, tracker,
                                         stop);
            case Repair::FullyQualified: {
                const std::string qualified = qualifiedName(name, isCask);
                logger().info(localized("log.brew.retry_qualified", {name, qualified}));
                Attempt attempt = runUpgradeCommand(upgradeArguments(isCask, qualified), timeout, tracker, stop);
                if (!attempt.succeeded && isCask && contains(lowerTail(attempt.output), "is not installed")) {
                    throw GhostCaskError(package.name);
                }
                return attempt;
            }
            case Repair::ChecksumCache: return repairChecksumCache(name, output, isCask, tracker, stop);
            case Repair::Link: {
                logger().info(localized("log.brew.repair_link", {name}));
                ShellCommandResult result = runBrew({"link", "--overwrite", name}, kLinkTimeout, stop, true);
                return Attempt{result.exitCode == 0, result.standardOutput + "\n" + result.standardError};
            }
            case Repair::Unlink: return repairConflicts(name, output, tracker, stop);
        }
    } catch (const CommandError& error) {
        // The repair itself failed (timed out, brew vanished): report the original failure.
        logger().warning(localized("log.brew.repair_failed", {name, error.description()}));
    }
    return std::nullopt;
}

bool BrewManager::isInsideDownloadCache(const std::string& path) const {
    std::filesystem::path candidate(path);
    if (!candidate.is_absolute()) return false;
    candidate = candidate.lexically_normal();
    const std::string home = options_.home.value_or(paths::home());
    std::vector<std::string> roots = {home + "/Library/Caches/Homebrew/downloads"};
    // Homebrew on Linux keeps its downloads under the XDG cache folder.
    if (options_.isLinux.value_or(kBuiltForLinux)) roots.push_back(home + "/.cache/Homebrew/downloads");
    return std::any_of(roots.begin(), roots.end(), [&](const std::string& root) { return isStrictlyInside(candidate, root); });
}

std::optional<BrewManager::Attempt> BrewManager::repairChecksumCache(const std::string& name, const std::string& output,
                                                                     bool isCask, PhaseTracker& tracker,
                                                                     std::stop_token stop) {
    std::optional<std::string> path = BrewErrorClassifier::checksumCachePath(output);
    if (!path) {
        logger().warning(localized("log.brew.checksum_no_download", {name}));
        return std::nullopt;
    }
    if (!isInsideDownloadCache(*path)) {
        logger().warning(localized("log.brew.checksum_outside_cache", {*path}));
        return std::nullopt;
    }
    try {
        options_.removeItem(*path);
    } catch (const std::exception& error) {
        logger().warning(localized("log.cannot_remove", {*path, error.what()}));
        return std::nullopt;
    }
    logger().info(localized("log.brew.retry_after_cache", {name}));
    const double timeout = isCask ? kSingleCaskUpgradeTimeout : kSinglePackageUpgradeTimeout;
    return runUpgradeCommand(upgradeArguments(isCask, name), timeout, tracker, stop);
}

std::optional<BrewManager::Attempt> BrewManager::repairConflicts(const std::string& name, const std::string& output,
                                                                 PhaseTracker& tracker, std::stop_token stop) {
    std::vector<std::string> unlinked;
    for (const std::string& conflict : BrewErrorClassifier::conflictingNames(output)) {
        if (conflict == name || conflict.empty() || startsWith(conflict, "-")) continue;
        ShellCommandResult result = runBrew({"unlink", conflict}, kLinkTimeout, stop, true);
        if (result.exitCode != 0) {
            logger().warning(localized("log.brew.unlink_failed", {conflict, trim(result.standardError)}));
            continue;
        }
        logger().info(localized("log.brew.unlinked", {conflict}));
        unlinked.push_back(conflict);
    }
    if (unlinked.empty()) return std::nullopt;

    logger().info(localized("log.brew.retry_after_unlink", {name}));
    std::optional<Attempt> attempt;
    std::exception_ptr failure;
    try {
        attempt = runUpgradeCommand(upgradeArguments(false, name), kSinglePackageUpgradeTimeout, tracker, stop);
    } catch (...) {
        failure = std::current_exception();
    }
    // Put the other formulae back even when the retry was cancelled: a fresh token.
    for (const std::string& conflict : unlinked) {
        try {
            ShellCommandResult result = runBrew({"link", conflict}, kLinkTimeout, {}, true);
            if (result.exitCode != 0)
                logger().warning(localized("log.brew.relink_failed", {conflict, trim(result.standardError)}));
        } catch (const std::exception& error) {
            logger().warning(localized("log.brew.relink_failed", {conflict, error.what()}));
        }
    }
    if (failure) std::rethrow_exception(failure);
    return attempt;
}

std::optional<std::string> BrewManager::ownershipFixCommand(const std::string& reportedPath) const {
    // Nothing brew prints is acted on as root: the folder is resolved here, checked, and
    // only named in a command the user runs in a terminal, where it can be read first.
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::canonical(reportedPath, error);
    if (error || !std::filesystem::path(reportedPath).is_absolute()) return std::nullopt;
    const bool isLinux = options_.isLinux.value_or(kBuiltForLinux);
    for (const std::string& prefix : prefixCandidates()) {
        // The macOS prefixes are system folders on Linux, whatever brew says about them.
        if (isLinux && (prefix == "/opt/homebrew" || prefix == "/usr/local")) continue;
        const std::filesystem::path root = std::filesystem::canonical(prefix, error);
        if (error || !isStrictlyInside(resolved, root.string())) continue;
        const std::string user = options_.userName.value_or(currentUserName());
        if (user.empty()) return std::nullopt;
        return "sudo chown -R " + AuthorizationHelper::singleQuoted(user) + " " + AuthorizationHelper::singleQuoted(resolved.string());
    }
    return std::nullopt;
}

ParsedBrewError BrewManager::withOwnershipFix(ParsedBrewError error, const std::string& output) const {
    if (error.kind() != BrewErrorType::Kind::PermissionDenied) return error;
    std::optional<std::string> path = BrewErrorClassifier::permissionPath(output);
    std::optional<std::string> command = path ? ownershipFixCommand(*path) : std::nullopt;
    if (!command) {
        if (path) logger().warning(localized("log.brew.outside_prefix", {*path}));
        return error;
    }
    return ParsedBrewError(error.type(), localized("brew.error.permission.fix_message", {*command}),
                           localized("brew.error.permission.fix_suggestion"), command, true);
}

std::optional<std::string> BrewManager::installedVersion(const Package& package, std::stop_token stop) {
    const bool isCask = package.type == PackageType::BrewCask;
    try {
        ShellCommandResult result =
            runBrew({"info", "--json=v2", isCask ? "--cask" : "--formula", commandNameOf(package)}, kInfoTimeout, stop);
        std::optional<Json> json = parseJson(result.standardOutput);
        const char* section = isCask ? "casks" : "formulae";
        if (!json || !json->is_object() || !json->contains(section) || !(*json)[section].is_array() ||
            (*json)[section].empty()) {
            return std::nullopt;
        }
        const Json& entry = (*json)[section][0];
        if (!entry.is_object()) return std::nullopt;
        if (isCask) return stringField(entry, "installed");
        if (std::optional<std::string> linked = stringField(entry, "linked_keg")) return linked;
        auto installed = entry.find("installed");
        if (installed == entry.end() || !installed->is_array() || installed->empty()) return std::nullopt;
        const Json& newest = installed->back();
        return newest.is_object() ? stringField(newest, "version") : std::nullopt;
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        logger().debug(localized("log.installed_version_unreadable", {package.name, error.what()}));
        return std::nullopt;
    }
}

}  // namespace vt
