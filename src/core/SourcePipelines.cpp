#include "core/SourcePipelines.hpp"

#include <algorithm>
#include <cstdlib>
#include <future>

#include "base/Fingerprint.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "core/ScanProgressModel.hpp"
#include "core/ScanResultsPersistence.hpp"
#include "settings/SettingsManager.hpp"
#include "sources/inventory/ApplicationManager.hpp"
#include "sources/macos/SoftwareUpdateManager.hpp"
#include "sources/sparkle/SparkleManager.hpp"
#include "sources/generic/GenericUpdaterManager.hpp"
#include "base/Localization.hpp"

namespace vt {

ScannerPipeline adapterPipeline(const SourceRow& source, BaseManager& adapter) {
    ScannerPipeline pipeline;
    pipeline.id = source.id;
    pipeline.source = source.name;
    pipeline.logTag = source.logTag.empty() ? source.id : source.logTag;
    pipeline.successDetails = source.completionLine;
    pipeline.isCore = source.isCore;
    pipeline.timeout = source.timeout;
    pipeline.run = [&adapter](std::stop_token stop) {
        std::vector<Package> installed = adapter.listInstalled(stop);
        return ScanOutcome{std::move(installed), adapter.errorMessage()};
    };
    pipeline.checkUpdates = [&adapter](std::stop_token stop) {
        std::vector<Package> outdated = adapter.checkOutdated(stop);
        return ScanOutcome{std::move(outdated), adapter.errorMessage(), std::nullopt, adapter.latestVersionsUnknown()};
    };
    pipeline.inputs = [&adapter]() -> std::string {
        std::vector<std::string> paths = adapter.listingInputs();
        if (paths.empty()) return {};
        // The tool itself too: another one found on the PATH lists other things.
        paths.insert(paths.begin(), adapter.binaryPath());
        return fingerprintDigest(fingerprintOf(paths));
    };
    return pipeline;
}

namespace {

// VANTREEL_SCANNER_TIMEOUT (seconds) shortens every source's time limit: for slow tools a
// user would rather skip, and for tests of the time limit itself.
void applyTimeoutOverride(ScannerPipeline& pipeline) {
    auto text = paths::environmentValue("VANTREEL_SCANNER_TIMEOUT");
    if (!text) return;
    char* end = nullptr;
    double seconds = std::strtod(text->c_str(), &end);
    if (end == text->c_str() || seconds <= 0) return;
    pipeline.timeout = std::min(pipeline.timeout, std::chrono::duration<double>(seconds));
}

// Kinds whose own setting is off are dropped from what the source found (Homebrew's
// formulae and casks share one adapter and have a setting each).
void hideKinds(ScannerPipeline& pipeline, std::vector<PackageType> hidden) {
    if (hidden.empty()) return;
    auto filter = [hidden](std::function<ScanOutcome(std::stop_token)> work) {
        return [hidden, work](std::stop_token stop) {
            ScanOutcome outcome = work(stop);
            std::erase_if(outcome.packages, [&](const Package& package) {
                return std::find(hidden.begin(), hidden.end(), package.type) != hidden.end();
            });
            return outcome;
        };
    };
    pipeline.run = filter(pipeline.run);
    if (pipeline.checkUpdates) pipeline.checkUpdates = filter(pipeline.checkUpdates);
}

bool isShown(const SettingsManager& settings, std::optional<ManagerToggleKey> toggle) {
    return !toggle || settings.isVisible(*toggle);
}

}  // namespace

std::vector<SourcePresence> discoverSources(const std::vector<SourceRow>& sources, PackageManager& packageManager,
                                            std::stop_token stop) {
    std::vector<std::future<std::optional<std::string>>> lookups;
    for (const SourceRow& row : sources) {
        BaseManager* adapter = packageManager.adapter(row.id);
        lookups.push_back(std::async(std::launch::async, [adapter, stop]() -> std::optional<std::string> {
            if (adapter == nullptr) return std::nullopt;
            try {
                if (adapter->discover(stop)) return adapter->binaryPath();
            } catch (const std::exception& error) {
                Logger("BaseManager").warning(localized("log.source_failed", {adapter->identity().name, error.what()}));
            }
            return std::nullopt;
        }));
    }
    std::vector<SourcePresence> found;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        std::optional<std::string> path = lookups[i].get();
        const ExecutableOrigin origin = path ? ExecutableLocator::originOf(*path) : ExecutableOrigin::StandardFolder;
        found.push_back({&sources[i], std::move(path), origin});
    }
    return found;
}

std::vector<ScannerPipeline> activeSourcePipelines(const std::vector<SourceRow>& sources,
                                                   PackageManager& packageManager, const SettingsManager& settings,
                                                   std::stop_token stop,
                                                   const std::function<bool(const std::string&)>& selected) {
    std::vector<ScannerPipeline> pipelines;
    for (const SourceRow& source : sources) {
        if (selected && !selected(source.id)) continue;
        std::vector<PackageType> hidden;
        for (PackageType type : source.types) {
            if (!isShown(settings, source.toggleFor(type))) hidden.push_back(type);
        }
        if (!source.types.empty() && hidden.size() == source.types.size()) continue;
        BaseManager* adapter = packageManager.adapter(source.id);
        if (adapter == nullptr) continue;
        bool found = false;
        try {
            found = adapter->discover(stop);
        } catch (const std::exception& error) {
            Logger("RefreshCoordinator")
                .warning(localized("log.source_failed", {adapter->identity().name, error.what()}));
        }
        if (!found) continue;
        ScannerPipeline pipeline = adapterPipeline(source, *adapter);
        applyTimeoutOverride(pipeline);
        hideKinds(pipeline, std::move(hidden));
        pipelines.push_back(std::move(pipeline));
    }
    return pipelines;
}

ScannerPipeline applicationsPipeline(ApplicationManager& applications, UpdateCheckCoordinator& checks,
                                     const SettingsManager& settings, ScanProgressModel& progress,
                                     ApplicationSources sources, std::function<void()> afterChecks) {
    ScannerPipeline pipeline;
    pipeline.id = "apps";
    pipeline.source = "Applications";
    pipeline.logTag = "apps";
    pipeline.startDetails = localized("scan.status.inventory");
    pipeline.successDetails = "Apps";
    pipeline.isCore = true;
    pipeline.timeout = std::chrono::seconds(120);
    // No inputs of its own: it lists at every scan, its bundles' signatures deciding what is
    // read again, so a changed Info.plist is seen at the next scan.
    pipeline.run = [&applications, &progress](std::stop_token stop) {
        auto report = [&progress](std::size_t count, std::size_t total, const std::string&, const std::string& phase) {
            progress.updateScanner("apps", [&](ScannerStatus& status) {
                status.scannedItems = static_cast<long long>(count);
                status.estimatedItems = static_cast<long long>(total);
                status.details = phase;
            });
        };
        std::size_t count = applications.scanApplications(stop, report).size();
        return ScanOutcome{{}, std::nullopt, count};
    };
    pipeline.checkUpdates = [&applications, &checks, &settings, &progress, sources,
                             afterChecks = std::move(afterChecks)](std::stop_token stop) {
        checks.setProgressHandler([&progress](long long checked, long long total, const std::string& name) {
            progress.updateScanner("apps", [&](ScannerStatus& status) {
                status.currentItem = name;
                status.details = std::to_string(checked) + "/" + std::to_string(total);
            });
        });
        ApplicationUpdateCheckRequest request;
        request.sources = SourceSettings::fromSettings(settings);
        SparkleManager& sparkle = SparkleManager::shared();
        const bool sparkleEnabled = request.sources.isEnabled(AppRulePrimarySource::Sparkle);
        sparkle.configure(sparkleEnabled, settings.showPreReleaseUpdates());
        if (sparkleEnabled) {
            std::vector<std::string> bundles;
            for (const Application& application : applications.applications()) bundles.push_back(application.bundlePath);
            sparkle.scan(bundles);
        }
        GenericUpdaterManager& generic = GenericUpdaterManager::shared();
        const bool genericEnabled = request.sources.isEnabled(AppRulePrimarySource::Electron) ||
                                    request.sources.isEnabled(AppRulePrimarySource::GenericUpdater);
        if (genericEnabled) generic.beginRound();
        request.check = ApplicationManager::sourceChecks(sources, request.sources);
        request.allowPreRelease = settings.showPreReleaseUpdates();
        request.stop = stop;
        ApplicationUpdateCheckResult result = applications.checkForUpdates(checks, std::move(request));
        checks.setProgressHandler({});
        if (sparkleEnabled) sparkle.save(ScanResultsPersistence::defaultFolder());
        if (genericEnabled) {
            generic.completeFromChecks(applications.applications());
            generic.save(ScanResultsPersistence::defaultFolder());
        }
        if (afterChecks && !stop.stop_requested()) afterChecks();
        return ScanOutcome{{}, std::nullopt, static_cast<std::size_t>(result.outdatedCount)};
    };
    applyTimeoutOverride(pipeline);
    return pipeline;
}

ScannerPipeline systemUpdatesPipeline(SoftwareUpdateManager& systemUpdates) {
    ScannerPipeline pipeline;
    pipeline.id = "software-update";
    pipeline.source = "macOS";
    pipeline.logTag = "software-update";
    pipeline.startDetails = localized("scan.status.checking_updates");
    pipeline.successDetails = localized("log.system_updates");
    pipeline.isCore = true;
    // The tool asks Apple's catalog, which can take minutes on a slow network.
    pipeline.timeout = std::chrono::seconds(300);
    pipeline.run = [&systemUpdates](std::stop_token stop) {
        std::vector<SoftwareUpdate> updates = systemUpdates.checkForUpdates(stop);
        return ScanOutcome{{}, systemUpdates.errorMessage(), updates.size()};
    };
    applyTimeoutOverride(pipeline);
    return pipeline;
}

}  // namespace vt
