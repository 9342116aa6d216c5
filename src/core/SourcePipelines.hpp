#pragma once

#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/ManagerRegistry.hpp"
#include "core/ScannerPipeline.hpp"
#include "managers/ExecutableLocator.hpp"
#include "sources/inventory/ApplicationManager.hpp"

namespace vt {

class SettingsManager;
class ApplicationManager;
class ScanProgressModel;
class UpdateCheckCoordinator;
class SoftwareUpdateManager;

// Whether a source's tool is here, as its adapter's own discovery decides, and where.
struct SourcePresence {
    const SourceRow* row = nullptr;
    std::optional<std::string> path;  // nullopt: not found
    ExecutableOrigin origin = ExecutableOrigin::StandardFolder;  // how `path` was found
};

// Runs the discovery of every source at once (each searches the PATH and its folders).
std::vector<SourcePresence> discoverSources(const std::vector<SourceRow>& sources, PackageManager& packageManager,
                                            std::stop_token stop = {});

// The pipelines of this scan: one per registered source with at least one kind shown, that
// `selected` takes (every one when empty) and whose tool is found.
std::vector<ScannerPipeline> activeSourcePipelines(const std::vector<SourceRow>& sources,
                                                   PackageManager& packageManager, const SettingsManager& settings,
                                                   std::stop_token stop,
                                                   const std::function<bool(const std::string&)>& selected = {});

// Runs an adapter as a pipeline: its listing as the inventory, its outdated check as the
// update check, each with the message the adapter published.
ScannerPipeline adapterPipeline(const SourceRow& source, BaseManager& adapter);

// The application inventory as a core scanner of its own ("apps"). Applications are not
// packages: the list stays on the manager, the pipeline reports only its count, and its
// progress (bundles read of bundles found) goes to the scanner's status. Its check step finds
// their latest versions under the settings' source switches; its count is the outdated ones.
// `afterChecks` runs once the checks are done (the chronic-failure auto-ignore).
ScannerPipeline applicationsPipeline(ApplicationManager& applications, UpdateCheckCoordinator& checks,
                                     const SettingsManager& settings, ScanProgressModel& progress,
                                     ApplicationSources sources = {}, std::function<void()> afterChecks = {});

// The operating system's own updates as a scanner of their own ("software-update"): the list
// stays on the manager and the pipeline reports its count. Only for a system with the tool.
ScannerPipeline systemUpdatesPipeline(SoftwareUpdateManager& systemUpdates);

}  // namespace vt
