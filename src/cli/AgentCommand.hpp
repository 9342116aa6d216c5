#pragma once

#include <string>

namespace CLI {
class App;
}

namespace vt::cli {

struct GlobalOptions;

// `vantreel agent install [--interval HOURS] | remove | status [--json]`.
void addAgentCommand(CLI::App& app, int* exitCode);

// Installs, rewrites or removes the agent after "BackgroundScanEnabled" or "CheckInterval"
// changed (any other key does nothing). A failed install turns the setting off again.
// Returns an exit status; a failure is printed.
int applyAgentSetting(const std::string& key);

// A process the agent started with "--background-scan".
int runBackgroundScan();

}  // namespace vt::cli
