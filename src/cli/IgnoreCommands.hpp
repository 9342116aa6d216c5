#pragma once

namespace CLI {
class App;
}

namespace vt::cli {

// `ignore`, `unignore`, `skip`, `snooze`, `unsnooze` and `ignored`: every way to take an
// item out of the table, and the list of what is out.
void addIgnoreCommands(CLI::App& app, int* exitCode);

}  // namespace vt::cli
