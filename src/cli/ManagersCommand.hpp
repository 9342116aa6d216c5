#pragma once

namespace CLI {
class App;
}

namespace vt::cli {

// `vantreel managers [--json]`: every source, whether its tool is here, and whether it is shown.
void addManagersCommand(CLI::App& app, int* exitCode);

}  // namespace vt::cli
