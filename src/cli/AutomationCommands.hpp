#pragma once

namespace CLI {
class App;
}

namespace vt::cli {

struct GlobalOptions;

// `vantreel check-updates` and `vantreel outdated-count`: the automation actions that scan
// and count, as numbers, JSON or exit statuses.
void addAutomationCommands(CLI::App& app, int* exitCode, const GlobalOptions* options);

}  // namespace vt::cli
