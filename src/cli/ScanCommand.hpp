#pragma once

namespace CLI {
class App;
}

namespace vt::cli {

struct GlobalOptions {
    bool verbose = false;
    bool acceptTerms = false;
};

// `vantreel scan [--all] [--json] [--automatic]`.
void addScanCommand(CLI::App& app, int* exitCode, const GlobalOptions* options);

// `vantreel` alone: what was found before, a scan on launch (unless VT_DISABLE_SCAN_ON_LAUNCH
// is "1"), then the table.
int runLaunch(const GlobalOptions& options);

}  // namespace vt::cli
