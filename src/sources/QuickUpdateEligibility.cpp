#include "sources/QuickUpdateEligibility.hpp"

#include "base/Strings.hpp"
#include "model/VersionRules.hpp"
#include "settings/SettingsManager.hpp"

namespace vt {

namespace {

std::optional<std::int64_t> majorComponent(std::string_view version) {
    ParsedVersion parsed = parseVersion(version);
    if (parsed.components.empty()) return std::nullopt;
    return parsed.components.front();
}

}  // namespace

QuickUpdateSwitches QuickUpdateSwitches::fromSettings(const SettingsManager& settings) {
    QuickUpdateSwitches switches;
    switches.runningApps = settings.boolValue("Exclude_RunningApps");
    switches.majorUpgrades = settings.boolValue("Exclude_MajorUpgrades");
    switches.caskAutoUpdates = settings.boolValue("Exclude_CaskAutoUpdates");
    switches.sourceMismatch = settings.boolValue("Exclude_SourceMismatch");
    switches.requiresUserChoice = settings.boolValue("Exclude_RequiresUserChoice");
    switches.knownProblematic = settings.boolValue("Exclude_KnownProblematic");
    return switches;
}

std::string quickUpdateSourceLabel(const Application& application, bool hasReceipt) {
    if (hasReceipt || application.updateMechanism == UpdateMechanism::MacAppStore) return "Mac App Store";
    // Office and its siblings update through their own agent, whatever feed we found for them.
    if (startsWith(application.bundleIdentifier, "com.microsoft.")) return "Microsoft AutoUpdate";
    if (application.resolutionSource == AppRulePrimarySource::GitHub) return "GitHub";
    switch (application.updateMechanism) {
        case UpdateMechanism::Sparkle: return "Sparkle";
        case UpdateMechanism::DirectDownload: return "Direct download";
        default: return "Brew / Direct";
    }
}

QuickUpdateEligibility QuickUpdateEligibility::evaluate(const Application& application, const QuickUpdateFacts& facts,
                                                        const QuickUpdateSwitches& switches) {
    using Kind = QuickUpdateExclusion::Kind;
    QuickUpdateEligibility result;
    auto exclude = [&](Kind kind, std::string first = {}, std::string second = {}) {
        result.exclusions.push_back({kind, std::move(first), std::move(second)});
    };
    if (switches.runningApps && facts.runningProcessName) exclude(Kind::AppIsRunning, *facts.runningProcessName);
    if (facts.newBundleIdentifier && *facts.newBundleIdentifier != application.bundleIdentifier) {
        exclude(Kind::BundleIDChanged, application.bundleIdentifier, *facts.newBundleIdentifier);
    }
    if (facts.requiredMacOS && facts.currentMacOS &&
        compareVersions(*facts.requiredMacOS, *facts.currentMacOS) == VersionOrder::Descending) {
        exclude(Kind::MacOSTooOld, *facts.requiredMacOS, *facts.currentMacOS);
    }
    const std::string available = quickUpdateSourceLabel(application);
    if (switches.sourceMismatch && facts.installedSource && *facts.installedSource != available) {
        exclude(Kind::SourceMismatch, *facts.installedSource, available);
    }
    if (switches.requiresUserChoice && facts.requiresUserChoice) exclude(Kind::RequiresUserChoice);
    if (switches.knownProblematic && facts.knownProblematic) exclude(Kind::KnownProblematic);
    if (switches.majorUpgrades && application.latestVersion) {
        auto installed = majorComponent(application.version);
        auto latest = majorComponent(*application.latestVersion);
        if (installed && latest && *latest > *installed) exclude(Kind::MajorUpgrade, application.version, *application.latestVersion);
    }
    if (switches.caskAutoUpdates && facts.caskAutoUpdates) exclude(Kind::CaskAutoUpdates);
    return result;
}

}  // namespace vt
