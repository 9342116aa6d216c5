#pragma once

#include <optional>
#include <string>
#include <vector>

#include "model/Application.hpp"

namespace vt {

class SettingsManager;

// Why an outdated application is left out of quick (one-click and batch) updates.
struct QuickUpdateExclusion {
    enum class Kind {
        AppIsRunning,        // first: the process name
        BundleIDChanged,     // first: installed identifier, second: the new one
        MacOSTooOld,         // first: required version, second: this system's
        SourceMismatch,      // first: installed source, second: available source
        RequiresUserChoice,
        KnownProblematic,
        MajorUpgrade,        // first: installed version, second: latest
        CaskAutoUpdates,
    };
    Kind kind;
    std::string first, second;

    friend bool operator==(const QuickUpdateExclusion&, const QuickUpdateExclusion&) = default;
};

// What is known about an update beyond the application record.
struct QuickUpdateFacts {
    std::optional<std::string> runningProcessName;   // set when the application is running
    std::optional<std::string> newBundleIdentifier;  // of the downloaded update, when known
    std::optional<std::string> requiredMacOS;
    std::optional<std::string> currentMacOS;
    std::optional<std::string> installedSource;  // label of how it was installed (see quickUpdateSourceLabel)
    bool requiresUserChoice = false;             // from the known-issues registry
    bool knownProblematic = false;               // from the known-issues registry
    bool caskAutoUpdates = false;                // its cask declares that it updates itself
};

// The exclusions the user can turn off, from the "Exclude_…" settings; a changed bundle
// identifier and a too old system always exclude.
struct QuickUpdateSwitches {
    bool runningApps = true, majorUpgrades = true, caskAutoUpdates = true, sourceMismatch = true,
         requiresUserChoice = true, knownProblematic = true;
    static QuickUpdateSwitches fromSettings(const SettingsManager& settings);
};

// The quick-update verdict of one outdated application: eligible when nothing excludes it.
struct QuickUpdateEligibility {
    std::vector<QuickUpdateExclusion> exclusions;
    bool isEligible() const noexcept { return exclusions.empty(); }

    static QuickUpdateEligibility evaluate(const Application& application, const QuickUpdateFacts& facts,
                                           const QuickUpdateSwitches& switches);
};

// "Mac App Store", "Sparkle", "Direct download", "GitHub", "Microsoft AutoUpdate" or
// "Brew / Direct": where an application's updates come from. A receipt means the App Store
// whatever the record says.
std::string quickUpdateSourceLabel(const Application& application, bool hasReceipt = false);

}  // namespace vt
