// compare() over neighbouring versions of real npm packages, and parse-once versus
// parse-per-comparison, the difference that makes `version sort` fast.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "model/VersionRules.hpp"
#include "support/BuildPaths.hpp"

namespace {

std::vector<std::pair<std::string, std::string>> loadPairs() {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::ifstream file(vt::testing::corpusDir() + "/versions/families.tsv");
    std::string line, previousPackage, previousVersion;
    std::getline(file, line);
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string package, version;
        std::getline(fields, package, '\t');
        std::getline(fields, version, '\t');
        if (package == previousPackage) pairs.emplace_back(previousVersion, version);
        previousPackage = package;
        previousVersion = version;
    }
    return pairs;
}

const std::vector<std::pair<std::string, std::string>>& pairs() {
    static const auto all = loadPairs();
    return all;
}

void CompareTexts(benchmark::State& state) {
    const auto& all = pairs();
    if (all.empty()) {
        state.SkipWithError("corpus not present");
        return;
    }
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& [a, b] = all[i++ % all.size()];
        benchmark::DoNotOptimize(vt::compareVersions(a, b));
    }
}
BENCHMARK(CompareTexts);

void CompareParsed(benchmark::State& state) {
    const auto& all = pairs();
    if (all.empty()) {
        state.SkipWithError("corpus not present");
        return;
    }
    std::vector<std::pair<vt::ParsedVersion, vt::ParsedVersion>> parsed;
    for (const auto& [a, b] : all) parsed.emplace_back(vt::parseVersion(a), vt::parseVersion(b));
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& [a, b] = parsed[i++ % parsed.size()];
        benchmark::DoNotOptimize(vt::compareVersions(a, b));
    }
}
BENCHMARK(CompareParsed);

void IsUpdateAvailable(benchmark::State& state) {
    const auto& all = pairs();
    if (all.empty()) {
        state.SkipWithError("corpus not present");
        return;
    }
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& [a, b] = all[i++ % all.size()];
        benchmark::DoNotOptimize(vt::isUpdateAvailable(a, b, false));
    }
}
BENCHMARK(IsUpdateAvailable);

}  // namespace

BENCHMARK_MAIN();
