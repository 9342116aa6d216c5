#pragma once

namespace CLI {
class App;
}

namespace vt::cli {

// `vantreel endpoints [--json]`: the service addresses in effect, overrides included.
// The subcommand's callback stores its exit status in *exitCode.
void addEndpointsCommand(CLI::App& app, int* exitCode);

}  // namespace vt::cli
