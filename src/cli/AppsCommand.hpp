#pragma once

namespace CLI {
class App;
}

namespace vt::cli {

struct GlobalOptions;

// `vantreel apps [--json] [--verbose]`: the installed applications of the last scan, each
// with its version, bundle identifier, path, update mechanism, resolved source and latest
// version; with --verbose, how each folder was searched.
void addAppsCommand(CLI::App& app, int* exitCode, const GlobalOptions* options);

}  // namespace vt::cli
