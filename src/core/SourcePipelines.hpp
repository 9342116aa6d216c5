#pragma once

#include <stop_token>
#include <vector>

#include "core/ManagerRegistry.hpp"
#include "core/ScannerPipeline.hpp"

namespace vt {

class SettingsManager;

// The pipelines of this scan: one per registered source whose visibility setting is on and
// whose tool is found; records in the façade which tools are installed.
std::vector<ScannerPipeline> activeSourcePipelines(const std::vector<SourceRegistration>& sources,
                                                   PackageManager& packageManager, const SettingsManager& settings,
                                                   std::stop_token stop);

// Runs an adapter as a pipeline: its listing as the inventory, its outdated check as the
// update check, each with the message the adapter published.
ScannerPipeline adapterPipeline(const SourceRegistration& source, BaseManager& adapter);

}  // namespace vt
