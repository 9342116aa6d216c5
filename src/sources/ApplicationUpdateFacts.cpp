#include "sources/ApplicationUpdateFacts.hpp"

#include "base/Strings.hpp"
#include "sources/appstore/MacAppStoreManager.hpp"
#include "sources/inventory/AppBundleReader.hpp"
#include "sources/rules/AppRuleCatalogService.hpp"
#include "sources/rules/KnownIssuesRegistry.hpp"
#include "system/RunningProcesses.hpp"

namespace vt {

namespace {

// How the bundle on disk was installed, when it says: the store's receipt, or the Sparkle
// updater it carries. Without either, one that only the store's lookup found came from a
// download; otherwise nothing is known.
std::optional<std::string> installedSource(const Application& application, bool fromStore) {
    if (fromStore) return quickUpdateSourceLabel(application, true);
    std::optional<BundleCandidate> bundle = readBundle(application.bundlePath);
    if (bundle && bundle->updateMechanism == UpdateMechanism::Sparkle) return std::string("Sparkle");
    if (quickUpdateSourceLabel(application) == "Mac App Store") return std::string("Direct download");
    return std::nullopt;
}

}  // namespace

ApplicationUpdateFacts currentUpdateFacts(const Application& application) {
    ApplicationUpdateFacts facts;
    std::vector<RunningProcess> running = processesInside(application.bundlePath);
    if (!running.empty()) facts.quick.runningProcessName = std::string(lastPathComponent(running.front().executable));
    facts.installedFromAppStore = isInstalledFromAppStore(application.bundlePath);
    facts.quick.installedSource = installedSource(application, facts.installedFromAppStore);
    if (std::optional<KnownAppIssue> issue = KnownIssuesRegistry::shared().issue(application.bundleIdentifier)) {
        facts.quick.requiresUserChoice = issue->has(KnownAppFlag::RequiresUserChoice);
        facts.quick.knownProblematic = issue->has(KnownAppFlag::Problematic);
        facts.quick.caskAutoUpdates = issue->has(KnownAppFlag::AutoUpdates);
    }
    if (std::optional<CatalogMatch> rule = AppRuleCatalogService::shared()->ruleFor(application)) {
        facts.manualOnly = rule->rule.manualOnly || rule->rule.primarySource == AppRulePrimarySource::Manual;
    }
    return facts;
}

}  // namespace vt
