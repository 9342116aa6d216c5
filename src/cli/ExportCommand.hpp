#pragma once

namespace CLI {
class App;
}

namespace vt::cli {

// `vantreel export prometheus [--output FILE | --textfile-dir DIR]`,
// `vantreel export sqlite FILE` and `vantreel export osquery-config --db FILE`: the last
// scan's saved results, as `vantreel list` shows them, for the monitoring a fleet already
// runs. Nothing is scanned.
void addExportCommand(CLI::App& app, int* exitCode);

// After a scan saved its results: writes them to the folder of the
// "PrometheusTextfileDirectory" setting, when it names one. A failure is logged and said on
// standard error; it never fails the scan.
void exportAfterScan();

}  // namespace vt::cli
