#include "managers/system/AptManager.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <stdexcept>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "managers/system/AptCache.hpp"
#include "managers/system/SystemListing.hpp"
#include "system/AdminPrompt.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("AptManager");
    return instance;
}

// apt's "[OLD]" and "(NEW ...)" groups; a trailing "[]" marks a package whose dependencies
// apt had to break and means nothing to us.
const Regex& instLine() {
    static const Regex pattern(R"(^Inst (\S+) \[([^\]]+)\] \((\S+) ([^\[\)]*?)\s*(?:\[([^\]]*)\])?\))");
    return pattern;
}

}  // namespace

const SourceRow& AptManager::source() {
    static const SourceRow row{.id = "apt", .name = "apt", .executables = {"apt-get"},
                               .types = {PackageType::AptPackage}, .toggle = ManagerToggleKey::ShowApt,
                               .completionLine = "apt", .logTag = "apt",
                               .timeout = std::chrono::seconds(180), .make = makeAdapter<AptManager>};
    return row;
}

AptManager::AptManager(CommandRunning& runner, const FileSystemManager& files) : AptManager(runner, files, Options{}) {}

AptManager::AptManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : BaseManager(source(), runner, files), options_(std::move(options)) {}

AptManager::~AptManager() = default;

Clock& AptManager::clock() const { return options_.clock != nullptr ? *options_.clock : Clock::shared(); }

AdminPrompt& AptManager::adminPrompt() {
    if (options_.adminPrompt != nullptr) return *options_.adminPrompt;
    std::scoped_lock lock(aptMutex_);
    if (!ownedAdminPrompt_) ownedAdminPrompt_ = std::make_unique<SystemAdminPrompt>(runner_, files_);
    return *ownedAdminPrompt_;
}

// ---- Parsing -------------------------------------------------------------------------

bool AptManager::isPackageName(std::string_view name) {
    static const Regex pattern(R"(^[a-z0-9][a-z0-9+.-]*(:[a-z0-9-]+)?$)");
    return name.size() <= 200 && pattern.fullyMatches(name);
}

AptManager::Simulation AptManager::parseSimulation(std::string_view text) {
    Simulation simulation;
    bool inKeptBack = false;
    for (std::string_view line : splitLines(text)) {
        if (inKeptBack) {
            // The block's names are indented; the next heading or summary ends it.
            if (!line.empty() && isBlank(line.front())) {
                for (std::string& name : systemlisting::blankSeparated(line)) {
                    if (isPackageName(name)) simulation.keptBack.push_back(std::move(name));
                }
                continue;
            }
            inKeptBack = false;
        }
        if (startsWith(line, "The following packages have been kept back:") ||
            startsWith(line, "The following held packages will be changed:")) {
            inKeptBack = true;
            continue;
        }
        std::optional<Regex::Match> match = instLine().search(line);
        if (!match || !match->groups[0] || !match->groups[1] || !match->groups[2]) continue;
        Pending pending{.name = std::string(*match->groups[0]),
                        .installed = std::string(*match->groups[1]),
                        .candidate = std::string(*match->groups[2])};
        if (!isPackageName(pending.name)) continue;
        if (match->groups[3]) {
            for (std::string_view archive : split(*match->groups[3], ',')) {
                std::string trimmed = trim(archive);
                if (trimmed.empty()) continue;
                // "Debian-Security:12/oldstable-security", "Ubuntu:22.04/jammy-security"
                const std::size_t slash = trimmed.find('/');
                if (slash != std::string::npos && contains(std::string_view(trimmed).substr(slash), "-security")) {
                    pending.isSecurity = true;
                }
                pending.archives.push_back(std::move(trimmed));
            }
        }
        if (match->groups[4]) pending.architecture = std::string(*match->groups[4]);
        simulation.pending.push_back(std::move(pending));
    }
    return simulation;
}

std::optional<Clock::TimePoint> AptManager::listsUpdatedAt(const std::string& folder) {
    std::optional<Clock::TimePoint> newest;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name == "lock" || !it->is_regular_file(error)) continue;
        struct stat info {};
        if (::stat(it->path().c_str(), &info) != 0) continue;
        Clock::TimePoint modified = Clock::TimePoint{} + std::chrono::seconds(info.st_mtim.tv_sec);
        if (!newest || modified > *newest) newest = modified;
    }
    return newest;
}

std::optional<std::string> AptManager::staleListsNote() const {
    std::optional<Clock::TimePoint> updated = listsUpdatedAt(options_.listsFolder);
    if (!updated) return std::nullopt;
    const auto age = clock().now() - *updated;
    if (age < kStaleListsAge) return std::nullopt;
    const auto days = std::chrono::duration_cast<std::chrono::hours>(age).count() / 24;
    if (days == 1) return localized("apt.lists_stale_one", {"sudo apt-get update"});
    return localized("apt.lists_stale", {std::to_string(days), "sudo apt-get update"});
}

// ---- Listing and detection -----------------------------------------------------------

namespace {

Package packageOf(std::string name, std::string installed, std::string candidate,
                  const std::vector<std::string>& archives, bool isSecurity) {
    // apt's candidate as apt gives it: Debian's order, not ours, says it is newer.
    return Package{.name = std::move(name),
                   .version = std::move(installed),
                   .type = PackageType::AptPackage,
                   .latestVersion = std::move(candidate),
                   .sourceIdentifier = archives.empty() ? std::nullopt : std::optional<std::string>(archives.front()),
                   .isSecurityUpdate = isSecurity};
}

}  // namespace

AptManager::Reading AptManager::readFromCache(std::stop_token stop) {
    AptCache::Reading cache = AptCache::read(stop, options_.cacheFolder);
    // A module that will not load (its library removed since) leaves the simulation.
    if (cache.unavailable) return readFromSimulation(stop);
    Reading reading;
    if (cache.failure) {
        reading.failure = cache.failure;
        return reading;
    }
    for (AptCache::Upgrade& upgrade : cache.upgrades) {
        reading.packages.push_back(packageOf(std::move(upgrade.name), std::move(upgrade.installed),
                                             std::move(upgrade.candidate), upgrade.archives, upgrade.isSecurity));
    }
    if (!cache.held.empty()) {
        std::vector<std::string> held;
        for (const AptCache::Upgrade& upgrade : cache.held) held.push_back(upgrade.name);
        reading.notes.push_back(localized("apt.held", {join(held, ", ")}));
    }
    return reading;
}

AptManager::Reading AptManager::readFromSimulation(std::stop_token stop) {
    CommandRequest request{.command = binaryPath(),
                           .arguments = {"-s", "-o", "Debug::NoLocking=1", "dist-upgrade"},
                           // Only the C locale prints the headings we read in English.
                           .environment = {{"LC_ALL", "C"}, {"LANG", "C"}, {"LANGUAGE", ""}},
                           .timeout = kSimulateTimeout,
                           .allowNonZeroExit = true};
    systemlisting::ListOutput output = systemlisting::readList("apt-get", [&] { return run(request, stop); }, stop);
    Reading reading;
    if (output.failure) {
        reading.failure = output.failure;
        return reading;
    }
    Simulation simulation = parseSimulation(output.text);
    for (Pending& pending : simulation.pending) {
        reading.packages.push_back(packageOf(std::move(pending.name), std::move(pending.installed),
                                             std::move(pending.candidate), pending.archives, pending.isSecurity));
    }
    if (!simulation.keptBack.empty()) {
        reading.notes.push_back(localized("apt.kept_back", {join(simulation.keptBack, ", ")}));
    }
    return reading;
}

std::vector<Package> AptManager::listInstalled(std::stop_token stop) {
    LoadingScope loading(*this);
    auto fail = [this](const std::string& message) {
        logger().error(localized("log.manager.scan_failed", {"apt", message}));
        return publishEmptyListing(message);
    };
    if (!discover(stop)) return fail("apt-get not found");
    Reading reading = options_.readCache ? readFromCache(stop) : readFromSimulation(stop);
    if (reading.failure) return fail(*reading.failure);
    std::vector<std::string> notes;
    if (auto stale = staleListsNote()) notes.push_back(*stale);
    notes.insert(notes.end(), reading.notes.begin(), reading.notes.end());
    logger().info(localized("log.manager.scan_complete", {"apt", std::to_string(reading.packages.size())}));
    setErrorMessage(notes.empty() ? std::nullopt : std::optional<std::string>(join(notes, "; ")));
    publishPackages(reading.packages);
    return reading.packages;
}

std::vector<std::string> AptManager::listingInputs() {
    if (paths::environmentValue("APT_CONFIG")) return {};
    return {"/var/lib/dpkg/status",   options_.listsFolder,          "/etc/apt/sources.list",
            "/etc/apt/sources.list.d", "/etc/apt/preferences",        "/etc/apt/preferences.d",
            "/etc/apt/apt.conf.d",     "/var/lib/apt/extended_states"};
}

std::vector<Package> AptManager::checkOutdated(std::stop_token stop) {
    if (stop.stop_requested()) throw CancellationError();
    return packages();
}

// ---- Update --------------------------------------------------------------------------

void AptManager::upgrade(const std::vector<Package>& packages, std::stop_token stop) {
    if (!discover(stop)) throw CommandError::invalidCommand("apt-get");
    std::vector<std::string> names, targets;
    for (const Package& package : packages) {
        if (!isPackageName(package.name)) {
            throw std::invalid_argument(localized("apt.error.invalid_name", {package.name}));
        }
        names.push_back(package.name);
        // NAME=VERSION: the candidate the scan showed, or nothing at all if apt moved on.
        const std::optional<std::string> pinned = pinnedVersion(package);
        targets.push_back(pinned ? package.name + "=" + *pinned : package.name);
    }
    PrivilegedCommand command{.prompt = localized("apt.admin.prompt", {join(names, ", ")}),
                              .command = binaryPath(),
                              .arguments = {"install", "--only-upgrade", "-y"},
                              .timeoutSeconds = kUpgradeTimeout};
    command.arguments.insert(command.arguments.end(), targets.begin(), targets.end());
    adminPrompt().run(command, stop);
}

void AptManager::update(const Package& package, std::stop_token stop) { upgrade({package}, stop); }

void AptManager::updateTogether(const std::vector<Package>& packages, std::stop_token stop) {
    if (!packages.empty()) upgrade(packages, stop);
}

void AptManager::updateAll(std::stop_token stop) { updateTogether(packages(), stop); }

}  // namespace vt
