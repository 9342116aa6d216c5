#pragma once

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
#include "model/Application.hpp"
#include "model/Package.hpp"
#include "updates/BatchUpdateResult.hpp"

namespace vt {

// The four ways an application is updated in a batch, in the order a batch takes them.
enum class ApplicationUpdateCategory { MacAppStore, GitHubReleases, Other, Sparkle };
inline constexpr ApplicationUpdateCategory kApplicationUpdateCategories[] = {
    ApplicationUpdateCategory::MacAppStore, ApplicationUpdateCategory::GitHubReleases,
    ApplicationUpdateCategory::Other, ApplicationUpdateCategory::Sparkle};
std::string_view displayName(ApplicationUpdateCategory category);
ApplicationUpdateCategory applicationUpdateCategory(const Application& application);

// What one application's installer did. It throws (any std::exception, whose text is the
// message shown) when the update failed.
struct ApplicationUpdateOutcome {
    std::optional<std::string> newVersion;
    bool requiresUserAction = false;  // nothing installed here: the user must act (message says how)
    std::string message;
    std::optional<std::string> command;  // what was run, when it failed
};
using ApplicationUpdater = std::function<ApplicationUpdateOutcome(const Application& application, std::stop_token stop)>;

// What an update will attempt, in order, and what it leaves out and why: the one answer to
// "what will this run change", shown before it runs and then carried out as it stands.
struct UpdatePlan {
    struct Step {
        std::string manager;            // source id ("homebrew", "gems"...), or "applications"
        std::string label;              // "Homebrew", "Mac App Store"...
        std::vector<Package> packages;  // updated one at a time, each to its latestVersion
        std::vector<Application> applications;
        std::optional<ApplicationUpdateCategory> category;
        bool asOneBatch = false;        // TeX Live: the adapter's update of everything
        bool together = false;          // apt: the packages in one run of the tool, each at its version
        // The stable keys of the packages whose tool installs what it calls its latest version
        // (it cannot be told one), which may be newer than the one shown.
        std::set<std::string> toolsOwnLatest;
        std::size_t itemCount() const { return asOneBatch ? 1 : packages.size() + applications.size(); }
        bool installsToolsOwnLatest(const Package& package) const;
    };
    struct LeftOut {
        std::string name;
        std::string source;
        std::string reason;
        bool byHand = false;  // an application only the user can update (no installer here)
        // The item is already at the version offered, or newer: nothing to go back to.
        bool upToDate = false;
        std::string code;  // the stable code of the reason, when it has one ("release-age-waiting")
    };
    std::vector<Step> steps;  // applications first, then the managers
    std::vector<LeftOut> leftOut;
    // When the scan behind the versions shown ended; they may have moved since.
    std::optional<Clock::TimePoint> scanDate;

    std::size_t packageCount() const;  // updated one by one: TeX Live's batch apart
    std::size_t applicationCount() const;
    std::size_t itemCount() const;
    bool isEmpty() const { return itemCount() == 0; }
};

// What a front end is told while a batch runs.
struct BatchProgress {
    std::function<void(const std::string& text)> phase;  // the progress text
    std::function<void(const std::string& name, const std::string& source, std::size_t index, std::size_t count)>
        itemStarted;
    std::function<void(const PackageUpdateResult& result, std::size_t index, std::size_t count)> itemFinished;
};

}  // namespace vt
