#pragma once

namespace CLI {
class App;
}

namespace vt::cli {

// `vantreel managers [--json]`: each source this build scans, whether its tool is here (and
// where), and whether it is shown.
void addManagersCommand(CLI::App& app, int* exitCode);

}  // namespace vt::cli
