#include "managers/languages/GemManager.hpp"

#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "managers/ExecutableLocator.hpp"
#include "managers/PublishTimes.hpp"
#include "managers/languages/GemError.hpp"
#include "managers/languages/GemIndex.hpp"
#include "managers/RegistryProbe.hpp"
#include "managers/languages/ToolEnvironment.hpp"
#include "model/VersionRules.hpp"
#include "system/AdminPrompt.hpp"
#include "system/Endpoints.hpp"
#include "system/FileSystemManager.hpp"
#include "system/RegistryRequest.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("GemManager");
    return instance;
}

// A real source's index inflates to some ten megabytes; anything far past it is not one.
constexpr std::size_t kMaxIndexBytes = 256u * 1024 * 1024;

bool isRubyGemsItself(std::string_view name) { return name == "rubygems-update" || name == "rubygems"; }

std::string canonical(const std::string& path) {
    std::error_code error;
    std::filesystem::path resolved = std::filesystem::canonical(path, error);
    return error ? path : resolved.string();
}

// The lowest Ruby each RubyGems series declares (its gemspec's required_ruby_version). `gem
// search --all` lists version numbers only, so a release is matched to the Ruby through its
// series; a series newer than this table is never chosen, since nothing says what it needs.
struct SeriesRequirement {
    int major, minor;
    const char* minimumRuby;
};
constexpr SeriesRequirement kRubyGemsSeries[] = {
    {3, 6, "3.1.0"}, {3, 5, "3.0.0"}, {3, 4, "2.6.0"}, {3, 3, "2.3.0"}, {3, 2, "2.3.0"},
    {3, 1, "2.3.0"}, {3, 0, "2.3.0"}, {2, 7, "1.8.7"},
};

}  // namespace

const SourceRow& GemManager::source() {
    static const SourceRow row{.id = "gems", .name = "RubyGems", .executables = {"gem"},
                               .types = {PackageType::RubyGem}, .toggle = ManagerToggleKey::ShowGems,
                               .completionLine = "RubyGems", .logTag = "gems",
                               .make = makeAdapter<GemManager>};
    return row;
}

GemManager::GemManager(CommandRunning& runner, const FileSystemManager& files) : GemManager(runner, files, Options{}) {}

GemManager::GemManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : BaseManager(source(), runner, files),
      options_(std::move(options)),
      latestCache_(LatestVersionCache::forRegistry(options_.cacheFile, kCacheFileName, options_.clock, "GemManager")) {
    if (options_.network != nullptr) setNetwork(*options_.network);
}

GemManager::~GemManager() = default;

std::string GemManager::home() const { return options_.home.value_or(paths::home()); }

std::map<std::string, std::string> GemManager::environment() const {
    return toolEnvironment({"GEM_HOME", "GEM_PATH", "GEMRC", "RBENV_ROOT", "RBENV_VERSION", "ASDF_DATA_DIR",
                            "MISE_DATA_DIR"},
                           options_.environment);
}

bool GemManager::isGemName(std::string_view name) {
    static const Regex pattern(R"(^[A-Za-z0-9][A-Za-z0-9._-]*$)");
    return name.size() < 256 && pattern.fullyMatches(name) && RegistryProbe::isSafeName(name);
}

std::vector<std::string> GemManager::candidatePaths() const {
    const std::string h = home();
    std::vector<std::string> candidates = {
        kSystemGem,
        "/opt/homebrew/opt/ruby/bin/gem",
        "/usr/local/opt/ruby/bin/gem",
        h + "/.rbenv/shims/gem",
        h + "/.asdf/shims/gem",
        h + "/.local/share/mise/shims/gem",
    };
    // rvm, chruby and ruby-install keep one folder per Ruby.
    for (const std::string& root : {h + "/.rvm/rubies", h + "/.rubies", std::string("/opt/rubies")}) {
        if (!files_.directoryExists(root)) continue;
        std::vector<std::string> rubies;
        try {
            rubies = files_.contentsOfDirectory(root);
        } catch (const std::exception& error) {
            logger().debug(localized("log.gem.rubies_unreadable", {root, error.what()}));
        }
        std::sort(rubies.begin(), rubies.end());
        for (const std::string& ruby : rubies) candidates.push_back(root + "/" + ruby + "/bin/gem");
    }
    return candidates;
}

std::vector<std::string> GemManager::gemPaths() {
    if (options_.gemPaths) return *options_.gemPaths;
    std::vector<std::string> found;
    std::vector<std::string> seen;
    std::vector<std::string> candidates;
    if (isAvailable()) candidates.push_back(binaryPath());
    for (const std::string& candidate : candidatePaths()) candidates.push_back(candidate);
    for (const std::string& candidate : candidates) {
        if (!files_.isExecutableFile(candidate)) continue;
        std::string resolved = canonical(candidate);
        if (std::find(seen.begin(), seen.end(), resolved) != seen.end()) continue;
        seen.push_back(resolved);
        found.push_back(candidate);
    }
    return found;
}

std::optional<std::string> GemManager::locateExecutable(std::stop_token stop) {
    if (options_.gemPaths) {
        for (const std::string& gem : *options_.gemPaths) {
            if (files_.isExecutableFile(gem)) return gem;
        }
        return std::nullopt;
    }
    return ExecutableLocator(files_).locate(identity().executables, stop, candidatePaths());
}

std::vector<GemManager::RubyGem> GemManager::parseGemList(std::string_view text) {
    static const Regex line(R"(^([A-Za-z0-9][A-Za-z0-9._-]*) \(([^()]*)\)\s*$)");
    std::vector<RubyGem> gems;
    for (std::string_view raw : splitLines(text)) {
        std::optional<Regex::Match> match = line.search(trimView(raw));
        if (!match || !match->groups[0] || !match->groups[1]) continue;
        // "3.1.1, default: 3.1.0", "1.15.4 x86_64-linux", "default: 0.1.0"
        std::string_view first = trimView(split(*match->groups[1], ',').front());
        if (startsWith(first, "default:")) first = trimView(first.substr(8));
        first = first.substr(0, first.find(' '));
        if (first.empty() || !std::isdigit(static_cast<unsigned char>(first.front()))) continue;
        std::string name(*match->groups[0]);
        if (std::any_of(gems.begin(), gems.end(), [&](const RubyGem& gem) { return gem.name == name; })) continue;
        gems.push_back({std::move(name), std::string(first)});
    }
    return gems;
}

std::optional<std::pair<std::string, std::string>> GemManager::suggestedInstall(std::string_view output) {
    static const Regex suggestion(R"(gem install ([A-Za-z0-9][A-Za-z0-9._-]*) -v ([0-9][0-9A-Za-z.]*))");
    std::optional<Regex::Match> match = suggestion.search(output);
    if (!match || !match->groups[0] || !match->groups[1]) return std::nullopt;
    return std::make_pair(std::string(*match->groups[0]), std::string(*match->groups[1]));
}

std::optional<std::string> GemManager::compatibleRubyGemsVersion(std::string_view searchOutput,
                                                                 std::string_view rubyVersion) {
    static const Regex listing(R"(^rubygems-update \(([^()]*)\))");
    std::optional<Regex::Match> match;
    for (std::string_view raw : splitLines(searchOutput)) {
        match = listing.search(trimView(raw));
        if (match) break;
    }
    if (!match || !match->groups[0] || trimView(rubyVersion).empty()) return std::nullopt;
    std::optional<std::string> best;
    for (std::string_view entry : split(*match->groups[0], ',')) {
        std::string version(trimView(entry).substr(0, trimView(entry).find(' ')));
        std::vector<std::string_view> parts = split(version, '.');
        if (parts.size() < 2 || contains(version, "pre") || contains(version, "rc")) continue;
        int major = std::atoi(std::string(parts[0]).c_str());
        int minor = std::atoi(std::string(parts[1]).c_str());
        for (const SeriesRequirement& series : kRubyGemsSeries) {
            if (series.major != major || series.minor != minor) continue;
            if (compareVersions(rubyVersion, series.minimumRuby) == VersionOrder::Ascending) break;
            if (!best || compareVersions(*best, version) == VersionOrder::Ascending) best = version;
        }
    }
    return best;
}

GemManager::GemCategory GemManager::category(std::string_view name) {
    const std::string lower = toLower(name);
    const auto any = [&](std::initializer_list<const char*> words) {
        return std::any_of(words.begin(), words.end(), [&](const char* word) { return contains(lower, word); });
    };
    if (any({"rspec", "minitest", "cucumber", "capybara", "factory_bot", "faker", "simplecov", "webmock", "vcr"}))
        return GemCategory::Testing;
    if (any({"rubocop", "standard", "reek", "brakeman", "erb_lint", "haml_lint"})) return GemCategory::Linting;
    if (lower == "rails" || any({"railties", "actionpack", "actionview", "activerecord", "activesupport",
                                 "activemodel", "actioncable", "activejob", "actionmailer"}))
        return GemCategory::Rails;
    if (any({"devise", "omniauth", "jwt", "bcrypt", "doorkeeper", "pundit", "cancancan"}))
        return GemCategory::Authentication;
    if (any({"pg", "mysql2", "sqlite3", "redis", "sequel", "mongo", "activerecord"})) return GemCategory::Database;
    if (any({"rake", "bundler", "pry", "thor", "irb", "rdoc", "solargraph", "debug", "foreman"}))
        return GemCategory::Tools;
    return GemCategory::Other;
}

std::string GemManager::categoryKey(GemCategory category) {
    switch (category) {
        case GemCategory::Testing: return "enum.gem_category.testing";
        case GemCategory::Linting: return "enum.gem_category.linting";
        case GemCategory::Rails: return "enum.gem_category.rails";
        case GemCategory::Authentication: return "enum.gem_category.authentication";
        case GemCategory::Database: return "enum.gem_category.database";
        case GemCategory::Tools: return "enum.gem_category.tools";
        case GemCategory::Other: break;
    }
    return "enum.gem_category.other";
}

ShellCommandResult GemManager::runGem(const std::string& gem, std::vector<std::string> arguments, double timeout,
                                      std::stop_token stop, bool allowFailure) {
    CommandRequest request;
    request.command = gem;
    request.arguments = std::move(arguments);
    request.timeout = timeout;
    request.environment = environment();
    request.allowNonZeroExit = allowFailure;
    return run(request, stop);
}

std::optional<std::vector<GemManager::RubyGem>> GemManager::readSpecifications(const std::string& gem,
                                                                             std::stop_token stop) {
    ShellCommandResult result;
    try {
        result = runGem(gem, {"env", "gempath"}, kEnvTimeout, stop, true);
    } catch (const CommandError&) {
        if (stop.stop_requested()) throw CancellationError();
        return std::nullopt;
    }
    if (result.exitCode != 0) return std::nullopt;
    std::map<std::string, std::string> newest;
    for (std::string_view folder : split(trimView(result.standardOutput), ':')) {
        // Anything but absolute folders is not the answer we asked for.
        if (folder.empty() || folder.front() != '/') return std::nullopt;
        for (const char* specifications : {"/specifications", "/specifications/default"}) {
            std::string directory(folder);
            directory += specifications;
            if (!files_.directoryExists(directory)) continue;
            try {
                for (const std::string& entry : files_.contentsOfDirectory(directory)) {
                    if (!endsWith(entry, ".gemspec")) continue;
                    std::optional<gemindex::Stub> stub = gemindex::readStub(files_.readFile(directory + "/" + entry));
                    if (!stub) return std::nullopt;  // only Ruby can read it
                    if (!isGemName(stub->name) || !std::isdigit(static_cast<unsigned char>(stub->version.front()))) {
                        continue;
                    }
                    auto [known, inserted] = newest.emplace(stub->name, stub->version);
                    if (!inserted && compareVersions(known->second, stub->version) == VersionOrder::Ascending) {
                        known->second = stub->version;
                    }
                }
            } catch (const std::exception& error) {
                logger().debug(localized("log.gem.rubies_unreadable", {directory, error.what()}));
                return std::nullopt;
            }
        }
    }
    // Every Ruby has its default gems: none at all means the folders were not where it said.
    if (newest.empty()) return std::nullopt;
    std::vector<RubyGem> gems;
    for (auto& [name, version] : newest) gems.push_back({name, std::move(version)});
    return gems;
}

std::vector<GemManager::RubyGem> GemManager::installedGems(const std::string& gem, std::stop_token stop) {
    if (std::optional<std::vector<RubyGem>> gems = readSpecifications(gem, stop)) return std::move(*gems);
    return parseGemList(runGem(gem, {"list", "--local"}, kListTimeout, stop, false).standardOutput);
}

GemManager::Scan GemManager::scanAll(std::stop_token stop) {
    Scan scan;
    for (const std::string& gem : gemPaths()) {
        try {
            std::vector<RubyGem> gems = installedGems(gem, stop);
            logger().info(localized("log.gem.installed_count", {gem, std::to_string(gems.size())}));
            auto& installed = scan.perBinary[gem];
            for (RubyGem& found : gems) {
                installed[found.name] = found.version;
                // The first Ruby to report a gem owns it, and its gem executable updates it.
                if (scan.sourceBinaries.emplace(found.name, gem).second) scan.gems.push_back(std::move(found));
            }
        } catch (const CommandError& error) {
            if (stop.stop_requested()) throw CancellationError();
            logger().warning(localized("log.gem.scan_error", {gem, error.description()}));
            scan.errors.push_back("Error scanning with " + gem + ": " + excerpt(trimView(error.detail()), 200));
        }
    }
    std::scoped_lock lock(gemMutex_);
    scan_ = scan;
    return scan;
}

Package GemManager::makePackage(const RubyGem& gem, const Scan& scan) const {
    Package package;
    package.name = gem.name;
    package.version = gem.version;
    package.type = PackageType::RubyGem;
    package.description = localized(categoryKey(category(gem.name)));
    if (auto owner = scan.sourceBinaries.find(gem.name); owner != scan.sourceBinaries.end()) {
        package.sourceIdentifier = owner->second;
    }
    return package;
}

std::vector<Package> GemManager::listInstalled(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) {
        return publishEmptyListing();
    }
    Scan scan = scanAll(stop);
    std::vector<Package> packages;
    for (const RubyGem& gem : scan.gems) packages.push_back(makePackage(gem, scan));
    setErrorMessage(scan.errors.empty() ? std::nullopt : std::optional<std::string>(join(scan.errors, "; ")));
    publishPackages(packages);
    return packages;
}

std::vector<Package> GemManager::checkOutdated(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) {
        setErrorMessage(std::nullopt);
        return {};
    }
    std::optional<Scan> known;
    {
        std::scoped_lock lock(gemMutex_);
        known = scan_;
    }
    if (!known) known = scanAll(stop);
    std::vector<std::string> names;
    for (const RubyGem& gem : known->gems) {
        if (isGemName(gem.name)) names.push_back(gem.name);
    }
    RegistryProbe registry(network(), Service::RubyGems, "GemManager");
    std::map<std::string, LatestVersionCache::Answer> answers;
    if (std::optional<std::map<std::string, std::string>> indexed = latestFromIndex(names, registry, stop)) {
        std::vector<std::string> outdatedNames;
        for (const RubyGem& gem : known->gems) {
            auto found = indexed->find(gem.name);
            if (found == indexed->end()) continue;
            answers[gem.name] = {found->second, {}, {}};
            if (isUpdateAvailable(gem.version, found->second, false)) outdatedNames.push_back(gem.name);
        }
        // The index dates nothing: with dates wanted, the API is asked for the outdated gems only.
        if (wantsPublishTimes()) {
            for (auto& [name, answer] : latestFromApi(outdatedNames, registry, stop)) answers[name] = std::move(answer);
        }
    } else {
        answers = latestFromApi(names, registry, stop);
    }
    std::map<std::string, std::string> latest;
    for (const auto& [name, answer] : answers) latest[name] = answer.version;

    for (const auto& [gem, installed] : known->perBinary) {
        long count = 0;
        for (const auto& [name, version] : installed) {
            auto found = latest.find(name);
            if (found != latest.end() && isUpdateAvailable(version, found->second, false)) ++count;
        }
        logger().info(localized("log.gem.outdated_count", {gem, std::to_string(count)}));
    }
    std::vector<Package> outdated;
    for (const RubyGem& gem : known->gems) {
        auto found = latest.find(gem.name);
        if (found == latest.end() || !isUpdateAvailable(gem.version, found->second, false)) continue;
        Package package = makePackage(gem, *known);
        package.latestVersion = found->second;
        package.releases = releasesNewerThan(gem.version, answers.at(gem.name).releases);
        outdated.push_back(std::move(package));
    }
    std::vector<std::string> messages;
    if (registry.wasUnreachable()) messages.push_back(registry.unreachableMessage());
    messages.insert(messages.end(), known->errors.begin(), known->errors.end());
    {
        std::scoped_lock lock(gemMutex_);
        if (pathHint_) messages.push_back(*pathHint_);
    }
    setErrorMessage(messages.empty() ? std::nullopt : std::optional<std::string>(join(messages, "; ")));
    markLatestVersionsUnknown(registry.wasUnreachable());
    return outdated;
}

std::map<std::string, LatestVersionCache::Answer> GemManager::latestFromApi(const std::vector<std::string>& names,
                                                                          RegistryProbe& registry,
                                                                          std::stop_token stop) {
    // With publish times wanted, the list of every version (each dated) is asked instead of the
    // latest alone: one request either way.
    const bool dated = wantsPublishTimes();
    const auto lookup = registry.revalidatingLookup(
        [dated](std::string_view gem) {
            std::string route = "/api/v1/versions/";
            route += gem;
            route += dated ? ".json" : "/latest.json";
            return Endpoints::url(Service::RubyGems, route);
        },
        [](const std::string&) { return std::string(); },  // the same answer whatever is installed
        [dated](const Json& document, const std::string&, std::stop_token) -> std::optional<LatestVersionCache::Answer> {
            if (dated) {
                std::optional<std::string> version = publishtimes::latestOfRubyGemsVersions(document);
                if (!version) return std::nullopt;
                return LatestVersionCache::Answer{*version, publishtimes::fromRubyGemsVersions(document), {}};
            }
            if (!document.is_object()) return std::nullopt;
            std::optional<std::string> version = stringField(document, "version");
            // The API answers "unknown" for a gem it does not have (a private or local gem).
            if (!version || version->empty() || *version == "unknown") return std::nullopt;
            return LatestVersionCache::Answer{*version, {}, {}};
        });
    return latestCache_.latestRevalidated(names, lookup, stop, registry.scope() + (dated ? " dated" : ""));
}

std::string GemManager::indexFile() const {
    const std::string folder = options_.cacheFile ? std::filesystem::path(*options_.cacheFile).parent_path().string()
                                                  : paths::cacheFolder();
    return folder + "/" + kIndexFileName;
}

std::optional<std::map<std::string, std::string>> GemManager::latestFromIndex(const std::vector<std::string>& names,
                                                                              RegistryProbe& registry,
                                                                              std::stop_token stop) {
    const std::string file = indexFile();
    const std::string stateFile = file + ".json";
    const std::string scope = registry.scope();
    const Clock::TimePoint now = (options_.clock != nullptr ? *options_.clock : Clock::shared()).now();
    const std::set<std::string, std::less<>> wanted(names.begin(), names.end());
    const std::string platform = gemindex::localPlatform();
    const auto newest = [&](std::string_view compressed) -> std::optional<std::map<std::string, std::string>> {
        std::optional<std::string> marshal = gemindex::gunzip(compressed, kMaxIndexBytes);
        if (!marshal) return std::nullopt;
        return gemindex::newestReleases(*marshal, wanted, platform);
    };
    const auto saveState = [&](const std::optional<std::string>& etag, const std::optional<std::string>& modified) {
        Json state{{"scope", scope}, {"checkedAt", toReferenceSeconds(now)}};
        if (etag) state["etag"] = *etag;
        if (modified) state["lastModified"] = *modified;
        writeFileAtomically(stateFile, dumpJson(state));
    };

    // The index kept from the same source, with what revalidates it.
    std::optional<std::string> kept;
    std::optional<std::string> etag;
    std::optional<std::string> modified;
    std::optional<Clock::TimePoint> checkedAt;
    if (std::optional<Json> state = parseJson(readFile(stateFile).value_or(""));
        state && state->is_object() && stringField(*state, "scope") == scope) {
        kept = readFile(file);
        etag = stringField(*state, "etag");
        modified = stringField(*state, "lastModified");
        if (std::optional<double> at = numberField(*state, "checkedAt")) checkedAt = fromReferenceSeconds(*at);
    }
    if (kept && checkedAt && now >= *checkedAt && now - *checkedAt < kIndexTimeToLive) {
        if (auto latest = newest(*kept)) return latest;
        kept.reset();
    }

    HttpRequest request;
    try {
        request = RegistryRequest::get(Endpoints::url(Service::RubyGems, "/latest_specs.4.8.gz"));
    } catch (const std::exception& error) {
        logger().warning(localized("log.registry.no_address", {"latest_specs.4.8.gz", error.what()}));
        return std::nullopt;
    }
    if (kept && etag) request.ifNoneMatch = etag;
    if (kept && modified) request.headers.set("If-Modified-Since", *modified);
    std::optional<HttpResponse> response = registry.send(request, stop);
    // The API lives on the same host: offline, its requests would each fail in turn.
    if (!response && registry.wasUnreachable()) registry.giveUp();
    try {
        paths::ensureFolder(std::filesystem::path(file).parent_path().string());
        if (response && response->isNotModified() && kept) {
            if (auto latest = newest(*kept)) {
                saveState(etag, modified);
                return latest;
            }
        } else if (response && response->statusCode == 200) {
            if (auto latest = newest(response->body)) {
                writeFileAtomically(file, response->body);
                saveState(response->etag(), response->header("Last-Modified"));
                return latest;
            }
            logger().debug(localized("log.registry.no_information", {request.url, "latest_specs.4.8.gz"}));
        } else if (response) {
            logger().debug(localized("log.registry.no_information",
                                     {request.url, localized("log.http_status", {std::to_string(response->statusCode)})}));
        }
    } catch (const FileWriteError& error) {
        logger().warning(localized("log.could_not_save", {file, error.what()}));
    }
    // Out of reach: the index kept last stands in, as the last versions known do.
    if (kept) return newest(*kept);
    return std::nullopt;
}

std::string GemManager::gemFor(const Package& package) {
    const std::vector<std::string> known = gemPaths();
    if (package.sourceIdentifier &&
        std::find(known.begin(), known.end(), *package.sourceIdentifier) != known.end()) {
        return *package.sourceIdentifier;
    }
    {
        std::scoped_lock lock(gemMutex_);
        if (scan_) {
            if (auto owner = scan_->sourceBinaries.find(package.name); owner != scan_->sourceBinaries.end()) {
                return owner->second;
            }
        }
    }
    return binaryPath();
}

std::string GemManager::rubyVersionOf(const std::string& gem, std::stop_token stop) {
    static const Regex line(R"(RUBY VERSION:\s*([0-9][0-9.]*))");
    try {
        ShellCommandResult result = runGem(gem, {"environment"}, kEnvTimeout, stop, true);
        if (auto match = line.search(result.standardOutput); match && match->groups[0]) {
            return std::string(*match->groups[0]);
        }
    } catch (const CommandError&) {
        if (stop.stop_requested()) throw CancellationError();
    }
    return "";
}

bool GemManager::gemDirectoryWritable(const std::string& gem, std::stop_token stop) {
    try {
        ShellCommandResult result = runGem(gem, {"environment", "gemdir"}, kEnvTimeout, stop, true);
        const std::string directory = trim(result.standardOutput);
        if (result.exitCode != 0 || directory.empty()) return true;
        return ::access(directory.c_str(), W_OK) == 0;
    } catch (const CommandError&) {
        if (stop.stop_requested()) throw CancellationError();
        return true;  // gem itself will say what is wrong
    }
}

AdminPrompt& GemManager::adminPrompt() {
    if (options_.adminPrompt != nullptr) return *options_.adminPrompt;
    if (!ownedAdminPrompt_) ownedAdminPrompt_ = std::make_unique<SystemAdminPrompt>(runner_, files_);
    return *ownedAdminPrompt_;
}

void GemManager::runUpdate(const std::string& gem, const Package& package, std::vector<std::string> arguments,
                           std::stop_token stop) {
    ShellCommandResult result = runGem(gem, arguments, kUpdateTimeout, stop, true);
    const std::string output = result.standardOutput + "\n" + result.standardError;
    if (result.exitCode == 0) {
        // gem's own warning after a user install: the shell will still run the system copy.
        static const Regex notOnPath(R"(You don't have (\S+) in your PATH)");
        if (auto match = notOnPath.search(output); match && match->groups[0]) {
            std::string folder(*match->groups[0]);
            // Replaced in place: GCC 12 at -O3 sees a false overlap in "~" + a temporary.
            if (startsWith(folder, home() + "/")) folder.replace(0, home().size(), "~");
            std::string hint = localized("gem.not_on_path", {folder});
            logger().warning(hint);
            std::scoped_lock lock(gemMutex_);
            pathHint_ = hint;
        }
        return;
    }
    if (contains(output, "extensions are not built") || contains(output, "incompatible library version")) {
        throw GemError::pristineNeeded(package.name);
    }
    if (contains(output, "requires Ruby version") || contains(output, "to support your Ruby")) {
        if (auto suggestion = suggestedInstall(output); suggestion && isGemName(suggestion->first)) {
            logger().info(localized("log.gem.retry_compatible", {package.name}));
            std::vector<std::string> retry = {"install", suggestion->first, "-v", suggestion->second};
            if (std::find(arguments.begin(), arguments.end(), "--user-install") != arguments.end()) {
                retry.push_back("--user-install");
            }
            ShellCommandResult again = runGem(gem, retry, kUpdateTimeout, stop, true);
            if (again.exitCode == 0) return;
            throw GemError::commandFailed(excerpt(trimView(again.standardError + again.standardOutput), 600));
        }
    }
    throw GemError::commandFailed(excerpt(trimView(output), 600));
}

void GemManager::updateRubyGems(const std::string& gem, const Package& package, bool writable,
                                std::stop_token stop) {
    const std::vector<std::string> arguments = {"update", "--system"};
    if (!writable) {
        logger().info(localized("log.gem.permission_denied", {package.name}));
        AdminPrompt& prompt = adminPrompt();
        if (!prompt.isAvailable()) {
            throw PackageManualUpdateRequiredError(package.name, "sudo " + gem + " update --system",
                                                   localized("gem.system_update_unavailable"));
        }
        logger().info(localized("log.gem.privileged_helper", {package.name}));
        try {
            prompt.run({.prompt = localized("gem.admin_prompt"), .command = gem, .arguments = arguments,
                        .timeoutSeconds = kUpdateTimeout},
                       stop);
        } catch (const AdminPromptError& error) {
            throw GemError::adminFailed(error.kind() == AdminPromptError::Kind::Denied ? 126 : 1,
                                        gem + " update --system");
        }
        return;
    }
    ShellCommandResult result = runGem(gem, arguments, kUpdateTimeout, stop, true);
    if (result.exitCode == 0) return;
    const std::string output = result.standardOutput + "\n" + result.standardError;
    if (!contains(output, "requires Ruby version") && !contains(output, "to support your Ruby")) {
        throw GemError::commandFailed(excerpt(trimView(output), 600));
    }
    std::optional<std::string> version;
    if (auto suggestion = suggestedInstall(output)) {
        logger().info(localized("log.gem.retry_compatible", {package.name}));
        version = suggestion->second;
    } else {
        const std::string ruby = rubyVersionOf(gem, stop);
        ShellCommandResult search =
            runGem(gem, {"search", "rubygems-update", "--remote", "--exact", "--all"}, kSearchTimeout, stop, true);
        version = compatibleRubyGemsVersion(search.standardOutput, ruby);
        if (!version) throw GemError::rubyTooOld(ruby.empty() ? "?" : ruby);
    }
    ShellCommandResult again = runGem(gem, {"update", "--system", *version}, kUpdateTimeout, stop, true);
    if (again.exitCode != 0) throw GemError::commandFailed(excerpt(trimView(again.standardError), 600));
}

std::optional<std::string> GemManager::pinnedVersion(const Package& package) const {
    if (isRubyGemsItself(package.name)) return std::nullopt;
    return exactVersion(package);
}

void GemManager::update(const Package& package, std::stop_token stop) {
    if (!isGemName(package.name)) throw GemError::invalidName(package.name);
    if (!discover(stop)) throw GemError::notInstalled();
    const std::string gem = gemFor(package);
    const bool writable = gemDirectoryWritable(gem, stop);
    const std::string kind = isRubyGemsItself(package.name) ? (writable ? "system" : "admin") : (writable ? "gem" : "user");
    logger().info(
        localized("log.gem.update_start",
                  {package.name, package.version, package.latestVersion.value_or(localized("log.latest")), gem, kind}));
    if (isRubyGemsItself(package.name)) {
        updateRubyGems(gem, package, writable, stop);
        return;
    }
    // `gem install -v` installs the version shown; `gem update` takes whatever is newest.
    std::vector<std::string> arguments = {"update", package.name};
    if (const std::optional<std::string> pinned = pinnedVersion(package)) {
        arguments = {"install", package.name, "-v", *pinned};
    }
    // Outside a writable gem directory the gem goes to the user's own one instead of asking
    // for administrator rights to change a Ruby the system owns.
    if (!writable) arguments.push_back("--user-install");
    runUpdate(gem, package, std::move(arguments), stop);

    std::vector<RubyGem> after;
    try {
        after = installedGems(gem, stop);
    } catch (const CommandError& error) {
        logger().warning(localized("log.list_after_update_failed", {"gem list", error.description()}));
        return;
    }
    std::scoped_lock lock(gemMutex_);
    for (const RubyGem& found : after) {
        if (found.name != package.name) continue;
        if (scan_) scan_->perBinary[gem][found.name] = found.version;
        if (found.version == package.version && package.latestVersion && *package.latestVersion != package.version) {
            throw GemError::versionUnchanged(found.version);
        }
    }
}


std::vector<std::string> GemManager::listingInputs() {
    std::vector<std::string> roots{"/var/lib/gems", "/usr/lib/ruby/gems", "/usr/share/rubygems-integration",
                                   home() + "/.local/share/gem/ruby", home() + "/.gem/ruby"};
    std::vector<std::string> paths;
    // Each root holds one folder per Ruby version ("3.1.0"), each with its specifications.
    for (const std::string& root : roots) {
        std::vector<std::string> versions;
        addFolderAndEntries(versions, root);
        for (std::size_t i = 1; i < versions.size(); ++i) addFolderAndEntries(paths, versions[i] + "/specifications");
        paths.push_back(root);
    }
    for (const char* name : {"GEM_HOME", "GEM_PATH"}) {
        const std::string value = variable(options_.environment, name).value_or("");
        for (std::string_view folder : split(value, ':')) {
            if (!folder.empty()) addFolderAndEntries(paths, std::string(folder) + "/specifications");
        }
    }
    for (const std::string& manager : {home() + "/.rbenv/versions", home() + "/.asdf/installs/ruby"}) {
        std::vector<std::string> versions;
        addFolderAndEntries(versions, manager);
        for (std::size_t i = 1; i < versions.size(); ++i) {
            std::vector<std::string> gemRoots;
            addFolderAndEntries(gemRoots, versions[i] + "/lib/ruby/gems");
            for (std::size_t j = 1; j < gemRoots.size(); ++j) addFolderAndEntries(paths, gemRoots[j] + "/specifications");
        }
    }
    return paths;
}

}  // namespace vt
