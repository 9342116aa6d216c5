// The conda adapter: discovery, conda's JSON outputs and the inventory of every environment.
#include "managers/python/CondaManager.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "managers/python/CondaError.hpp"
#include "managers/ExecutableLocator.hpp"
#include "managers/ToolOutput.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("CondaManager");
    return instance;
}

// conda's error object: {"error": "...", "exception_name": ..., "message": ...}.
std::optional<std::string> condaErrorText(const Json& json) {
    if (!json.is_object() || !json.contains("error")) return std::nullopt;
    if (std::optional<std::string> message = stringField(json, "message"); message && !trim(*message).empty()) {
        return trim(*message);
    }
    if (std::optional<std::string> error = stringField(json, "error")) return trim(*error);
    return std::string("conda error");
}

std::string text(const Json& object, const char* key) {
    return stringField(object, key).value_or("");
}

bool isPyPIChannel(std::string_view channel) {
    return equalsIgnoringCase(trimView(channel), "pypi");
}

}  // namespace

const SourceRow& CondaManager::source() {
    // One dry run per environment, up to 120 s each, when the week-long cache is stale.
    static const SourceRow row{.id = "conda", .name = "Conda", .executables = {"conda", "mamba", "micromamba"},
                               .types = {PackageType::CondaPackage}, .toggle = ManagerToggleKey::ShowConda,
                               .completionLine = "Conda", .logTag = "conda",
                               .timeout = std::chrono::seconds(600), .make = makeAdapter<CondaManager>};
    return row;
}

CondaManager::CondaManager(CommandRunning& runner, const FileSystemManager& files)
    : CondaManager(runner, files, Options{}) {}

CondaManager::CondaManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : BaseManager(source(), runner, files), options_(std::move(options)) {
    if (!options_.modificationTime) {
        options_.modificationTime = [](const std::string& path) -> std::optional<Clock::TimePoint> {
            std::error_code error;
            auto time = std::filesystem::last_write_time(path, error);
            if (error) return std::nullopt;
            return std::chrono::time_point_cast<Clock::Duration>(std::chrono::file_clock::to_sys(time));
        };
    }
}

CondaManager::~CondaManager() = default;

Clock& CondaManager::clock() const {
    return options_.clock != nullptr ? *options_.clock : Clock::shared();
}

std::string CondaManager::home() const {
    return options_.home ? *options_.home : paths::home();
}

std::string CondaManager::cacheFile() const {
    return options_.cacheFile ? *options_.cacheFile : paths::cacheFolder() + "/" + kCacheFileName;
}

std::optional<Clock::TimePoint> CondaManager::metaModificationTime(const std::string& environment) const {
    return options_.modificationTime(environment + "/conda-meta");
}

std::vector<std::string> CondaManager::defaultCandidates(const std::string& home) {
    std::vector<std::string> candidates;
    // An activated shell names the executable it uses.
    for (const char* variable : {"CONDA_EXE", "MAMBA_EXE"}) {
        if (std::optional<std::string> value = paths::environmentValue(variable); value && startsWith(*value, "/")) {
            candidates.push_back(*value);
        }
    }
    std::vector<std::string> roots;
    for (const char* folder : {"/miniconda3", "/anaconda3", "/miniforge3", "/mambaforge"}) {
        roots.push_back(home + folder);
    }
    for (const char* root :
         {"/opt/miniconda3", "/opt/anaconda3", "/opt/miniforge3", "/opt/conda", "/opt/homebrew/Caskroom/miniforge/base",
          "/opt/homebrew/Caskroom/miniconda/base", "/opt/homebrew/anaconda3", "/usr/local/Caskroom/miniforge/base",
          "/usr/local/Caskroom/miniconda/base", "/usr/local/anaconda3", "/usr/local/miniconda3"}) {
        roots.emplace_back(root);
    }
    for (const std::string& root : roots) {
        candidates.push_back(root + "/bin/conda");
        candidates.push_back(root + "/bin/mamba");
    }
    // micromamba's installer puts the single binary here.
    candidates.push_back(home + "/.local/bin/micromamba");
    candidates.push_back(home + "/micromamba/bin/micromamba");
    return candidates;
}

std::optional<std::string> CondaManager::locateExecutable(std::stop_token stop) {
    const std::vector<std::string> candidates = options_.candidates ? *options_.candidates : defaultCandidates(home());
    return ExecutableLocator(files_).locate(identity().executables, stop, candidates);
}

ShellCommandResult CondaManager::runConda(const std::string& conda, std::vector<std::string> arguments, double timeout,
                                          std::stop_token stop, bool allowNonZeroExit) {
    CommandRequest request;
    request.command = conda;
    request.arguments = std::move(arguments);
    request.timeout = timeout;
    request.allowNonZeroExit = allowNonZeroExit;
    return run(request, stop);
}

// ---- Parsers -------------------------------------------------------------------------

CondaManager::Parsed<std::vector<std::string>> CondaManager::parseEnvironments(std::string_view output) {
    std::optional<Json> json = jsonAfterBanner(output);
    if (!json) return {std::nullopt, localized("error.conda.no_json_payload")};
    if (std::optional<std::string> error = condaErrorText(*json)) return {std::nullopt, error};
    if (!json->is_object() || !json->contains("envs") || !(*json)["envs"].is_array()) {
        return {std::nullopt, "conda env list: no \"envs\" list"};
    }
    std::vector<std::string> environments;
    for (const Json& value : (*json)["envs"]) {
        if (!value.is_string()) continue;
        std::string path = value.get<std::string>();
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        if (path.empty() || std::find(environments.begin(), environments.end(), path) != environments.end()) continue;
        environments.push_back(std::move(path));
    }
    return {std::move(environments), std::nullopt};
}

CondaManager::Parsed<std::vector<CondaManager::Entry>> CondaManager::parseList(std::string_view output) {
    std::optional<Json> json = jsonAfterBanner(output);
    if (!json) return {std::nullopt, localized("error.conda.no_json_payload")};
    if (std::optional<std::string> error = condaErrorText(*json)) return {std::nullopt, error};
    if (!json->is_array()) return {std::nullopt, "conda list: not a list of packages"};
    std::vector<Entry> entries;
    for (const Json& item : *json) {
        if (!item.is_object()) continue;
        Entry entry{text(item, "name"), text(item, "version"), text(item, "channel"), text(item, "build_string")};
        if (entry.build.empty()) entry.build = text(item, "build");
        if (entry.name.empty() || entry.version.empty()) continue;
        entries.push_back(std::move(entry));
    }
    return {std::move(entries), std::nullopt};
}

CondaManager::Parsed<CondaManager::DryRun> CondaManager::parseDryRun(std::string_view output) {
    std::optional<Json> json = jsonAfterBanner(output);
    if (!json) return {std::nullopt, localized("error.conda.no_json_payload")};
    DryRun plan;
    if (std::optional<std::string> error = condaErrorText(*json)) {
        plan.error = error;
        return {std::move(plan), std::nullopt};
    }
    if (!json->is_object()) return {std::nullopt, localized("error.conda.no_json_payload")};
    auto readList = [](const Json& actions, const char* key, std::vector<PlannedAction>& into) {
        auto list = actions.find(key);
        if (list == actions.end() || !list->is_array()) return;
        for (const Json& item : *list) {
            // conda 4.4 and older wrote "channel::name-version-build" strings; too old to matter.
            if (!item.is_object()) continue;
            PlannedAction action{text(item, "name"), text(item, "version"), text(item, "channel")};
            if (!action.name.empty()) into.push_back(std::move(action));
        }
    };
    // "All requested packages already installed." comes without any "actions".
    auto actions = json->find("actions");
    if (actions != json->end()) {
        // An object since conda 4.4; a list of per-prefix objects before.
        std::vector<const Json*> groups;
        if (actions->is_object()) groups.push_back(&*actions);
        if (actions->is_array()) {
            for (const Json& group : *actions) {
                if (group.is_object()) groups.push_back(&group);
            }
        }
        for (const Json* group : groups) {
            readList(*group, "LINK", plan.link);
            readList(*group, "UNLINK", plan.unlink);
        }
    }
    return {std::move(plan), std::nullopt};
}

std::vector<Package> CondaManager::outdatedFrom(const DryRun& plan, const std::vector<Package>& installed,
                                                const std::string& environment) {
    std::vector<Package> outdated;
    for (const PlannedAction& link : plan.link) {
        if (isPyPIChannel(link.channel)) continue;
        auto current = std::find_if(installed.begin(), installed.end(),
                                    [&](const Package& package) { return package.name == link.name; });
        auto unlinked = std::find_if(plan.unlink.begin(), plan.unlink.end(),
                                     [&](const PlannedAction& unlink) { return unlink.name == link.name; });
        Package package;
        if (current != installed.end()) {
            package = *current;
        } else if (unlinked != plan.unlink.end()) {
            package.name = link.name;
            package.version = unlinked->version;
            package.type = PackageType::CondaPackage;
            package.sourceIdentifier = environment;
            if (!unlinked->channel.empty()) package.tap = unlinked->channel;
        } else {
            continue;  // a new dependency the update would bring in
        }
        if (package.version == link.version) continue;
        package.id = Uuid::random();
        package.latestVersion = link.version;
        outdated.push_back(std::move(package));
    }
    return outdated;
}

// ---- Inventory -----------------------------------------------------------------------

std::vector<std::string> CondaManager::environments(const std::string& conda, std::optional<std::string>& error,
                                                    std::stop_token stop) {
    std::string failure;
    try {
        ShellCommandResult result = runConda(conda, {"env", "list", "--json"}, kListTimeout, stop, true);
        Parsed<std::vector<std::string>> parsed = parseEnvironments(result.standardOutput);
        if (parsed.value) return *parsed.value;
        failure = parsed.error.value_or("conda env list failed");
    } catch (const CancellationError&) {
        throw;
    } catch (const CommandError& command) {
        if (stop.stop_requested()) throw CancellationError();
        failure = command.description();
    }
    logger().warning(localized("log.command_failed", {"conda env list", failure}));
    error = localized("error.conda.command_failed", {excerpt(failure, 300)});
    // The installation the executable belongs to is an environment of its own.
    std::vector<std::string> fallback;
    const std::size_t bin = conda.rfind("/bin/");
    if (bin != std::string::npos && bin > 0 && files_.directoryExists(conda.substr(0, bin) + "/conda-meta")) {
        fallback.push_back(conda.substr(0, bin));
    }
    return fallback;
}

CondaManager::EnvironmentListing CondaManager::listEnvironment(const std::string& conda, const std::string& environment,
                                                               std::stop_token stop) {
    EnvironmentListing listing;
    std::string failure;
    try {
        ShellCommandResult result = runConda(conda, {"list", "--json", "-p", environment}, kListTimeout, stop, true);
        Parsed<std::vector<Entry>> parsed = parseList(result.standardOutput);
        if (parsed.value) {
            for (const Entry& entry : *parsed.value) {
                // pip reports what pip installed, with its own environment rules.
                if (isPyPIChannel(entry.channel)) continue;
                Package package;
                package.name = entry.name;
                package.version = entry.version;
                package.type = PackageType::CondaPackage;
                package.sourceIdentifier = environment;
                if (!entry.channel.empty()) package.tap = entry.channel;
                if (!entry.build.empty()) package.description = entry.build;
                listing.packages.push_back(std::move(package));
            }
            return listing;
        }
        failure = parsed.error.value_or("conda list failed");
    } catch (const CancellationError&) {
        throw;
    } catch (const CommandError& command) {
        if (stop.stop_requested()) throw CancellationError();
        failure = command.description();
    }
    logger().warning(localized("log.conda.list_failed", {environment, failure}));
    listing.error = localized("error.conda.command_failed", {excerpt(failure, 300)});
    return listing;
}

std::vector<Package> CondaManager::keepInventoryIfEmptied(const std::string& environment, std::vector<Package> packages,
                                                          std::optional<std::string>& error) {
    std::vector<Package> previous;
    {
        std::scoped_lock lock(condaMutex_);
        if (!updatedEnvironments_.count(environment)) return packages;
        if (!packages.empty()) {
            updatedEnvironments_.erase(environment);
            return packages;
        }
        if (auto found = inventory_.find(environment); found != inventory_.end()) previous = found->second;
    }
    if (previous.empty()) return packages;
    // An environment does not lose every package to an update: conda answered too early
    // (a lock, a half-written conda-meta); the rows of the last good listing stay.
    logger().warning(localized("log.conda.refresh_empty", {environment, std::to_string(previous.size())}));
    error = localized("error.conda.refresh_preserved_inventory", {environment});
    return previous;
}

std::vector<Package> CondaManager::publishInventory() {
    std::vector<Package> packages;
    {
        std::scoped_lock lock(condaMutex_);
        for (const std::string& environment : environments_) {
            auto found = inventory_.find(environment);
            if (found != inventory_.end()) packages.insert(packages.end(), found->second.begin(), found->second.end());
        }
    }
    publishPackages(packages);
    return packages;
}

std::vector<Package> CondaManager::listInstalled(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) return publishEmptyListing();
    const std::string conda = binaryPath();
    std::optional<std::string> error;
    std::vector<std::string> found = environments(conda, error, stop);
    const bool complete = !error;
    std::map<std::string, std::vector<Package>> listed;
    for (const std::string& environment : found) {
        EnvironmentListing listing = listEnvironment(conda, environment, stop);
        if (listing.error) {
            if (!error) error = listing.error;
            continue;  // its previous rows, if any, stay
        }
        listed[environment] = keepInventoryIfEmptied(environment, std::move(listing.packages), error);
    }
    {
        std::scoped_lock lock(condaMutex_);
        // Without the environment list, the environments known before are still there.
        if (complete || environments_.empty()) {
            environments_ = found;
            environmentsComplete_ = complete;
        }
        for (auto& [environment, packages] : listed) inventory_[environment] = std::move(packages);
        if (complete) {
            std::erase_if(inventory_, [&](const auto& entry) {
                return std::find(found.begin(), found.end(), entry.first) == found.end();
            });
        }
    }
    std::vector<Package> packages = publishInventory();
    logger().info(localized("log.conda_inventory", {std::to_string(packages.size())}));
    setErrorMessage(error);
    return packages;
}

}  // namespace vt
