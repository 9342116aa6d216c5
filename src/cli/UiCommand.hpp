#pragma once

namespace CLI {
class App;
}

namespace vt::cli {

struct GlobalOptions;

// `vantreel ui [--color WHEN]` (and `vantreel -i`): the pending updates in a full-screen view
// on a terminal, where rows are tagged, filtered, updated, ignored, snoozed and skipped.
void addUiCommand(CLI::App& app, int* exitCode, const GlobalOptions* options);
// The view with the colours the environment allows; exit 2 without a terminal.
int runUi(const GlobalOptions& options);

}  // namespace vt::cli
