// `vantreel export prometheus` and `vantreel export sqlite` over the saved results of a large
// machine (20,000 items by default, a third of them pending, spread over the sources of this
// build), beside what reading the same results costs the program anyway: `vantreel list
// --json > /dev/null`. The saved scan names apt among its sources, so the export reads apt's
// own cache too where this machine has apt. Each timed run is a new process; the runs are
// interleaved so that a busy machine weighs on every side alike, after one warm-up run of each
// whose output is checked. The last line is the headline: the slower export against the list.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchSupport.hpp"
#include "base/Files.hpp"
#include "core/ManagerRegistry.hpp"
#include "core/ScanResultsPersistence.hpp"
#include "support/TempDir.hpp"

namespace {

constexpr const char* kBench = "export";
constexpr int kRuns = 15;

// Saved where the program itself looks for them.
void writeResults(int items) {
    std::vector<vt::PackageType> kinds;
    vt::ScanMetadata metadata;
    metadata.lastScanDate = std::chrono::system_clock::now();
    for (const vt::SourceRow& row : vt::ManagerRegistry::sources()) {
        kinds.insert(kinds.end(), row.types.begin(), row.types.end());
        vt::SourceScanState state{.id = row.id, .name = row.name, .itemsDate = metadata.lastScanDate};
        state.durationSeconds = 1.5;
        metadata.sources.push_back(state);
    }
    vt::PersistedScanResults results;
    for (int i = 0; i < items; ++i) {
        vt::Package package;
        package.type = kinds[static_cast<std::size_t>(i) % kinds.size()];
        package.name = "package-" + std::to_string(i);
        package.version = "1." + std::to_string(i % 40) + ".3";
        // Every kind of update among the pending third: major, minor, patch, other, security.
        const std::string minor = "1." + std::to_string(i % 40);
        switch (i % 3 == 0 ? (i / 3) % 5 : -1) {
            case 0: package.latestVersion = "2.0.0"; break;
            case 1: package.latestVersion = "1.41.0"; break;
            case 2: package.latestVersion = minor + ".4"; break;
            case 3: package.latestVersion = minor + ".3-1"; break;
            case 4:
                package.latestVersion = minor + ".9";
                package.isSecurityUpdate = true;
                break;
            default: break;
        }
        results.packages.push_back(std::move(package));
    }
    metadata.packagesCount = items;
    results.metadata = metadata;
    const std::string folder = vt::ScanResultsPersistence::defaultFolder();
    if (!vt::ScanResultsPersistence(folder).save(results).empty()) vt::bench::fail(kBench, "cannot save in " + folder);
}

struct Summary {
    double median, max;
};

Summary summarize(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.back()};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: ExportBench PATH-TO-VANTREEL [ITEMS]\n");
        return 2;
    }
    const int items = vt::bench::argument(argc, argv, 2, 20000);
    vt::testing::TempDir sandbox("vt-export-bench");
    ::setenv("HOME", sandbox.makeFolder("home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", sandbox.makeFolder("data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", sandbox.makeFolder("config").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", sandbox.makeFolder("cache").c_str(), 1);
    writeResults(items);
    const std::string metrics = sandbox.file("vantreel.prom");
    const std::string database = sandbox.file("vantreel.db");

    const std::vector<const char*> list = {argv[1], "list", "--json", nullptr};
    const std::vector<const char*> prometheus = {argv[1], "export", "prometheus", "--output", metrics.c_str(), nullptr};
    const std::vector<const char*> sqlite = {argv[1], "export", "sqlite", database.c_str(), nullptr};
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull < 0) vt::bench::fail(kBench, "cannot open /dev/null");

    // The warm-up, checked: the metrics count every pending item, the database holds every item.
    for (const auto* command : {&list, &prometheus, &sqlite}) vt::bench::runProcess(kBench, *command, devNull);
    const std::string text = vt::readFile(metrics).value_or("");
    if (text.find("vantreel_updates_pending{") == std::string::npos) vt::bench::fail(kBench, "no metrics written");
    const auto databaseSize = vt::readFile(database).value_or("").size();
    if (databaseSize == 0) vt::bench::fail(kBench, "no database written");

    std::vector<double> listed, exportedMetrics, exportedDatabase;
    double peak = 0;
    for (int i = 0; i < kRuns; ++i) {
        listed.push_back(vt::bench::runProcess(kBench, list, devNull).milliseconds);
        vt::bench::ProcessRun run = vt::bench::runProcess(kBench, prometheus, devNull);
        exportedMetrics.push_back(run.milliseconds);
        peak = std::max(peak, run.megabytes);
        run = vt::bench::runProcess(kBench, sqlite, devNull);
        exportedDatabase.push_back(run.milliseconds);
        peak = std::max(peak, run.megabytes);
    }
    const Summary listTime = summarize(listed), metricsTime = summarize(exportedMetrics);
    const Summary databaseTime = summarize(exportedDatabase);
    std::printf("%d saved items over %zu sources, a third pending; %d runs each, interleaved\n", items,
                vt::ManagerRegistry::sources().size(), kRuns);
    std::printf("vantreel list --json > /dev/null: median %.1f ms, max %.1f ms\n", listTime.median, listTime.max);
    std::printf("vantreel export prometheus: median %.1f ms, max %.1f ms; %zu bytes\n", metricsTime.median, metricsTime.max,
                text.size());
    std::printf("vantreel export sqlite: median %.1f ms, max %.1f ms; %zu bytes; peak RSS of the exports %.1f MB\n",
                databaseTime.median, databaseTime.max, databaseSize, peak);
    const double slower = std::max(metricsTime.median, databaseTime.median);
    std::printf("export of %d items: %.0f ms at most (median of the slower format), %.2f x list --json\n", items, slower,
                slower / listTime.median);
    return 0;
}
