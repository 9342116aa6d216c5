#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace CLI {
class App;
}

namespace vt::cli {

struct ScanReport;

struct GlobalOptions {
    bool verbose = false;
    bool quiet = false;  // no progress, no lines beyond the results and the errors
    bool acceptTerms = false;
    // How the background agent and the menu bar start us.
    bool backgroundScan = false;
    bool menuBarScan = false;
    bool interactive = false;  // -i: the full-screen view
};

// `vantreel scan [--all] [--json] [--only SRC] [--exit-code] [--automatic] [--full]`.
void addScanCommand(CLI::App& app, int* exitCode, const GlobalOptions* options);

// --all, --search and --source: what the table of scan, list and watch shows.
void addTableOptions(CLI::App& command, bool& all, std::string& search, std::string& source);

// `vantreel` alone: what was found before, a scan on launch (unless VT_DISABLE_SCAN_ON_LAUNCH
// is "1"), then the table.
int runLaunch(const GlobalOptions& options);

// A scan asked for from the menu bar: the one a person starts, with its table.
int runMenuBarScan(const GlobalOptions& options);

// An automatic scan for the background agent, without output: the number of pending
// updates (items and applications) when it completed; nothing when it was cancelled, cut
// short or did not run.
std::optional<std::size_t> automaticScanUpdateCount();

// The applications, Sparkle releases and system updates join a report while their source is shown.
void addApplications(ScanReport& report);

}  // namespace vt::cli
