#pragma once

#include <functional>
#include <string>
#include <vector>

#include "updates/BatchUpdateResult.hpp"

namespace CLI {
class App;
}

namespace vt::cli {

struct GlobalOptions;

// `vantreel update ITEM... [--json]` and `vantreel update --all`: ITEM is a stable key, or a name when it is unambiguous.
void addUpdateCommand(CLI::App& app, int* exitCode, const GlobalOptions* options);

// Failures feed the auto-deferral rules; a success clears an item's history.
void recordOutcomes(const std::vector<PackageUpdateResult>& results);

// For an update of one application the user asked for: whether a running application may be
// replaced under itself, asked on the terminal (never with JSON output, nor without a terminal).
std::function<bool(const std::string& appName)> replaceRunningConsent(bool json);

}  // namespace vt::cli
