#include "updates/HomebrewAdoption.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "model/VersionRules.hpp"
#include "sources/inventory/AppBundleReader.hpp"
#include "system/AdminPrompt.hpp"
#include "system/CommandRunning.hpp"
#include "system/PrivilegedOperations.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("HomebrewAdoption");
    return instance;
}

// The end of an adoption that failed; its message is what the user sees.
class AdoptionFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

constexpr const char* kEnv = "/usr/bin/env";

std::string count(std::size_t value) { return std::to_string(value); }

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

bool pathExists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

// ---- Matching ------------------------------------------------------------------------

std::string withoutAppExtension(std::string_view name) {
    std::string_view trimmed = trimView(name);
    if (trimmed.size() > 4 && equalsIgnoringCase(trimmed.substr(trimmed.size() - 4), ".app")) {
        trimmed.remove_suffix(4);
    }
    return std::string(trimmed);
}

// Casks and bundles are named alike, and told apart by the case of spaces and dashes.
std::string tokenKey(std::string_view name) {
    std::string key = adoptionNameKey(name);
    std::replace(key.begin(), key.end(), ' ', '-');
    return key;
}

// Without its version, a cask version "1.2.3,4567" carries a build after the comma.
std::string comparableCaskVersion(std::string_view version) {
    return std::string(trimView(version.substr(0, version.find(','))));
}

bool isNewer(std::string_view candidate, std::string_view installed) {
    std::string version = comparableCaskVersion(candidate);
    if (version.empty() || version == "latest" || installed.empty()) return false;
    return compareVersions(installed, version) == VersionOrder::Ascending;
}

bool isOlder(std::string_view candidate, std::string_view installed) {
    std::string version = comparableCaskVersion(candidate);
    if (version.empty() || version == "latest" || installed.empty()) return false;
    return compareVersions(version, installed) == VersionOrder::Ascending;
}

using CaskEntry = BrewAPIClient::CaskEntry;
using Bucket = std::map<std::string, std::vector<const CaskEntry*>>;

// The casks by each key a bundle may be matched by. The map walks tokens in order, so
// the same index always gives the same answer.
struct CaskMatchIndex {
    Bucket byFileName;     // "foo.app", exactly as the artifact names it
    Bucket byArtifactKey;  // the artifact's name without its version suffix
    Bucket byDisplayName;
    Bucket byToken;

    explicit CaskMatchIndex(const BrewAPIClient::CaskIndex& casks) {
        for (const auto& entry : casks) {
            const CaskEntry& cask = entry.second;
            for (const std::string& artifact : cask.appArtifacts) {
                byFileName[toLower(artifact)].push_back(&cask);
                byArtifactKey[adoptionNameKey(artifact)].push_back(&cask);
            }
            for (const std::string& name : cask.names) byDisplayName[adoptionNameKey(name)].push_back(&cask);
            byToken[toLower(cask.token)].push_back(&cask);
        }
    }
};

// Of several casks for one key, the base cask ("foo") rather than a variant ("foo@beta"):
// the variant is what the user would pick on purpose.
const CaskEntry* preferred(const Bucket& bucket, const std::string& key) {
    auto found = bucket.find(key);
    if (found == bucket.end() || found->second.empty()) return nullptr;
    for (const CaskEntry* cask : found->second) {
        if (cask->token.find('@') == std::string::npos) return cask;
    }
    return found->second.front();
}

struct Match {
    const CaskEntry* cask = nullptr;
    AdoptableMatchConfidence confidence = AdoptableMatchConfidence::Token;
};

std::optional<Match> matchCask(const CaskMatchIndex& index, const Application& application) {
    const std::string fileName(lastPathComponent(application.bundlePath));
    if (const CaskEntry* cask = preferred(index.byFileName, toLower(fileName))) {
        return Match{cask, AdoptableMatchConfidence::BundleFileName};
    }
    if (const CaskEntry* cask = preferred(index.byArtifactKey, adoptionNameKey(fileName))) {
        return Match{cask, AdoptableMatchConfidence::AppArtifact};
    }
    if (const CaskEntry* cask = preferred(index.byDisplayName, adoptionNameKey(application.name))) {
        return Match{cask, AdoptableMatchConfidence::DisplayName};
    }
    for (const std::string& name : {fileName, application.name}) {
        if (const CaskEntry* cask = preferred(index.byToken, tokenKey(name))) {
            return Match{cask, AdoptableMatchConfidence::Token};
        }
    }
    return std::nullopt;
}

// Rules the matching leaves to us:
// - base conflict: the cask is "base@variant" and "base" is installed, or it is "base" and
//   some "base@variant" is installed, or a cask it declares a conflict with is installed:
//   Homebrew already owns an edition of this application.
// - artifact mismatch: the cask installs no application bundle at all (an installer
//   package), or none of its bundles has this bundle's name once version suffixes are
//   dropped; adopting would leave this bundle and add another.
// - Apple or emulation layer: Apple's identifier prefix (the bundle reader's rule) or the
//   identifiers Parallels and CrossOver give the Windows programs they wrap.
bool conflictsWithInstalledBase(const CaskEntry& cask, const std::set<std::string>& installed) {
    const std::size_t at = cask.token.find('@');
    if (at != std::string::npos && installed.contains(cask.token.substr(0, at))) return true;
    const std::string variantPrefix = cask.token + "@";
    for (const std::string& token : installed) {
        if (startsWith(token, variantPrefix)) return true;
    }
    return std::any_of(cask.conflictsWithCasks.begin(), cask.conflictsWithCasks.end(),
                       [&installed](const std::string& other) { return installed.contains(other); });
}

bool artifactMismatch(const CaskEntry& cask, const std::string& bundlePath) {
    const std::string key = adoptionNameKey(lastPathComponent(bundlePath));
    return std::none_of(cask.appArtifacts.begin(), cask.appArtifacts.end(),
                        [&key](const std::string& artifact) { return adoptionNameKey(artifact) == key; });
}

bool isAppleOrEmulated(const BundleCandidate& bundle) {
    return bundle.isAppleSystemApp || startsWith(bundle.bundleIdentifier, "com.parallels.winapp.") ||
           startsWith(bundle.bundleIdentifier, "com.codeweavers.");
}

AdoptableSourceKind sourceKindOf(const Application& application) {
    switch (application.updateMechanism) {
        case UpdateMechanism::MacAppStore: return AdoptableSourceKind::MacAppStore;
        case UpdateMechanism::Sparkle: return AdoptableSourceKind::Sparkle;
        case UpdateMechanism::HomebrewCask: return AdoptableSourceKind::HomebrewCask;
        case UpdateMechanism::DirectDownload: return AdoptableSourceKind::DirectDownload;
        case UpdateMechanism::CaskReference: return AdoptableSourceKind::CaskReference;
        case UpdateMechanism::Unknown: break;
    }
    return AdoptableSourceKind::Unknown;
}

// Which filter, if any, leaves a matched application out; counts it in the breakdown.
bool passesFilters(const CaskEntry& cask, const Application& application, const std::set<std::string>& installed,
                   AdoptableBreakdown& breakdown) {
    if (cask.deprecated || cask.disabled) return ++breakdown.deprecated, false;
    if (conflictsWithInstalledBase(cask, installed)) return ++breakdown.baseConflict, false;
    if (installed.contains(cask.token)) return ++breakdown.installed, false;
    if (isOlder(cask.version, application.version)) return ++breakdown.olderCaskVersion, false;
    if (artifactMismatch(cask, application.bundlePath)) return ++breakdown.artifactMismatch, false;
    std::optional<BundleCandidate> bundle = readBundle(application.bundlePath);
    if (!bundle) return ++breakdown.filesystem, false;
    if (isAppleOrEmulated(*bundle)) return ++breakdown.appleOrEmulated, false;
    if (bundle->hasMASReceipt) return ++breakdown.macAppStore, false;
    return true;
}

// ---- Adoption --------------------------------------------------------------------------

const Regex& conflictPattern() {
    static const Regex pattern(R"(conflicts with '([^']+)')");
    return pattern;
}

// An application path under "/Applications": components free of slashes, white space and
// quotes, the last ending ".app".
const Regex& applicationPathPattern() {
    static const Regex pattern(R"(/Applications/(?:[^/\s'"]+/)*[^/\s'"]+\.app)");
    return pattern;
}

constexpr std::array<std::string_view, 6> kSudoFailures = {
    "sudo: a terminal is required", "sudo: a password is required", "sudo: no tty present",
    "sudo: no askpass program specified", "configure an askpass helper", "failure while executing",
};

bool hasSudoFailure(std::string_view output) {
    return std::any_of(kSudoFailures.begin(), kSudoFailures.end(),
                       [output](std::string_view marker) { return contains(output, marker); });
}

// The line that says what went wrong: brew's last "Error:" line, else the output's tail.
std::string failureSummary(const std::string& output, int exitCode) {
    std::string last;
    for (std::string_view line : splitLines(output)) {
        if (startsWith(trimView(line), "Error:")) last = trim(line);
    }
    if (!last.empty()) return last;
    std::string tail = trim(output);
    if (tail.empty()) return join({"brew exited with status ", std::to_string(exitCode)}, "");
    return excerpt(tail.size() > 400 ? tail.substr(tail.size() - 400) : tail);
}

}  // namespace

// ---- Labels ------------------------------------------------------------------------------

std::string_view rawValue(AdoptableSourceKind kind) {
    switch (kind) {
        case AdoptableSourceKind::Unknown: return "unknown";
        case AdoptableSourceKind::DirectDownload: return "directDownload";
        case AdoptableSourceKind::CaskReference: return "caskReference";
        case AdoptableSourceKind::HomebrewCask: return "homebrewCask";
        case AdoptableSourceKind::Sparkle: return "sparkle";
        case AdoptableSourceKind::MacAppStore: return "macAppStore";
    }
    return "unknown";
}

std::string_view rawValue(AdoptableMatchConfidence confidence) {
    switch (confidence) {
        case AdoptableMatchConfidence::BundleFileName: return "bundleFileName";
        case AdoptableMatchConfidence::AppArtifact: return "appArtifact";
        case AdoptableMatchConfidence::DisplayName: return "displayName";
        case AdoptableMatchConfidence::Token: return "token";
    }
    return "token";
}

std::optional<AdoptableSourceKind> adoptableSourceKindFrom(std::string_view raw) {
    for (auto kind : {AdoptableSourceKind::Unknown, AdoptableSourceKind::DirectDownload,
                      AdoptableSourceKind::CaskReference, AdoptableSourceKind::HomebrewCask,
                      AdoptableSourceKind::Sparkle, AdoptableSourceKind::MacAppStore}) {
        if (rawValue(kind) == raw) return kind;
    }
    return std::nullopt;
}

std::optional<AdoptableMatchConfidence> adoptableMatchConfidenceFrom(std::string_view raw) {
    for (auto confidence : {AdoptableMatchConfidence::BundleFileName, AdoptableMatchConfidence::AppArtifact,
                            AdoptableMatchConfidence::DisplayName, AdoptableMatchConfidence::Token}) {
        if (rawValue(confidence) == raw) return confidence;
    }
    return std::nullopt;
}

std::string_view labelKey(AdoptableSourceKind kind) {
    switch (kind) {
        case AdoptableSourceKind::Unknown: return "adopt.source.unknown";
        case AdoptableSourceKind::DirectDownload: return "adopt.source.direct_download";
        case AdoptableSourceKind::CaskReference: return "adopt.source.cask_reference";
        case AdoptableSourceKind::HomebrewCask: return "adopt.source.homebrew_reconcile";
        case AdoptableSourceKind::Sparkle: return "adopt.source.sparkle";
        case AdoptableSourceKind::MacAppStore: return "adopt.source.mac_app_store";
    }
    return "adopt.source.unknown";
}

std::string_view labelKey(AdoptableMatchConfidence confidence) {
    switch (confidence) {
        case AdoptableMatchConfidence::BundleFileName: return "adopt.match.bundle_name";
        case AdoptableMatchConfidence::AppArtifact: return "adopt.match.artifact";
        case AdoptableMatchConfidence::DisplayName: return "adopt.match.display_name";
        case AdoptableMatchConfidence::Token: return "adopt.match.token";
    }
    return "adopt.match.token";
}

// The exact bundle file name is what Homebrew itself compares when it adopts, so it ranks
// highest; a name that needed its version suffix removed, then the vendor's display
// name, then a token spelled like the bundle, each less certain.
int confidenceScore(AdoptableMatchConfidence confidence) {
    switch (confidence) {
        case AdoptableMatchConfidence::BundleFileName: return 100;
        case AdoptableMatchConfidence::AppArtifact: return 80;
        case AdoptableMatchConfidence::DisplayName: return 60;
        case AdoptableMatchConfidence::Token: return 40;
    }
    return 0;
}

std::string adoptionNameKey(std::string_view name) {
    static const Regex suffix(R"(\s+(?:[0-9]+(?:\.[0-9]+)?|M[0-9])$)");
    return toLower(trim(suffix.replaceAll(withoutAppExtension(name), "")));
}

std::set<std::string> parseCaskListing(std::string_view output) {
    std::set<std::string> tokens;
    for (std::string_view line : splitLines(output)) {
        std::string_view token = trimView(line);
        // `brew list --cask` may also print a warning; tokens never contain white space.
        if (token.empty() || token.find_first_of(" \t:") != std::string_view::npos) continue;
        tokens.emplace(token);
    }
    return tokens;
}

// ---- Finding ------------------------------------------------------------------------------

AdoptableSearch findAdoptableApps(const std::vector<Application>& applications,
                                  const BrewAPIClient::CaskIndex* casks, const std::set<std::string>& installedCasks,
                                  const std::set<std::string>& excludedIdentifiers) {
    AdoptableSearch search;
    if (casks == nullptr || casks->empty()) {
        logger().info(localized("log.adopt.no_cask_data"));
        return search;
    }
    search.hadCaskData = true;
    logger().info(localized("log.adopt.counts",
                            {count(applications.size()), count(casks->size()), count(installedCasks.size())}));
    const CaskMatchIndex index(*casks);
    AdoptableBreakdown& breakdown = search.breakdown;
    for (const Application& application : applications) {
        if (application.homebrewCaskName || application.updateMechanism == UpdateMechanism::HomebrewCask) {
            ++breakdown.knownHomebrew;
            continue;
        }
        if (pathExists(application.bundlePath + "/Wrapper/iTunesMetadata.plist")) {
            ++breakdown.iOSWrapper;
            continue;
        }
        ++breakdown.candidates;
        std::optional<Match> match = matchCask(index, application);
        if (!match) {
            ++breakdown.noMatch;
            continue;
        }
        ++breakdown.matched;
        if (!passesFilters(*match->cask, application, installedCasks, breakdown)) continue;
        AdoptableApp app;
        app.id = application.bundleIdentifier.empty() ? application.bundlePath : application.bundleIdentifier;
        if (excludedIdentifiers.contains(app.id)) {
            ++breakdown.excluded;
            continue;
        }
        app.name = application.name;
        app.path = application.bundlePath;
        app.caskToken = match->cask->token;
        app.caskVersion = match->cask->version;
        app.installedVersion = application.version;
        app.sourceKind = sourceKindOf(application);
        app.matchConfidence = match->confidence;
        app.caskRenamesBundle = match->cask->renamesApp;
        search.apps.push_back(std::move(app));
    }
    logger().info(localized("log.adopt.skip_breakdown",
                            {count(breakdown.knownHomebrew), count(breakdown.iOSWrapper), count(breakdown.noMatch)}));
    logger().info(
        localized("log.adopt.filter_breakdown",
                  {count(breakdown.deprecated), count(breakdown.baseConflict), count(breakdown.installed),
                   count(breakdown.olderCaskVersion), count(breakdown.artifactMismatch), count(breakdown.filesystem),
                   count(breakdown.appleOrEmulated), count(breakdown.macAppStore)}));
    std::stable_sort(search.apps.begin(), search.apps.end(), [](const AdoptableApp& a, const AdoptableApp& b) {
        return toLower(a.name) < toLower(b.name);
    });
    logger().info(localized("log.adopt.summary",
                            {count(breakdown.candidates), count(breakdown.matched), count(search.apps.size())}));
    for (const AdoptableApp& app : search.apps) {
        logger().info(localized("log.adopt.match",
                                {app.name, app.id, app.caskToken, std::string(rawValue(app.matchConfidence))}));
    }
    return search;
}

// ---- Adopting --------------------------------------------------------------------------

HomebrewAdopter::HomebrewAdopter(Options options) : options_(std::move(options)) {
    if (options_.runner == nullptr) throw std::invalid_argument("adoption needs a command runner");
}

Clock& HomebrewAdopter::clock() const { return options_.clock != nullptr ? *options_.clock : Clock::shared(); }

double HomebrewAdopter::secondsSince(Clock::TimePoint start) const {
    return std::chrono::duration<double>(clock().now() - start).count();
}

void HomebrewAdopter::record(std::string title, std::string subtitle, ActivityRecord::ActivityType type,
                             std::optional<double> duration) {
    if (!options_.recordActivity) return;
    ActivityRecord activity;
    activity.date = clock().now();
    activity.title = std::move(title);
    activity.subtitle = std::move(subtitle);
    activity.type = type;
    activity.duration = duration;
    options_.recordActivity(std::move(activity));
}

HomebrewAdopter::BrewRun HomebrewAdopter::runBrew(std::vector<std::string> arguments, double timeout,
                                                  std::stop_token stop) {
    if (stop.stop_requested()) throw CancellationError();
    CommandRequest request;
    request.command = kEnv;
    request.arguments.push_back("brew");
    for (std::string& argument : arguments) request.arguments.push_back(std::move(argument));
    request.environment = options_.environment;
    request.timeout = timeout;
    request.allowNonZeroExit = true;
    ShellCommandResult result = options_.runner->execute(request, stop);
    options_.runner->invalidateCache("brew");
    BrewRun run;
    run.exitCode = result.exitCode;
    run.output = result.standardOutput;
    if (!result.standardError.empty()) run.output += "\n" + result.standardError;
    return run;
}

std::set<std::string> HomebrewAdopter::installedCasks(std::stop_token stop) {
    BrewRun run = runBrew({"list", "--cask"}, kListTimeout, stop);
    return run.exitCode == 0 ? parseCaskListing(run.output) : std::set<std::string>{};
}

bool HomebrewAdopter::caskIsListed(const std::string& token, std::stop_token stop) {
    return installedCasks(stop).contains(token);
}

void HomebrewAdopter::prepareBundle(const AdoptableApp& app, std::stop_token stop) {
    if (preparedBundles_.contains(app.path)) {
        logger().info(localized("log.adopt.already_prepared", {app.name}));
        return;
    }
    if (options_.privileged == nullptr) throw AdoptionFailure(AdminPromptError::notAvailable().what());
    try {
        options_.privileged->normalizeBundlePermissions({app.path}, localized("adopt.admin_prompt.prepare_one", {app.name}),
                                                        stop);
        logger().info(localized("log.adopt.admin_chmod", {app.name, app.path}));
    } catch (const AdminPromptError& error) {
        // The operation ran but some files refused the change (files the system protects):
        // brew may still manage with the rest.
        if (error.kind() != AdminPromptError::Kind::Failed) throw AdoptionFailure(error.what());
        logger().info(localized("log.adopt.protected_files", {app.name}));
    }
}

HomebrewAdopter::Phase1 HomebrewAdopter::runPhase1(AdoptableApp& app, std::stop_token stop) {
    if (app.caskRenamesBundle) {
        logger().info(localized("log.adopt.bundle_renamed", {app.name}));
        throw AdoptionFailure(localized("adopt.error.renames_bundle", {app.caskToken}));
    }
    if (caskIsListed(app.caskToken, stop)) {
        logger().info(localized("log.adopt.cask_installed", {app.name}));
        return Phase1::Adopted;
    }
    std::vector<std::string> arguments = {"install", "--cask", "--adopt", app.caskToken};
    bool triedPermissions = false;
    bool triedForce = false;
    for (;;) {
        BrewRun run = runBrew(arguments, kInstallTimeout, stop);
        if (std::optional<Regex::Match> conflict = conflictPattern().search(run.output)) {
            const std::string other(conflict->groups[0].value_or(""));
            logger().info(localized("log.adopt.conflicting_cask", {app.name, other}));
            record(localized("adopt.activity.already_managed.title", {app.name}),
                   localized("adopt.activity.already_managed.detail", {app.name, other}),
                   ActivityRecord::ActivityType::Info);
            return Phase1::AlreadyManaged;
        }
        if (contains(run.output, "was successfully installed")) return Phase1::Adopted;
        const bool sudoFailed = hasSudoFailure(run.output);
        if (run.exitCode == 0 && !sudoFailed) return Phase1::Adopted;
        if (sudoFailed && caskIsListed(app.caskToken, stop)) {
            logger().info(localized("log.adopt.error_but_installed", {app.name}));
            logger().info(localized("log.adopt.cask_listed_after_chmod", {app.name}));
            logger().info(localized("log.adopt.confirmed_by_list", {app.name}));
            return Phase1::Adopted;
        }
        if (!triedPermissions && contains(run.output, "refusing to overwrite") &&
            applicationPathPattern().matches(run.output)) {
            triedPermissions = true;
            prepareBundle(app, stop);
            continue;
        }
        if (!triedForce && contains(run.output, "there is already")) {
            triedForce = true;
            logger().info(localized("log.adopt.force_install", {app.name}));
            arguments = {"install", "--cask", "--force", app.caskToken};
            continue;
        }
        throw AdoptionFailure(failureSummary(run.output, run.exitCode));
    }
}

void HomebrewAdopter::runPhase2(AdoptableApp& app, std::stop_token stop) {
    if (!options_.upgradeCask || !isNewer(app.caskVersion, app.installedVersion)) return;
    app.state = AdoptableApp::State::Upgrading;
    try {
        options_.upgradeCask(app, stop);
    } catch (const CancellationError&) {
        logger().info(localized("log.adopt.upgrade_cancelled", {app.name, app.caskToken}));
        throw;
    } catch (const std::exception& error) {
        // The application is Homebrew's now; the next update tries the upgrade again.
        logger().warning(localized("log.adopt.upgrade_failed", {app.name, app.caskToken, error.what()}));
    }
}

AdoptionResult HomebrewAdopter::adopt(AdoptableApp& app, std::stop_token stop) {
    const Clock::TimePoint start = clock().now();
    app.state = AdoptableApp::State::Adopting;
    app.failureMessage.clear();
    logger().info(localized("log.adopt.start", {app.name, app.caskToken}));
    try {
        if (runPhase1(app, stop) == Phase1::AlreadyManaged) {
            app.state = AdoptableApp::State::Done;
            return AdoptionResult::AlreadyManaged;
        }
        logger().info(localized("log.adopt.phase1_done", {app.name, app.caskToken, seconds(secondsSince(start))}));
        runPhase2(app, stop);
        logger().info(localized("log.adopt.phase2_done", {app.name, seconds(secondsSince(start))}));
        app.state = AdoptableApp::State::Done;
        record(localized("adopt.success_activity", {app.name}), localized("adopt.success_detail", {app.name, app.caskToken}),
               ActivityRecord::ActivityType::Success, secondsSince(start));
        return AdoptionResult::Adopted;
    } catch (const CancellationError&) {
        logger().info(localized("log.adopt.cancelled", {app.name, app.caskToken}));
        app.state = AdoptableApp::State::Ready;
        return AdoptionResult::Cancelled;
    } catch (const std::exception& error) {
        // A failed run (a time limit, brew missing) ends this application only.
        app.state = AdoptableApp::State::Failed;
        app.failureMessage = error.what();
        logger().error(
            localized("log.adopt.failed", {app.name, app.caskToken, app.failureMessage, seconds(secondsSince(start))}));
        return AdoptionResult::Failed;
    }
}

AdoptAllSummary HomebrewAdopter::adoptAll(std::vector<AdoptableApp>& apps, std::stop_token stop) {
    const Clock::TimePoint start = clock().now();
    logger().info(localized("log.adopt.all_start", {count(apps.size())}));
    std::vector<std::string> bundles;
    for (const AdoptableApp& app : apps) bundles.push_back(app.path);
    preparedBundles_.clear();
    try {
        if (options_.privileged == nullptr) throw AdminPromptError::notAvailable();
        if (!bundles.empty()) {
            options_.privileged->normalizeBundlePermissions(
                bundles, localized("adopt.admin_prompt.prepare_all", {count(bundles.size())}), stop);
        }
        preparedBundles_.insert(bundles.begin(), bundles.end());
    } catch (const std::exception& error) {
        // Failed means it ran and only protected files refused: those bundles are as ready as they get.
        const auto* prompt = dynamic_cast<const AdminPromptError*>(&error);
        if (prompt != nullptr && prompt->kind() == AdminPromptError::Kind::Failed) {
            preparedBundles_.insert(bundles.begin(), bundles.end());
        }
        logger().warning(localized("log.adopt.all_prepare_failed", {error.what()}));
    }
    AdoptAllSummary summary;
    for (std::size_t i = 0; i < apps.size(); ++i) {
        if (stop.stop_requested()) {
            logger().info(localized("log.adopt.all_cancelled", {count(i), count(apps.size())}));
            summary.cancelledAt = i;
            summary.cancelled += apps.size() - i;
            break;
        }
        switch (adopt(apps[i], stop)) {
            case AdoptionResult::Adopted:
            case AdoptionResult::AlreadyManaged: ++summary.succeeded; break;
            case AdoptionResult::Failed: ++summary.failed; break;
            // The stop is seen before the next application, which logs the position.
            case AdoptionResult::Cancelled: ++summary.cancelled; break;
        }
    }
    preparedBundles_.clear();
    const double total = secondsSince(start);
    logger().info(localized("log.adopt.all_done", {count(summary.succeeded), count(summary.failed),
                                                   count(summary.cancelled), seconds(total)}));
    const std::string detail =
        summary.cancelledAt
            ? localized("adopt.activity.finished.detail_cancelled",
                        {count(summary.succeeded), count(summary.failed), count(summary.cancelled)})
            : localized("adopt.activity.finished.detail", {count(summary.succeeded), count(summary.failed)});
    record(localized("adopt.activity.finished.title"), detail,
           summary.failed > 0 ? ActivityRecord::ActivityType::Error : ActivityRecord::ActivityType::Success, total);
    return summary;
}

ActivityRecord HomebrewAdopter::exclusionActivity(const std::vector<std::string>& names, Clock::TimePoint now) {
    ActivityRecord activity;
    activity.date = now;
    activity.type = ActivityRecord::ActivityType::Info;
    if (names.size() == 1) {
        activity.title = localized("adopt.excluded_activity_one", {names.front()});
        activity.subtitle = localized("adopt.excluded_detail_one", {names.front()});
    } else {
        activity.title = localized("adopt.excluded_activity_many", {count(names.size())});
    }
    return activity;
}

}  // namespace vt
