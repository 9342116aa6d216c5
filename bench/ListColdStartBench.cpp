// `vantreel list --json` from a cold start, with the saved results of a large machine: the
// time from start to exit (median of runs) and the peak resident memory of the process.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/ScanResultsPersistence.hpp"
#include "support/TempDir.hpp"

namespace {

constexpr int kPackages = 5000;
// Application records do not exist yet; when they do, 1,000 of them join the saved results.
constexpr int kApplications = 0;
constexpr int kRuns = 15;

std::vector<vt::PackageType> kKinds = {vt::PackageType::BrewFormula, vt::PackageType::BrewCask,
                                       vt::PackageType::NpmGlobal, vt::PackageType::PipPackage,
                                       vt::PackageType::CargoPackage, vt::PackageType::RubyGem};

void writeResults(const std::string& home) {
    vt::PersistedScanResults results;
    for (int i = 0; i < kPackages; ++i) {
        vt::Package package;
        package.name = "package-" + std::to_string(i);
        package.version = "1." + std::to_string(i % 40) + ".0";
        if (i % 3 == 0) package.latestVersion = "2.0." + std::to_string(i % 7);
        package.type = kKinds[static_cast<std::size_t>(i) % kKinds.size()];
        package.description = "A package that does something useful, number " + std::to_string(i);
        if (package.type == vt::PackageType::PipPackage) package.sourceIdentifier = "/usr/bin/python3";
        results.packages.push_back(package);
    }
    vt::ScanMetadata metadata;
    metadata.lastScanDate = std::chrono::system_clock::now();
    metadata.packagesCount = kPackages;
    metadata.applicationsCount = kApplications;
    results.metadata = metadata;
    vt::ScanResultsPersistence(home + "/.local/share/Van Treel/ScanResults").save(results);
}

struct Run {
    double milliseconds;
    double megabytes;
};

Run runList(const std::string& binary, const std::string& home) {
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) {
        setenv("HOME", home.c_str(), 1);
        if (freopen("/dev/null", "w", stdout) == nullptr) _exit(126);
        execl(binary.c_str(), binary.c_str(), "list", "--json", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    double elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "vantreel list failed\n");
        std::exit(1);
    }
    return {elapsed, static_cast<double>(usage.ru_maxrss) / 1024.0};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: ListColdStartBench PATH-TO-VANTREEL\n");
        return 2;
    }
    vt::testing::TempDir home("vt-list-bench");
    writeResults(home.path());
    runList(argv[1], home.path());  // warm the page cache as a user's second run would be
    std::vector<double> times;
    double peak = 0;
    for (int i = 0; i < kRuns; ++i) {
        Run run = runList(argv[1], home.path());
        times.push_back(run.milliseconds);
        peak = std::max(peak, run.megabytes);
    }
    std::sort(times.begin(), times.end());
    std::printf("%d packages, %d applications; %d runs: min %.1f ms, median %.1f ms, max %.1f ms\n", kPackages,
                kApplications, kRuns, times.front(), times[times.size() / 2], times.back());
    std::printf("list cold start: %.0f ms, %.1f MB\n", times[times.size() / 2], peak);
    return 0;
}
