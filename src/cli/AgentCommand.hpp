#pragma once

#include <string>

#include "base/Json.hpp"

namespace CLI {
class App;
}

namespace vt::cli {

struct GlobalOptions;

// `vantreel agent install [--interval HOURS] | remove | status [--json]`.
void addAgentCommand(CLI::App& app, int* exitCode);

// Installs, rewrites or removes the agent after "BackgroundScanEnabled" or "CheckInterval"
// changed, or every setting (an empty key); any other key does nothing. A failed install
// keeps the agent that was there; the caller puts the setting back as it was.
// Returns an exit status; a failure is printed.
int applyAgentSetting(const std::string& key);

// The plan line of what setting `key` to `after` would do to the agent: install or rewrite it,
// remove it, or nothing (empty). Throws AgentIntervalError for an interval the agent cannot run at.
std::string agentPlanForSetting(const std::string& key, const Json& after);
// The same for every setting back to its default.
std::string agentPlanAfterReset();

// A process the agent started with "--background-scan".
int runBackgroundScan();

}  // namespace vt::cli
