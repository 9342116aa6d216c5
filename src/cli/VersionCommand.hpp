#pragma once

namespace CLI {
class App;
}

namespace vt::cli {

// `vantreel version [compare|check|sort|show]`: the version rules for scripts.
// The subcommand's callback stores its exit status in *exitCode.
void addVersionCommand(CLI::App& app, int* exitCode);

}  // namespace vt::cli
