// The all-updates display model: 20,000 rows from 40 sources, 2,000 of them standing for a
// bundle another source also has. Building the model (visibility, search, ignores,
// de-duplication, order, action states) is compared with the floor of sorting the same rows
// by the same keys; then the cost of asking again with an unchanged signal. The last line is
// the ratio of the medians of 15 builds.
//
//   DisplayModelBench [rows=20000] [sources=40] [duplicates=2000]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "BenchSupport.hpp"
#include "presentation/AllUpdatesDisplayModelCache.hpp"
#include "presentation/AllUpdatesRowPipeline.hpp"
#include "presentation/IgnoreFilter.hpp"

namespace {

using vt::bench::argument;
using vt::bench::secondsSince;

using Clock = std::chrono::steady_clock;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A quarter of the sources are application sources; their rows carry bundle paths, and the
// duplicates are rows of one of them standing for a bundle of another.
std::vector<vt::AllUpdateRow> makeRows(int count, int sources, int duplicates) {
    static const char* kWords[] = {"alpha", "Beta", "gamma", "Delta", "élan", "Zeta", "omega", "Kappa", "sigma", "Tau"};
    std::mt19937 random(42);
    std::vector<vt::AllUpdateRow> rows;
    rows.reserve(static_cast<std::size_t>(count));
    const int applicationSources = sources / 4;
    for (int i = 0; i < count; ++i) {
        vt::AllUpdateRow row;
        const int source = i % sources;
        row.source = "Source " + std::to_string(source);
        row.name = std::string(kWords[random() % 10]) + "-" + kWords[random() % 10] + "-" + std::to_string(i);
        row.id = "package:source" + std::to_string(source) + ":" + row.name;
        row.currentVersion = "1." + std::to_string(i % 50);
        row.latestVersion = "2." + std::to_string(i % 70);
        row.icon = "shippingbox";
        if (source < applicationSources) {
            row.kind = vt::AllUpdateRow::Kind::Application;
            row.bundleIdentifier = "com.example.app" + std::to_string(i);
            row.bundlePath = "/Applications/App " + std::to_string(i) + ".app";
        }
        rows.push_back(std::move(row));
    }
    // Rows of the first half of the application sources stand for bundles of the second half.
    const int half = applicationSources / 2;
    int made = 0;
    for (int i = 0; i + half < count && made < duplicates; ++i) {
        if (i % sources >= half) continue;
        rows[static_cast<std::size_t>(i)].bundlePath = rows[static_cast<std::size_t>(i + half)].bundlePath;
        ++made;
    }
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argument(argc, argv, 1, 20000);
    const int sources = std::max(argument(argc, argv, 2, 40), 8);
    const int duplicates = argument(argc, argv, 3, 2000);
    const std::vector<vt::AllUpdateRow> rows = makeRows(count, sources, duplicates);

    vt::IgnoreFilter::State ignores;
    ignores.ignored = {"com.example.app3", "package:source9:nothing"};
    ignores.skippedVersions = {{rows[20].id, *rows[20].latestVersion}};
    vt::AllUpdatesPipelineInput input;
    input.isVisible = [](const vt::AllUpdateRow& row) { return row.source != "Source 39"; };
    input.rowActionState = [](const vt::AllUpdateRow& row) {
        vt::AllUpdateRowActionState state;
        state.isUpdateable = row.kind == vt::AllUpdateRow::Kind::Package;
        state.isManualApplication = !state.isUpdateable;
        return state;
    };
    input.bundleDeduplicationKey = vt::defaultBundleDeduplicationKey;
    input.preferenceScore = vt::defaultPreferenceScore;

    std::vector<double> builds, floors;
    std::size_t shown = 0;
    std::optional<vt::IgnoreFilter> filter;  // outlives the loop: the cached build below uses it
    for (int run = 0; run < 15; ++run) {
        auto start = Clock::now();
        filter.emplace(ignores, rows);
        input.hiding = [&filter](const vt::AllUpdateRow& row) { return filter->hiding(row); };
        vt::AllUpdatesDisplayModel model = vt::AllUpdatesRowPipeline::run(rows, input);
        builds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        shown = model.size();

        // The floor: the same rows copied and sorted by the same keys (source, then name,
        // without case or accents).
        start = Clock::now();
        std::vector<vt::AllUpdateRow> copy = rows;
        struct Key {
            std::string source, name;
            std::size_t index;
        };
        std::vector<Key> keys;
        keys.reserve(copy.size());
        for (std::size_t i = 0; i < copy.size(); ++i) {
            keys.push_back({vt::foldForComparison(copy[i].source), vt::foldForComparison(copy[i].name), i});
        }
        std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
            if (int order = a.source.compare(b.source); order != 0) return order < 0;
            return a.name < b.name;
        });
        floors.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }

    vt::AllUpdatesDisplayModelCache cache;
    vt::AllUpdatesSignalParts parts{.packagesRevision = 7, .applicationsRevision = 3, .searchText = "beta"};
    cache.model(vt::composeSignal(parts), [&] { return vt::AllUpdatesRowPipeline::run(rows, input); });
    constexpr int kLookups = 1'000'000;
    std::size_t sink = 0;
    auto start = Clock::now();
    for (int i = 0; i < kLookups; ++i) {
        parts.runtimeGeneration = 0;  // unchanged inputs, the signal composed anew each time
        sink += cache.model(vt::composeSignal(parts), [&] { return vt::AllUpdatesDisplayModel{}; })->size();
    }
    const double cachedNs = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kLookups;

    const double build = median(builds), floor = median(floors);
    std::printf("display-model: %d rows, %d sources, %d duplicates; %zu rows shown\n", count, sources, duplicates, shown);
    std::printf("display-model build %.2f ms, floor (copy and sort by the same keys) %.2f ms (medians of 15)\n",
                build * 1e3, floor * 1e3);
    std::printf("display-model unchanged signal: %.1f ns per request (%zu)\n", cachedNs, sink / kLookups);
    std::printf("display-model ratio build/floor: %.2f\n", build / floor);
    return 0;
}
