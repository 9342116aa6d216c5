#include "managers/python/PipManager.hpp"

#include <algorithm>
#include <filesystem>
#include <set>

#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "managers/ExecutableLocator.hpp"
#include "managers/ToolOutput.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("PipManager");
    return instance;
}

// The objects of pip's JSON array that have a name and a version, each given to `add`;
// `listing` names the command in the error.
template <typename Entry, typename Add>
PipManager::Parsed<Entry> parseRows(std::string_view text, std::string_view listing, Add add) {
    PipManager::Parsed<Entry> parsed;
    std::optional<Json> json = jsonAfterBanner(text);
    if (!json || !json->is_array()) {
        parsed.error =
            "Failed to parse pip " + std::string(listing) + " JSON: " + std::string(trimView(text).substr(0, 200));
        return parsed;
    }
    for (const Json& item : *json) {
        if (!item.is_object()) continue;
        std::optional<std::string> name = stringField(item, "name");
        std::optional<std::string> version = stringField(item, "version");
        if (name && !name->empty() && version) add(parsed.entries, item, *name, *version);
    }
    return parsed;
}

std::string lastLines(std::string_view text, std::size_t count) {
    std::vector<std::string_view> lines = splitLines(trimView(text));
    std::vector<std::string> kept;
    for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) {
        kept.emplace_back(lines[i]);
    }
    return join(kept, "\n");
}

}  // namespace

const SourceRow& PipManager::source() {
    static const SourceRow row{.id = "pip", .name = "pip", .executables = {"pip3", "pip"},
                               .types = {PackageType::PipPackage}, .toggle = ManagerToggleKey::ShowPip, .isCore = true,
                               .completionLine = "Pip", .logTag = "pip",
                               .make = makeAdapter<PipManager>};
    return row;
}

PipManager::PipManager(CommandRunning& runner, const FileSystemManager& files) : PipManager(runner, files, Options{}) {}

PipManager::PipManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : BaseManager(source(), runner, files), options_(std::move(options)) {
    if (!options_.invalidateListings) {
        options_.invalidateListings = [&runner] {
            runner.invalidateCache("pip");
            runner.invalidateCache("pip3");
        };
    }
}

PipManager::~PipManager() = default;

Clock& PipManager::clock() const {
    return options_.clock != nullptr ? *options_.clock : Clock::shared();
}

void PipManager::invalidateListings() {
    if (options_.invalidateListings) options_.invalidateListings();
}

std::vector<PipManager::Environment> PipManager::environments() const {
    std::scoped_lock lock(pipMutex_);
    return inventory_ ? inventory_->environments : std::vector<Environment>{};
}

CommandRequest PipManager::pipRequest(const Environment& environment, std::vector<std::string> arguments,
                                      double timeout) const {
    CommandRequest request;
    request.command = environment.interpreter;
    request.arguments = {"-m", "pip"};
    for (std::string& argument : arguments) request.arguments.push_back(std::move(argument));
    // pip reads these before its configuration files: a lookup that fails is retried once,
    // quickly, instead of five times with back-off.
    request.environment = {{"PIP_RETRIES", kIndexRetries}, {"PIP_TIMEOUT", kIndexTimeoutSeconds}};
    request.timeout = timeout;
    request.allowNonZeroExit = true;
    return request;
}

std::optional<std::string> PipManager::locateExecutable(std::stop_token stop) {
    std::optional<std::string> pip;
    if (!options_.environments) pip = ExecutableLocator(files_).locate(identity().executables, stop);
    {
        std::scoped_lock lock(pipMutex_);
        userPip_ = pip;
    }
    std::vector<Environment> found = findEnvironments(stop);
    if (pip) return pip;
    if (found.empty()) return std::nullopt;
    return found.front().pip.value_or(found.front().interpreter);
}

std::vector<PipManager::Environment> PipManager::findEnvironments(std::stop_token stop) {
    if (stop.stop_requested()) throw CancellationError();
    if (options_.environments) return options_.environments();
    PythonEnvironments::Options options;
    std::optional<std::string> pip;
    {
        std::scoped_lock lock(pipMutex_);
        pip = userPip_;
    }
    if (pip) {
        if (auto interpreter = PythonEnvironments::interpreterOfScript(*pip))
            options.userInterpreters.push_back(*interpreter);
    }
    return PythonEnvironments(std::move(options)).find();
}

// Parsers.

std::string PipManager::normalizedName(std::string_view name) {
    std::string normalized;
    bool inSeparator = false;
    for (char c : name) {
        if (c == '-' || c == '_' || c == '.') {
            inSeparator = true;
            continue;
        }
        if (inSeparator && !normalized.empty()) normalized += '-';
        inSeparator = false;
        normalized += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return normalized;
}

bool PipManager::isProjectName(std::string_view name) {
    static const Regex pattern("^([A-Za-z0-9]|[A-Za-z0-9][A-Za-z0-9._-]*[A-Za-z0-9])$");
    return name.size() <= 200 && pattern.fullyMatches(name);
}

PipManager::Parsed<PipManager::InstalledEntry> PipManager::parseInstalled(std::string_view text) {
    auto add = [](std::vector<InstalledEntry>& entries, const Json&, std::string name, std::string version) {
        entries.push_back({std::move(name), std::move(version)});
    };
    return parseRows<InstalledEntry>(text, "list", add);
}

PipManager::Parsed<PipManager::OutdatedEntry> PipManager::parseOutdated(std::string_view text) {
    auto add = [](std::vector<OutdatedEntry>& entries, const Json& item, std::string name, std::string version) {
        std::optional<std::string> latest = stringField(item, "latest_version");
        if (latest && !latest->empty()) entries.push_back({std::move(name), std::move(version), *latest});
    };
    return parseRows<OutdatedEntry>(text, "outdated", add);
}

std::vector<PipManager::OutdatedEntry> PipManager::parsePipReview(std::string_view text) {
    static const Regex pattern(R"(^(.+?)==([^\s]+)\s+is available\s+\(you have\s+([^\)]+)\))");
    std::vector<OutdatedEntry> entries;
    for (std::string_view line : splitLines(text)) {
        std::optional<Regex::Match> match = pattern.search(trimView(line));
        if (!match || !match->groups[0] || !match->groups[1] || !match->groups[2]) continue;
        entries.push_back({std::string(*match->groups[0]), trim(*match->groups[2]), std::string(*match->groups[1])});
    }
    return entries;
}

// Listing.

std::optional<PipManager::InstalledEntry> PipManager::parseMetadata(std::string_view text) {
    InstalledEntry entry;
    for (std::string_view line : splitLines(text)) {
        // The headers end at the first blank line; the description follows.
        if (trimView(line).empty()) break;
        if (startsWith(line, "Name:") && entry.name.empty()) entry.name = trim(line.substr(5));
        if (startsWith(line, "Version:") && entry.version.empty()) entry.version = trim(line.substr(8));
    }
    if (entry.name.empty() || entry.version.empty()) return std::nullopt;
    return entry;
}

std::optional<PipManager::EnvironmentListing> PipManager::readSiteFolders(const Environment& environment) const {
    if (environment.siteFolders.empty()) return std::nullopt;
    std::vector<std::string> folders = environment.siteFolders;
    if (environment.isVirtual) {
        // A virtual environment sees its base's folders (and the user's) only when made with
        // --system-site-packages; pip knows that case best. Otherwise only its own folders count.
        try {
            const std::string config = files_.readFile(environment.prefix + "/pyvenv.cfg");
            static const Regex systemSite(R"((?m)^\s*include-system-site-packages\s*=\s*true\s*$)");
            if (systemSite.search(toLower(config))) return std::nullopt;
        } catch (const std::exception&) {
            return std::nullopt;
        }
        std::erase_if(folders, [&](const std::string& folder) { return !startsWith(folder, environment.prefix + "/"); });
        if (folders.empty()) return std::nullopt;
    }
    std::stable_partition(folders.begin(), folders.end(),
                          [](const std::string& folder) { return contains(folder, "/.local/lib/python"); });
    EnvironmentListing listing;
    std::set<std::string> seen;
    try {
        for (const std::string& folder : folders) {
            for (const std::string& name : files_.contentsOfDirectory(folder)) {
                if (endsWith(name, ".egg-link") || endsWith(name, ".egg") || name == "easy-install.pth") return std::nullopt;
                const std::string path = folder + "/" + name;
                std::string metadata;
                if (endsWith(name, ".dist-info")) {
                    metadata = path + "/METADATA";
                } else if (endsWith(name, ".egg-info")) {
                    metadata = files_.directoryExists(path) ? path + "/PKG-INFO" : path;
                } else {
                    continue;
                }
                // pip leaves out a distribution without its metadata.
                if (!files_.fileExists(metadata)) continue;
                std::optional<InstalledEntry> entry = parseMetadata(files_.readFile(metadata));
                if (entry && seen.insert(normalizedName(entry->name)).second) listing.entries.push_back(std::move(*entry));
            }
        }
    } catch (const std::exception& error) {
        logger().debug(localized("log.command_error", {environment.interpreter, error.what()}));
        return std::nullopt;
    }
    // Without pip among them, pip may still come from a folder only Python knows of: it says.
    if (seen.count("pip") == 0) return std::nullopt;
    std::sort(listing.entries.begin(), listing.entries.end(), [](const InstalledEntry& a, const InstalledEntry& b) {
        return normalizedName(a.name) < normalizedName(b.name);
    });
    return listing;
}

PipManager::EnvironmentListing PipManager::runListing(const Environment& environment, std::stop_token stop) {
    if (std::optional<EnvironmentListing> read = readSiteFolders(environment)) return std::move(*read);
    EnvironmentListing listing;
    try {
        ShellCommandResult result =
            run(pipRequest(environment, {"list", "--format=json"}, kListTimeout), stop);
        if (result.exitCode != 0) {
            if (contains(result.standardError, "No module named pip")) {
                listing.hasNoPip = true;
                return listing;
            }
            listing.failure =
                "exit code " + std::to_string(result.exitCode) + ": " + lastLines(result.standardError, 3);
            return listing;
        }
        Parsed<InstalledEntry> parsed = parseInstalled(result.standardOutput);
        listing.entries = std::move(parsed.entries);
        listing.failure = std::move(parsed.error);
    } catch (const CommandError& error) {
        listing.failure = error.description();
    }
    return listing;
}

PipManager::EnvironmentListing PipManager::listEnvironment(const Environment& environment, std::stop_token stop) {
    return listingsInFlight_.share(environment.interpreter, [&] { return runListing(environment, stop); }, stop);
}

PipManager::Inventory PipManager::takeInventory(std::stop_token stop) {
    Inventory inventory;
    inventory.environments = findEnvironments(stop);
    std::vector<EnvironmentListing> listings = forEachEnvironment<EnvironmentListing>(
        inventory.environments, [&](const Environment& environment) { return listEnvironment(environment, stop); });
    std::map<std::string, EnvironmentListing> byInterpreter;
    for (std::size_t i = 0; i < listings.size(); ++i) {
        const Environment& environment = inventory.environments[i];
        EnvironmentListing& listing = listings[i];
        if (listing.hasNoPip) {
            logger().debug(localized("log.pip.no_module", {environment.interpreter}));
        } else if (listing.failure) {
            std::string failure = "Pip command failed for " + environment.interpreter + ": " + *listing.failure;
            logger().warning(localized("log.pip.command_failed", {environment.interpreter, *listing.failure}));
            inventory.failures.push_back(failure);
        }
        inventory.installedCount[environment.interpreter] = listing.entries.size();
        std::size_t duplicates = 0;
        for (const InstalledEntry& entry : listing.entries) {
            if (inventory.ownerByName.emplace(normalizedName(entry.name), environment.interpreter).second) {
                inventory.shown[environment.interpreter].push_back(entry);
            } else {
                ++duplicates;
            }
        }
        if (duplicates > 0) {
            logger().info(localized("log.pip.duplicates", {environment.interpreter, std::to_string(duplicates)}));
        }
        byInterpreter[environment.interpreter] = std::move(listing);
    }
    std::vector<Package> packages = packagesOf(inventory, byInterpreter);
    publishPackages(std::move(packages));
    {
        std::scoped_lock lock(pipMutex_);
        inventory_ = inventory;
    }
    return inventory;
}

std::vector<Package> PipManager::packagesOf(const Inventory& inventory,
                                            const std::map<std::string, EnvironmentListing>& listings) {
    std::vector<Package> packages;
    for (const Environment& environment : inventory.environments) {
        auto listing = listings.find(environment.interpreter);
        if (listing == listings.end()) continue;
        for (const InstalledEntry& entry : listing->second.entries) {
            auto owner = inventory.ownerByName.find(normalizedName(entry.name));
            if (owner == inventory.ownerByName.end() || owner->second != environment.interpreter) continue;
            Package package;
            package.name = entry.name;
            package.version = entry.version;
            package.type = PackageType::PipPackage;
            package.sourceIdentifier = environment.interpreter;
            packages.push_back(std::move(package));
        }
    }
    return packages;
}

PipManager::Inventory PipManager::currentInventory(std::stop_token stop) {
    {
        std::scoped_lock lock(pipMutex_);
        if (inventory_) return *inventory_;
    }
    return takeInventory(stop);
}

std::vector<Package> PipManager::listInstalled(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) return publishEmptyListing();
    Inventory inventory = takeInventory(stop);
    setErrorMessage(inventory.failures.empty() ? std::nullopt
                                               : std::optional<std::string>(join(inventory.failures, "; ")));
    return packages();
}


std::vector<std::string> PipManager::listingInputs() {
    std::vector<std::string> paths;
    for (const Environment& environment : findEnvironments({})) {
        paths.push_back(environment.interpreter);
        for (const std::string& folder : environment.siteFolders) addFolderAndEntries(paths, folder);
    }
    return paths;
}

}  // namespace vt
