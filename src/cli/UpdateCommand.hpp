#pragma once

namespace CLI {
class App;
}

namespace vt::cli {

struct GlobalOptions;

// `vantreel update ITEM... [--json]` and `vantreel update --all`: ITEM is a stable key, or a name when it is unambiguous.
void addUpdateCommand(CLI::App& app, int* exitCode, const GlobalOptions* options);

}  // namespace vt::cli
