#pragma once

namespace CLI {
class App;
}

namespace vt::cli {

struct GlobalOptions;

// `vantreel watch [--every SECONDS] [--all] [--search TEXT] [--source NAME] [--json]`: the
// table, refreshed at each automatic scan the shared throttle lets through, until Ctrl-C.
void addWatchCommand(CLI::App& app, int* exitCode, const GlobalOptions* options);

}  // namespace vt::cli
