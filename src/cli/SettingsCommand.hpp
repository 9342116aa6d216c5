#pragma once

namespace CLI {
class App;
}

namespace vt::cli {

// `vantreel settings list|get|set|reset`.
void addSettingsCommand(CLI::App& app, int* exitCode);

}  // namespace vt::cli
