#pragma once

namespace CLI {
class App;
}

namespace vt::cli {

struct GlobalOptions;

// `vantreel download ID [--json]`: fetches the update file of a row of the last scan into the
// download folder and says where it went; "ManualUpdateMode" decides whether it is installed.
void addDownloadCommand(CLI::App& app, int* exitCode, const GlobalOptions* options);

}  // namespace vt::cli
