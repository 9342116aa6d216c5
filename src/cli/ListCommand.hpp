#pragma once

namespace CLI {
class App;
}

namespace vt::cli {

struct GlobalOptions;

// `vantreel list [--all] [--json]`: the table from the last scan's saved results, at once.
// `vantreel activity [--json]`: the recent activity, newest first.
void addListCommands(CLI::App& app, int* exitCode, const GlobalOptions* options);

}  // namespace vt::cli
