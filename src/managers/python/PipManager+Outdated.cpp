// The outdated check: one per environment, all at once, from the index pages themselves or
// from pip (an index out of reach told from its standard error, pip-review behind it), and
// the packages pip does not own.
#include "managers/python/PipManager.hpp"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <map>
#include <memory>
#include <set>

#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "managers/LatestVersionCache.hpp"
#include "managers/PublishTimes.hpp"
#include "managers/RegistryProbe.hpp"
#include "system/Endpoints.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("PipManager");
    return instance;
}

// What urllib3 and the system say when no connection to the index could be made (or none
// answered within PIP_TIMEOUT). An HTTP error or a certificate problem is not among them:
// those indexes answered.
constexpr std::string_view kConnectionFailures[] = {
    "NewConnectionError",
    "ConnectTimeoutError",
    "Failed to establish a new connection",
    "Connection refused",
    "Name or service not known",
    "Temporary failure in name resolution",
    "nodename nor servname",
    "No address associated with",
    "Network is unreachable",
    "No route to host",
    "ProxyError",
    "Cannot connect to proxy",
    "ReadTimeoutError",
    "Read timed out",
    "RemoteDisconnected",
    "Connection aborted",
    "Connection reset by peer",
};

// The project of one retry warning of pip ("WARNING: Retrying (Retry(total=0, ...)) after
// connection broken by 'NewConnectionError(...)': /simple/requests/"), when the connection
// failed; the line itself when it names none.
std::optional<std::string> failedProject(std::string_view line) {
    if (!contains(line, "Retrying (")) return std::nullopt;
    bool failed = std::any_of(std::begin(kConnectionFailures), std::end(kConnectionFailures),
                              [&](std::string_view marker) { return contains(line, marker); });
    if (!failed) return std::nullopt;
    std::size_t at = line.rfind("': ");
    if (at == std::string_view::npos) return std::string(trimView(line));
    std::string_view path = trimView(line.substr(at + 3));
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    std::string_view project = path.substr(path.rfind('/') + 1);
    if (project.empty()) return std::string(trimView(line));
    return PipManager::normalizedName(project);
}

// Reads pip's standard error as it arrives and tells when connections failed for enough
// projects to call the index out of reach.
class IndexFailureWatch {
public:
    explicit IndexFailureWatch(std::size_t threshold) : threshold_(threshold) {}

    void feed(std::string_view chunk) {
        pending_ += chunk;
        std::size_t end;
        while ((end = pending_.find('\n')) != std::string::npos) {
            if (auto project = failedProject(std::string_view(pending_).substr(0, end))) projects_.insert(*project);
            pending_.erase(0, end + 1);
        }
    }
    std::size_t count() const { return projects_.size(); }
    bool reached() const { return projects_.size() >= threshold_; }

private:
    std::size_t threshold_;
    std::string pending_;
    std::set<std::string> projects_;
};

// pip ends a failure with its reason; a traceback before it would fill the message.
std::string lastLine(std::string_view text) {
    std::vector<std::string_view> lines = splitLines(trimView(text));
    return lines.empty() ? std::string() : trim(lines.back());
}

// "<name>-<version>.dist-info" (or .egg-info), as the name part.
std::optional<std::string> metadataProjectName(std::string_view folder) {
    std::string_view stem;
    if (endsWith(folder, ".dist-info")) {
        stem = folder.substr(0, folder.size() - 10);
    } else if (endsWith(folder, ".egg-info")) {
        stem = folder.substr(0, folder.size() - 9);
    } else {
        return std::nullopt;
    }
    for (std::size_t i = 0; i + 1 < stem.size(); ++i) {
        if (stem[i] == '-' && std::isdigit(static_cast<unsigned char>(stem[i + 1])) != 0)
            return std::string(stem.substr(0, i));
    }
    return std::string(stem);
}

}  // namespace

std::set<std::string> PipManager::unreachableProjects(std::string_view standardError) {
    std::set<std::string> projects;
    for (std::string_view line : splitLines(standardError)) {
        if (auto project = failedProject(line)) projects.insert(*project);
    }
    return projects;
}

PipManager::EnvironmentOutdated PipManager::outdatedOf(const Environment& environment, std::size_t installed,
                                                       std::stop_token stop) {
    return outdatedInFlight_.share(environment.interpreter,
                                   [&] { return runOutdated(environment, installed, stop); }, stop);
}

PipManager::EnvironmentOutdated PipManager::runOutdated(const Environment& environment, std::size_t installed,
                                                        std::stop_token stop) {
    EnvironmentOutdated outcome;
    // pip looks every installed project up: with fewer than the evidence asked for, all of
    // them failing is the evidence.
    const std::size_t threshold = std::clamp<std::size_t>(installed, 1, kUnreachableEvidence);
    IndexFailureWatch watch(threshold);
    std::stop_source local;
    std::stop_callback forward(stop, [&local] { local.request_stop(); });
    bool stoppedEarly = false;
    auto onStderr = [&](std::string_view chunk) {
        watch.feed(chunk);
        if (watch.reached() && !stoppedEarly) {
            stoppedEarly = true;
            local.request_stop();
        }
    };
    bool timedOut = false;
    try {
        ShellCommandResult result =
            runStreaming(pipRequest(environment, {"list", "--outdated", "--format=json"}, kOutdatedTimeout), {},
                         onStderr, local.get_token());
        const std::size_t failed = unreachableProjects(result.standardError).size();
        if (failed >= threshold) {
            outcome.indexUnreachable = true;
            return outcome;
        }
        if (failed > 0) {
            logger().warning(
                localized("log.pip.index_partly_unreachable", {environment.interpreter, std::to_string(failed)}));
        }
        if (result.exitCode != 0) {
            outcome.failure = "exit code " + std::to_string(result.exitCode) + ": " + lastLine(result.standardError);
        } else {
            Parsed<OutdatedEntry> parsed = parseOutdated(result.standardOutput);
            outcome.entries = std::move(parsed.entries);
            outcome.failure = std::move(parsed.error);
        }
    } catch (const CancellationError&) {
        if (stop.stop_requested() || !stoppedEarly) throw;
        outcome.indexUnreachable = true;
        return outcome;
    } catch (const CommandError& error) {
        timedOut = error.kind() == CommandError::Kind::Timeout;
        if (timedOut && watch.count() > 0) {
            outcome.indexUnreachable = true;
            return outcome;
        }
        outcome.failure = error.description();
    }
    if (!outcome.failure) return outcome;
    logger().warning(localized("log.pip.outdated_failed", {environment.interpreter, *outcome.failure}));
    // pip-review asks the same index the same way: after a time-out it would only take as long.
    if (timedOut) return outcome;
    if (std::optional<std::vector<OutdatedEntry>> review = runPipReview(environment, stop)) {
        outcome.entries = std::move(*review);
        outcome.failure.reset();
    }
    return outcome;
}

std::set<std::string> PipManager::unreachableIndexes(const std::map<std::string, PipIndex::Settings>& readable,
                                                    const std::map<std::string, std::vector<InstalledEntry>>& askable,
                                                    std::stop_token stop) {
    // Each index with a page someone shows, asked for that page.
    std::vector<std::pair<std::string, HttpRequest>> first;
    for (const auto& [interpreter, settings] : readable) {
        auto shown = askable.find(interpreter);
        if (shown == askable.end() || shown->second.empty()) continue;
        for (const std::string& url : settings.indexUrls) {
            if (std::any_of(first.begin(), first.end(), [&](const auto& known) { return known.first == url; })) continue;
            first.emplace_back(url, indexPageRequest(url, shown->second.front().name, settings));
        }
    }
    std::vector<char> answered(first.size(), 0);
    LatestVersionCache::forEachConcurrently(
        first.size(), kIndexConcurrency,
        [&](std::size_t i) {
            RegistryProbe probe(network(), Service::PyPI, "PipManager");
            answered[i] = probe.send(first[i].second, stop).has_value() ? 1 : 0;
        },
        stop);
    std::set<std::string> unreachable;
    for (std::size_t i = 0; i < first.size(); ++i) {
        if (answered[i] == 0) unreachable.insert(first[i].first);
    }
    return unreachable;
}

HttpRequest PipManager::indexPageRequest(const std::string& indexUrl, const std::string& name,
                                         const PipIndex::Settings& settings) {
    HttpRequest request;
    request.url = PipIndex::pageUrl(indexUrl, name);
    request.headers.set("Accept", PipIndex::kAccept);
    request.timeoutSeconds = kIndexStallSeconds;  // to connect
    request.stallTimeoutSeconds = kIndexStallSeconds;
    request.caFile = settings.caFile;
    return request;
}

PipManager::EnvironmentOutdated PipManager::askIndex(const Environment& environment, const PipIndex::Settings& settings,
                                                     const std::vector<InstalledEntry>& entries,
                                                     const std::set<std::string>& outOfReach, std::stop_token stop) {
    const PipIndex::Target target = PipIndex::targetOf(environment, files_);
    // One probe an index: one out of reach is given up after a few names, as pip's is above.
    std::vector<std::unique_ptr<RegistryProbe>> probes;
    for (std::size_t i = 0; i < settings.indexUrls.size(); ++i)
        probes.push_back(std::make_unique<RegistryProbe>(network(), Service::PyPI, "PipManager"));
    std::vector<std::optional<pep440::Version>> newest(entries.size());
    std::atomic<std::size_t> unanswered{0};
    std::atomic<std::size_t> partly{0};
    LatestVersionCache::forEachConcurrently(
        entries.size(), kIndexConcurrency,
        [&](std::size_t i) {
            std::vector<PipIndex::Link> links;
            std::size_t answers = 0;
            for (std::size_t k = 0; k < settings.indexUrls.size(); ++k) {
                if (outOfReach.count(settings.indexUrls[k]) > 0) continue;
                const HttpRequest request = indexPageRequest(settings.indexUrls[k], entries[i].name, settings);
                std::optional<HttpResponse> response = probes[k]->send(request, stop);
                if (!response) continue;
                ++answers;
                // pip skips an index that has no such page (404) or fails to give it.
                if (!response->isSuccess()) {
                    logger().debug(localized("log.registry.no_information",
                                             {request.url, std::string("HTTP ").append(std::to_string(response->statusCode))}));
                    continue;
                }
                std::vector<PipIndex::Link> page = PipIndex::linksOfPage(response->contentType().value_or(""), response->body);
                links.insert(links.end(), std::make_move_iterator(page.begin()), std::make_move_iterator(page.end()));
            }
            if (answers == 0 && !settings.indexUrls.empty()) {
                ++unanswered;
            } else if (answers < settings.indexUrls.size()) {
                ++partly;
            }
            newest[i] = PipIndex::newest(entries[i].name, links, target, settings.preReleases);
        },
        stop);

    EnvironmentOutdated outcome;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::optional<pep440::Version> current = pep440::parse(entries[i].version);
        if (!newest[i] || !current || pep440::compare(*newest[i], *current) <= 0) continue;
        outcome.entries.push_back({entries[i].name, entries[i].version, newest[i]->text()});
    }
    // The same evidence as pip's retry warnings: every name asked, or enough of them, got no answer.
    const std::size_t failed = unanswered.load() + partly.load();
    if (unanswered.load() >= std::clamp<std::size_t>(entries.size(), 1, kUnreachableEvidence)) {
        outcome.indexUnreachable = true;
    } else if (failed > 0) {
        logger().warning(localized("log.pip.index_partly_unreachable", {environment.interpreter, std::to_string(failed)}));
    }
    return outcome;
}

std::optional<std::vector<PipManager::OutdatedEntry>> PipManager::runPipReview(const Environment& environment,
                                                                               std::stop_token stop) {
    logger().info(localized("log.pip.review_fallback", {environment.interpreter}));
    const std::string folder = environment.interpreter.substr(0, environment.interpreter.rfind('/'));
    const std::string review = folder + "/pip-review";
    if (!files_.isExecutableFile(review)) {
        logger().debug(localized("log.pip.review_missing", {environment.interpreter}));
        return std::nullopt;
    }
    CommandRequest request = pipRequest(environment, {}, kReviewTimeout);
    request.command = review;
    request.arguments.clear();
    try {
        ShellCommandResult result = run(request, stop);
        std::vector<OutdatedEntry> entries = parsePipReview(result.standardOutput);
        if (result.exitCode != 0 && entries.empty()) {
            logger().warning(
                localized("log.pip.review_failed", {environment.interpreter, lastLine(result.standardError)}));
            return std::nullopt;
        }
        return entries;
    } catch (const CommandError& error) {
        logger().warning(localized("log.pip.review_failed", {environment.interpreter, error.description()}));
        return std::nullopt;
    }
}

std::optional<PipManager::DistributionInfo> PipManager::distributionInfo(const Environment& environment,
                                                                         const OutdatedEntry& entry) const {
    const std::string wanted = normalizedName(entry.name);
    for (const std::string& site : environment.siteFolders) {
        std::vector<std::string> names;
        try {
            names = files_.contentsOfDirectory(site);
        } catch (const std::exception&) {
            continue;
        }
        for (const std::string& name : names) {
            std::optional<std::string> project = metadataProjectName(name);
            if (!project || normalizedName(*project) != wanted) continue;
            const std::string folder = site + "/" + name;
            DistributionInfo info;
            info.location = site;
            info.hasRecord = files_.fileExists(folder + "/RECORD");
            try {
                if (files_.fileExists(folder + "/INSTALLER"))
                    info.installer = trim(files_.readFile(folder + "/INSTALLER"));
            } catch (const std::exception&) {
                // An unreadable INSTALLER says nothing about who installed it.
            }
            return info;
        }
    }
    return std::nullopt;
}

bool PipManager::isOwnedByHomebrew(const Environment& environment, const OutdatedEntry& entry) const {
    std::optional<DistributionInfo> info = distributionInfo(environment, entry);
    if (!info) return false;
    // A missing RECORD alone proves nothing: packages of Debian and other distributions
    // have none and are still pip's to report.
    const bool homebrewSignal = info->installer == "brew" || contains(info->location, "/homebrew/");
    return homebrewSignal && !info->hasRecord;
}

std::vector<Package> PipManager::checkOutdated(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) return nothingFound();
    Inventory inventory = currentInventory(stop);
    // Only the environments whose packages are shown: an answer for a package another
    // environment shows would be dropped, so asking pip for it is work for nothing.
    std::set<std::string> owners;
    for (const auto& [name, interpreter] : inventory.ownerByName) owners.insert(interpreter);
    std::vector<Environment> asked;
    for (const Environment& environment : inventory.environments) {
        if (owners.count(environment.interpreter) > 0) asked.push_back(environment);
    }
    const std::string home = paths::home();
    const std::string defaultIndex = Endpoints::url(Service::PyPI, "/simple/");
    std::map<std::string, PipIndex::Settings> readable;  // interpreter -> settings we can follow
    for (const Environment& environment : asked) {
        if (auto settings = PipIndex::settingsFor(environment, home, defaultIndex, files_))
            readable.emplace(environment.interpreter, std::move(*settings));
    }
    // Only a name that is a project name goes into an address.
    std::map<std::string, std::vector<InstalledEntry>> askable;
    for (const auto& [interpreter, entries] : inventory.shown) {
        std::vector<InstalledEntry>& names = askable[interpreter];
        std::copy_if(entries.begin(), entries.end(), std::back_inserter(names),
                     [](const InstalledEntry& entry) { return isProjectName(entry.name); });
    }
    const std::set<std::string> outOfReach = unreachableIndexes(readable, askable, stop);
    std::vector<EnvironmentOutdated> outcomes =
        forEachEnvironment<EnvironmentOutdated>(asked, [&](const Environment& environment) {
            auto settings = readable.find(environment.interpreter);
            if (settings == readable.end())
                return outdatedOf(environment, inventory.installedCount.at(environment.interpreter), stop);
            auto names = askable.find(environment.interpreter);
            return askIndex(environment, settings->second,
                            names == askable.end() ? std::vector<InstalledEntry>{} : names->second, outOfReach, stop);
        });

    std::vector<Package> packages;
    std::vector<std::string> failures = inventory.failures;
    bool indexUnreachable = false;
    for (std::size_t i = 0; i < asked.size(); ++i) {
        const Environment& environment = asked[i];
        const EnvironmentOutdated& outcome = outcomes[i];
        if (outcome.indexUnreachable) {
            indexUnreachable = true;
            logger().warning(localized("log.pip.index_unreachable", {environment.interpreter}));
        }
        if (outcome.failure) {
            failures.push_back("Pip outdated command failed for " + environment.interpreter + ": " + *outcome.failure);
        }
        for (const OutdatedEntry& entry : outcome.entries) {
            const std::string name = normalizedName(entry.name);
            if (environment.isAppleManaged && name == "pip") {
                logger().info(localized("log.pip.xcode_self_update", {environment.interpreter}));
                continue;
            }
            // Reported by a higher-priority environment, whose own answer decides.
            auto owner = inventory.ownerByName.find(name);
            if (owner != inventory.ownerByName.end() && owner->second != environment.interpreter) continue;
            if (isOwnedByHomebrew(environment, entry)) {
                logger().info(localized("log.pip.homebrew_owned", {entry.name}));
                continue;
            }
            Package package;
            package.name = entry.name;
            package.version = entry.version;
            package.latestVersion = entry.latestVersion;
            package.type = PackageType::PipPackage;
            package.sourceIdentifier = environment.interpreter;
            packages.push_back(std::move(package));
        }
    }
    // pip says nothing of when a version was published; PyPI's JSON does, a document a package.
    if (wantsPublishTimes() && !packages.empty()) {
        dateFromRegistry(
            packages, network(), "PipManager",
            [](std::string_view name) { return Endpoints::url(Service::PyPI, "/pypi/" + normalizedName(name) + "/json"); },
            [](const Json& document, const Package&) { return publishtimes::fromPyPIDocument(document); }, stop);
    }
    logger().info(localized("log.manager.outdated_done", {"pip", std::to_string(packages.size())}));

    std::vector<std::string> messages;
    if (indexUnreachable) messages.push_back(localized("error.pip.index_unreachable"));
    messages.insert(messages.end(), failures.begin(), failures.end());
    setErrorMessage(messages.empty() ? std::nullopt : std::optional<std::string>(join(messages, "; ")));
    markLatestVersionsUnknown(indexUnreachable);
    return packages;
}

}  // namespace vt
