#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"
#include "model/ActivityRecord.hpp"
#include "model/Application.hpp"
#include "system/BrewAPIClient.hpp"

namespace vt {

class CommandRunning;
class PrivilegedOperations;

// How an adoptable application is installed today.
enum class AdoptableSourceKind { Unknown, DirectDownload, CaskReference, HomebrewCask, Sparkle, MacAppStore };
// What matched the cask, strongest first.
enum class AdoptableMatchConfidence { BundleFileName, AppArtifact, DisplayName, Token };

std::string_view rawValue(AdoptableSourceKind kind);
std::string_view rawValue(AdoptableMatchConfidence confidence);
std::optional<AdoptableSourceKind> adoptableSourceKindFrom(std::string_view raw);
std::optional<AdoptableMatchConfidence> adoptableMatchConfidenceFrom(std::string_view raw);
std::string_view labelKey(AdoptableSourceKind kind);
std::string_view labelKey(AdoptableMatchConfidence confidence);
// The order scores of the confidences (higher is stronger).
int confidenceScore(AdoptableMatchConfidence confidence);

// A hand-installed application Homebrew could take over.
struct AdoptableApp {
    enum class State { Ready, Adopting, Upgrading, Done, Failed };

    std::string id;  // the bundle identifier, or the bundle path when it has none
    std::string name;
    std::string path;
    std::string caskToken;
    std::string caskVersion;
    std::string installedVersion;
    AdoptableSourceKind sourceKind = AdoptableSourceKind::Unknown;
    AdoptableMatchConfidence matchConfidence = AdoptableMatchConfidence::Token;
    State state = State::Ready;
    std::string failureMessage;  // with State::Failed
    // Known from the cask index only, not kept between runs: Homebrew would move the bundle.
    bool caskRenamesBundle = false;
};

// How many applications each step of the search left out, for its log lines.
struct AdoptableBreakdown {
    std::size_t knownHomebrew = 0, iOSWrapper = 0, noMatch = 0;
    std::size_t deprecated = 0, baseConflict = 0, installed = 0, olderCaskVersion = 0, artifactMismatch = 0,
                filesystem = 0, appleOrEmulated = 0, macAppStore = 0;
    std::size_t excluded = 0;
    std::size_t candidates = 0, matched = 0;
};

struct AdoptableSearch {
    std::vector<AdoptableApp> apps;  // ordered by name
    AdoptableBreakdown breakdown;
    bool hadCaskData = false;
};

// Matches the installed bundles against the cask index. Reads each matched bundle again
// from disk (receipts, wrappers, Info.plist); never throws for a bundle.
AdoptableSearch findAdoptableApps(const std::vector<Application>& applications,
                                  const BrewAPIClient::CaskIndex* casks, const std::set<std::string>& installedCasks,
                                  const std::set<std::string>& excludedIdentifiers);

// "Foo 2" → "Foo", "Bar M1" → "Bar": the names casks and bundles are compared by.
std::string adoptionNameKey(std::string_view name);

// The tokens of `brew list --cask` output.
std::set<std::string> parseCaskListing(std::string_view output);

enum class AdoptionResult { Adopted, AlreadyManaged, Failed, Cancelled };

struct AdoptAllSummary {
    std::size_t succeeded = 0, failed = 0, cancelled = 0;
    std::optional<std::size_t> cancelledAt;  // how many had been started when it stopped
};

// Hands applications over to Homebrew: `brew install --cask --adopt TOKEN` (with the
// repairs its output asks for), then an upgrade when the cask is newer. brew runs as
// `/usr/bin/env brew ...` through the runner with a time limit; root work goes through
// the privileged operations. Activity records go to `recordActivity`. One adoption at a
// time per adopter; the calls block and may be made from any one thread at a time.
class HomebrewAdopter {
public:
    // Runs the upgrade of an adopted cask; throws on failure, CancellationError when stopped.
    using CaskUpgrade = std::function<void(const AdoptableApp& app, std::stop_token stop)>;

    static constexpr double kInstallTimeout = 1800;
    static constexpr double kListTimeout = 30;

    struct Options {
        CommandRunning* runner = nullptr;
        PrivilegedOperations* privileged = nullptr;
        CaskUpgrade upgradeCask;  // without it a newer cask is left for the next update
        std::function<void(ActivityRecord)> recordActivity;
        Clock* clock = nullptr;  // Clock::shared() when null
        std::map<std::string, std::string> environment;  // merged into every brew run
    };

    explicit HomebrewAdopter(Options options);

    // The casks Homebrew has installed (`brew list --cask`); empty when brew cannot say.
    std::set<std::string> installedCasks(std::stop_token stop = {});

    AdoptionResult adopt(AdoptableApp& app, std::stop_token stop = {});
    // One administrator prompt for every bundle first, then one application after the
    // other; a stop ends the run before the next application.
    AdoptAllSummary adoptAll(std::vector<AdoptableApp>& apps, std::stop_token stop = {});

    // The activity of excluding applications from the list.
    static ActivityRecord exclusionActivity(const std::vector<std::string>& names, Clock::TimePoint now);

private:
    struct BrewRun {
        std::string output;  // standard output and error together
        int exitCode = 0;
    };
    enum class Phase1 { Adopted, AlreadyManaged };

    Phase1 runPhase1(AdoptableApp& app, std::stop_token stop);
    BrewRun runBrew(std::vector<std::string> arguments, double timeout, std::stop_token stop);
    bool caskIsListed(const std::string& token, std::stop_token stop);
    void prepareBundle(const AdoptableApp& app, std::stop_token stop);
    void runPhase2(AdoptableApp& app, std::stop_token stop);
    void record(std::string title, std::string subtitle, ActivityRecord::ActivityType type,
                std::optional<double> duration = std::nullopt);
    double secondsSince(Clock::TimePoint start) const;
    Clock& clock() const;

    Options options_;
    // The bundles the batch's one prompt has already prepared: asking again for one of them
    // would change nothing but interrupt the user once more.
    std::set<std::string> preparedBundles_;
};

}  // namespace vt
