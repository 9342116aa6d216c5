#include "core/SourcePipelines.hpp"

#include <algorithm>
#include <cstdlib>

#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "settings/ManagerCatalog.hpp"
#include "settings/SettingsManager.hpp"

namespace vt {

ScannerPipeline adapterPipeline(const SourceRegistration& source, BaseManager& adapter) {
    ScannerPipeline pipeline;
    pipeline.id = source.adapter.id;
    const ManagerCatalogEntry* entry = findCatalogEntry(source.adapter.id);
    pipeline.source = entry ? entry->name : adapter.identity().name;
    pipeline.logTag = source.logTag.empty() ? source.adapter.id : source.logTag;
    pipeline.successDetails = source.completionLine;
    pipeline.isCore = source.isCore;
    pipeline.timeout = source.timeout;
    pipeline.run = [&adapter](std::stop_token stop) {
        std::vector<Package> installed = adapter.listInstalled(stop);
        return ScanOutcome{std::move(installed), adapter.errorMessage()};
    };
    pipeline.checkUpdates = [&adapter](std::stop_token stop) {
        std::vector<Package> outdated = adapter.checkOutdated(stop);
        return ScanOutcome{std::move(outdated), adapter.errorMessage()};
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

// Casks share the Homebrew adapter but have a visibility setting of their own.
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

}  // namespace

std::vector<ScannerPipeline> activeSourcePipelines(const std::vector<SourceRegistration>& sources,
                                                   PackageManager& packageManager, const SettingsManager& settings,
                                                   std::stop_token stop) {
    std::vector<ScannerPipeline> pipelines;
    for (const auto& source : sources) {
        const ManagerCatalogEntry* entry = findCatalogEntry(source.adapter.id);
        if (entry != nullptr && !settings.isVisible(entry->settingsToggle)) continue;
        BaseManager* adapter = packageManager.adapter(source.adapter.id);
        if (adapter == nullptr) continue;
        bool found = false;
        try {
            found = adapter->discover(stop);
        } catch (const std::exception& error) {
            Logger("RefreshCoordinator").warning("⚠️ " + adapter->identity().name + ": " + error.what());
        }
        packageManager.setInstalled(source.adapter.id, found);
        if (!found) continue;
        ScannerPipeline pipeline = adapterPipeline(source, *adapter);
        applyTimeoutOverride(pipeline);
        if (!settings.isVisible(ManagerToggleKey::ShowCasks)) hideKinds(pipeline, {PackageType::BrewCask});
        pipelines.push_back(std::move(pipeline));
    }
    return pipelines;
}

}  // namespace vt
