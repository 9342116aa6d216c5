#include "managers/homebrew/BrewManager.hpp"

#include <algorithm>
#include <filesystem>

#include <pwd.h>
#include <unistd.h>

#include "base/Platform.hpp"
#include "base/Cancellation.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "model/VersionRules.hpp"
#include "system/BrewAPIClient.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"
#include "system/NetworkClient.hpp"

namespace vt {

namespace {

constexpr const char* kEnv = "/usr/bin/env";

// The newest of the versions, by the shared version rules.
std::string newestVersion(const std::vector<std::string>& versions) {
    std::string newest;
    for (const std::string& version : versions) {
        if (newest.empty() || compareVersions(newest, version) == VersionOrder::Ascending) newest = version;
    }
    return newest;
}

}  // namespace

const SourceRow& BrewManager::source() {
    // One adapter for both kinds: one `brew outdated` answers for formulae and casks alike.
    static const SourceRow row{.id = "homebrew", .name = "Homebrew", .executables = {"brew"},
                               .types = {PackageType::BrewFormula, PackageType::BrewCask},
                               .toggle = ManagerToggleKey::ShowHomebrew, .isCore = true,
                               .completionLine = "Inventaire Brew terminé: ", .logTag = "brew",
                               .kindToggles = {{PackageType::BrewCask, ManagerToggleKey::ShowCasks, "casks", "Homebrew Casks"}},
                               .make = makeAdapter<BrewManager>};
    return row;
}

BrewManager::BrewManager(CommandRunning& runner, const FileSystemManager& files)
    : BrewManager(runner, files, Options{}) {}

BrewManager::BrewManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : BaseManager(source(), runner, files), options_(std::move(options)) {
    if (options_.network != nullptr) setNetwork(*options_.network);
    outdatedMode_ = options_.outdatedMode;
    if (options_.prefixes.empty()) options_.prefixes = defaultPrefixes();
    if (!options_.invalidateListings) {
        // The runner keys its listing cache by the executable's last path component; ours
        // is "env", and a brew started directly would be "brew". Dropping both is cheap.
        options_.invalidateListings = [&runner] {
            runner.invalidateCache("brew");
            runner.invalidateCache("env");
        };
    }
    if (!options_.removeItem) {
        options_.removeItem = [](const std::string& path) { std::filesystem::remove_all(path); };
    }
}

BrewManager::~BrewManager() = default;

std::vector<std::string> BrewManager::defaultPrefixes() {
    return {"/opt/homebrew", "/usr/local", "/home/linuxbrew/.linuxbrew"};
}

Clock& BrewManager::clock() const { return options_.clock != nullptr ? *options_.clock : Clock::shared(); }

void BrewManager::invalidateListings() {
    if (options_.invalidateListings) options_.invalidateListings();
}

bool BrewManager::runningAsRoot() const {
    if (options_.runningAsRoot) return *options_.runningAsRoot;
    return ::geteuid() == 0;
}

BrewAPIClient& BrewManager::apiClient() {
    if (options_.apiClient != nullptr) return *options_.apiClient;
    NetworkClient& client = network();
    std::scoped_lock lock(brewMutex_);
    if (!ownedApiClient_) ownedApiClient_ = std::make_unique<BrewAPIClient>(client);
    return *ownedApiClient_;
}

void BrewManager::setOutdatedModeProvider(OutdatedModeProvider provider) {
    std::scoped_lock lock(brewMutex_);
    outdatedMode_ = std::move(provider);
}

std::optional<std::string> BrewManager::lastOutdatedWarning() const {
    std::scoped_lock lock(brewMutex_);
    return lastOutdatedWarning_;
}

std::optional<std::string> BrewManager::cachedBrewPath() const {
    std::scoped_lock lock(brewMutex_);
    return cachedBrewPath_;
}

std::set<std::string> BrewManager::manualInstallerCasks() const {
    return casksWhere(&CaskDetails::manualInstaller);
}

std::set<std::string> BrewManager::autoUpdatingCasks() const {
    return casksWhere(&CaskDetails::autoUpdates);
}

std::set<std::string> BrewManager::casksWhere(bool CaskDetails::*flag) const {
    std::scoped_lock lock(brewMutex_);
    std::set<std::string> tokens;
    for (const auto& [token, details] : caskDetails_) {
        if (details.*flag) tokens.insert(token);
    }
    return tokens;
}

FormulaDiagnostics BrewManager::formulaDiagnostics() const {
    std::scoped_lock lock(brewMutex_);
    return formulaDiagnostics_;
}

CommandRequest BrewManager::brewRequest(std::vector<std::string> arguments, double timeout) const {
    CommandRequest request;
    request.command = kEnv;
    request.arguments.reserve(arguments.size() + 1);
    request.arguments.push_back("brew");
    for (std::string& argument : arguments) request.arguments.push_back(std::move(argument));
    request.environment = options_.environment;
    request.timeout = timeout;
    return request;
}

ShellCommandResult BrewManager::runBrew(std::vector<std::string> arguments, double timeout, std::stop_token stop,
                                        bool allowNonZeroExit) {
    CommandRequest request = brewRequest(std::move(arguments), timeout);
    request.allowNonZeroExit = allowNonZeroExit;
    return run(request, stop);
}

std::optional<std::string> BrewManager::locateExecutable(std::stop_token stop) {
    std::optional<std::string> found;
    for (const std::string& prefix : options_.prefixes) {
        if (files_.isExecutableFile(prefix + "/bin/brew")) {
            found = prefix + "/bin/brew";
            break;
        }
    }
    // A brew elsewhere on the runner's PATH is what `/usr/bin/env brew` will start.
    if (!found) found = locateDeclared(stop, options_.home.value_or(paths::home()));
    std::scoped_lock lock(brewMutex_);
    cachedBrewPath_ = found;
    return found;
}

std::vector<std::string> BrewManager::prefixCandidates() const {
    std::vector<std::string> candidates;
    if (std::optional<std::string> brew = cachedBrewPath(); brew && endsWith(*brew, "/bin/brew")) {
        candidates.push_back(brew->substr(0, brew->size() - std::string_view("/bin/brew").size()));
    }
    for (const std::string& prefix : options_.prefixes) {
        if (std::find(candidates.begin(), candidates.end(), prefix) == candidates.end()) candidates.push_back(prefix);
    }
    return candidates;
}

std::optional<std::string> BrewManager::existingPrefixFolder(std::string_view folder) const {
    for (const std::string& prefix : prefixCandidates()) {
        std::string path = prefix + "/" + std::string(folder);
        if (files_.directoryExists(path)) return path;
    }
    return std::nullopt;
}

std::vector<Package> BrewManager::listInstalled(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) return publishEmptyListing();
    Listing formulaListing = listFormulae(stop);
    Listing caskListing = listCasks(stop);
    const std::vector<InstalledItem>& formulae = formulaListing.items;
    const std::vector<InstalledItem>& casks = caskListing.items;
    std::map<std::string, CaskDetails> details = fetchCaskDetails(stop);

    std::vector<Package> packages;
    packages.reserve(formulae.size() + casks.size());
    for (const InstalledItem& item : formulae) {
        Package package;
        package.name = item.name;
        package.version = newestVersion(item.versions);
        package.type = PackageType::BrewFormula;
        packages.push_back(std::move(package));
    }
    for (const InstalledItem& item : casks) {
        Package package;
        package.name = item.name;
        package.version = newestVersion(item.versions);
        package.type = PackageType::BrewCask;
        if (auto found = details.find(item.name); found != details.end()) {
            package.requiresManualInstaller = found->second.manualInstaller;
            package.autoUpdates = found->second.autoUpdates;
            if (auto slash = found->second.fullToken.rfind('/'); slash != std::string::npos) {
                package.tap = found->second.fullToken.substr(0, slash);
            }
        }
        packages.push_back(std::move(package));
    }
    // A failure that the folders on disk made up for is only logged.
    std::optional<std::string> error;
    if (formulaListing.failure && formulae.empty()) error = formulaListing.failure;
    if (!error && caskListing.failure && casks.empty()) error = caskListing.failure;
    setErrorMessage(error);
    publishPackages(packages);
    return packages;
}

std::vector<Package> BrewManager::checkOutdated(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) return nothingFound();
    OutdatedOutcome outcome = outdatedOutcome(stop);
    setErrorMessage(outcome.failed ? outcome.warning : std::nullopt);
    std::vector<Package> packages;
    auto add = [&](const OutdatedInfo& info, PackageType type) {
        Package package;
        package.name = info.name;
        package.version = info.currentVersion;
        package.type = type;
        package.latestVersion = info.latestVersion;
        package.isPinned = info.isPinned;
        if (info.commandName) {
            if (auto slash = info.commandName->rfind('/'); slash != std::string::npos) {
                package.tap = info.commandName->substr(0, slash);
            }
        }
        packages.push_back(std::move(package));
    };
    for (const OutdatedInfo& info : outcome.result.formulas) add(info, PackageType::BrewFormula);
    for (const OutdatedInfo& info : outcome.result.casks) add(info, PackageType::BrewCask);
    // The cask details of the listing tell which casks update themselves or need an installer.
    std::scoped_lock lock(brewMutex_);
    for (Package& package : packages) {
        if (package.type != PackageType::BrewCask) continue;
        if (auto found = caskDetails_.find(package.name); found != caskDetails_.end()) {
            package.autoUpdates = found->second.autoUpdates;
            package.requiresManualInstaller = found->second.manualInstaller;
        }
    }
    return packages;
}

void BrewManager::update(const Package& package, std::stop_token stop) { upgrade(package, {}, std::move(stop)); }

}  // namespace vt
