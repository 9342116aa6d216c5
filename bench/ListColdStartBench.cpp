// `vantreel list --json` started afresh over the saved results of a large machine, beside the
// physical floor of the same job: starting a process that does nothing (/bin/true) plus
// reading the same saved bytes. Each timed run is a new process; the one warm-up run (which
// also checks that every item came out) is the only run left out of the figures. The runs
// are interleaved so that a busy machine weighs on both sides alike. A second, smaller set
// first evicts the saved files from the page cache (nothing else of the machine's), as after
// a restart. The last line is the ratio to the floor.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "BenchSupport.hpp"
#include "base/Json.hpp"
#include "core/ScanResultsPersistence.hpp"
#include "support/TempDir.hpp"

namespace {

constexpr int kPackages = 5000;
constexpr int kApplications = 1000;
constexpr int kRuns = 21;
constexpr int kEvictedRuns = 7;
constexpr const char* kEmptyProcess = "/bin/true";

const std::vector<vt::PackageType> kKinds = {vt::PackageType::BrewFormula, vt::PackageType::BrewCask,
                                             vt::PackageType::NpmGlobal,   vt::PackageType::PipPackage,
                                             vt::PackageType::CargoPackage, vt::PackageType::RubyGem};

[[noreturn]] void fail(const std::string& message) { vt::bench::fail("list-cold-start", message); }

// Saved where the program itself looks for them, and returns that folder.
std::string writeResults() {
    vt::PersistedScanResults results;
    for (int i = 0; i < kPackages; ++i) {
        vt::Package package;
        package.name = "package-" + std::to_string(i);
        package.version = "1." + std::to_string(i % 40) + ".0";
        if (i % 3 == 0) package.latestVersion = "2.0." + std::to_string(i % 7);
        package.type = kKinds[static_cast<std::size_t>(i) % kKinds.size()];
        package.description = "A package that does something useful, number " + std::to_string(i);
        if (package.type == vt::PackageType::PipPackage) package.sourceIdentifier = "/usr/bin/python3";
        if (package.type == vt::PackageType::BrewFormula) {
            package.homepage = "https://example.org/" + package.name;
            package.dependencies = std::vector<std::string>{"openssl@3", "zlib"};
            package.installDate = std::chrono::system_clock::now();
        }
        results.packages.push_back(package);
    }
    std::vector<vt::Application> applications;
    for (int i = 0; i < kApplications; ++i) {
        vt::Application application;
        application.id = "app-" + std::to_string(i);
        application.name = "Application " + std::to_string(i);
        application.bundlePath = "/Applications/Application " + std::to_string(i) + ".app";
        application.bundleIdentifier = "org.example.application" + std::to_string(i);
        application.version = "3." + std::to_string(i % 20) + ".1";
        application.updateMechanism = i % 2 == 0 ? vt::UpdateMechanism::Sparkle : vt::UpdateMechanism::DirectDownload;
        if (i % 4 == 0) application.latestVersion = "4.0." + std::to_string(i % 9);
        if (i % 2 == 0) application.sparkleAppcastURL = "https://example.org/appcast" + std::to_string(i) + ".xml";
        applications.push_back(std::move(application));
    }
    results.applications = std::move(applications);
    vt::ScanMetadata metadata;
    metadata.lastScanDate = std::chrono::system_clock::now();
    metadata.packagesCount = kPackages;
    metadata.applicationsCount = kApplications;
    results.metadata = metadata;
    const std::string folder = vt::ScanResultsPersistence::defaultFolder();
    if (!vt::ScanResultsPersistence(folder).save(results).empty()) fail("could not save the results in " + folder);
    return folder;
}

std::vector<std::string> savedFiles(const std::string& folder) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.is_regular_file()) files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Reads every byte of the files as any reader must; returns how many.
std::size_t readAll(const std::vector<std::string>& files) {
    static std::vector<char> buffer(1 << 20);
    std::size_t total = 0;
    for (const std::string& file : files) {
        int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) fail("cannot open " + file);
        ssize_t got = 0;
        while ((got = ::read(fd, buffer.data(), buffer.size())) > 0) total += static_cast<std::size_t>(got);
        ::close(fd);
    }
    return total;
}

// Written pages are dirty until synced, and dirty pages are never dropped.
void evict(const std::vector<std::string>& files) {
    for (const std::string& file : files) {
        int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) fail("cannot open " + file);
        ::fdatasync(fd);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

using Run = vt::bench::ProcessRun;

Run runProcess(const std::vector<const char*>& argv, int outputFd) {
    return vt::bench::runProcess("list-cold-start", argv, outputFd);
}

double timeRead(const std::vector<std::string>& files) {
    auto start = std::chrono::steady_clock::now();
    readAll(files);
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The warm-up: one run whose output is read and checked.
void checkOutput(const std::vector<const char*>& list) {
    std::FILE* output = std::tmpfile();
    if (output == nullptr) fail("no temporary file");
    runProcess(list, fileno(output));
    std::rewind(output);
    std::string text;
    char chunk[65536];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, output)) > 0;) text.append(chunk, got);
    std::fclose(output);
    auto json = vt::parseJson(text);
    if (!json || !json->contains("items") || !(*json)["items"].is_array()) fail("`list --json` printed no items");
    const std::size_t items = (*json)["items"].size();
    if (items != kPackages + kApplications) {
        fail("`list --json` printed " + std::to_string(items) + " items, " + std::to_string(kPackages + kApplications) +
             " were saved");
    }
}

struct Summary {
    double min, median, max;
};

Summary summarize(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return {values.front(), values[values.size() / 2], values.back()};
}

// The sandbox's folders: every folder the program uses comes from these, and the results are
// written through the same paths module the program reads with.
void useSandbox(const std::string& root) {
    for (const auto& [variable, folder] : {std::pair{"HOME", "home"}, std::pair{"XDG_DATA_HOME", "data"},
                                           std::pair{"XDG_CONFIG_HOME", "config"}, std::pair{"XDG_CACHE_HOME", "cache"}}) {
        const std::string path = root + "/" + folder;
        std::filesystem::create_directories(path);
        ::setenv(variable, path.c_str(), 1);
    }
    // The preferences as the first scan leaves them: the sources it found are chosen, so no
    // later command looks for every tool again.
    std::filesystem::create_directories(root + "/config/vantreel");
    std::FILE* settings = std::fopen((root + "/config/vantreel/settings.json").c_str(), "w");
    if (settings == nullptr) fail("cannot write the settings in " + root);
    std::fputs(R"({"DidApplyFirstLaunchDefaults": true, "hasAcceptedOnboardingTerms_v1": true})", settings);
    std::fclose(settings);
}

}  // namespace

int main(int argc, char** argv) {
    // --write-only DIR: the workload alone, in DIR's home, data, config and cache folders, for
    // scripts/order-functions to run the program over.
    if (argc == 3 && std::string_view(argv[1]) == "--write-only") {
        useSandbox(argv[2]);
        writeResults();
        return 0;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: ListColdStartBench PATH-TO-VANTREEL | --write-only DIR\n");
        return 2;
    }
    vt::testing::TempDir sandbox("vt-list-bench");
    useSandbox(sandbox.path());
    const std::string folder = writeResults();
    const std::vector<std::string> files = savedFiles(folder);
    const std::size_t bytes = readAll(files);

    const std::vector<const char*> list = {argv[1], "list", "--json", nullptr};
    const std::vector<const char*> empty = {kEmptyProcess, nullptr};
    // What any command of ours costs before it does anything: loading the program.
    const std::vector<const char*> version = {argv[1], "--version", nullptr};
    int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull < 0) fail("cannot open /dev/null");

    checkOutput(list);

    std::vector<double> ours, oursCpu, emptyProcess, reading, ownStart;
    double peak = 0;
    for (int i = 0; i < kRuns; ++i) {
        Run run = runProcess(list, devNull);
        ours.push_back(run.milliseconds);
        oursCpu.push_back(run.cpuMilliseconds);
        peak = std::max(peak, run.megabytes);
        emptyProcess.push_back(runProcess(empty, devNull).milliseconds);
        reading.push_back(timeRead(files));
        ownStart.push_back(runProcess(version, devNull).milliseconds);
    }
    std::vector<double> oursEvicted, readingEvicted;
    for (int i = 0; i < kEvictedRuns; ++i) {
        evict(files);
        oursEvicted.push_back(runProcess(list, devNull).milliseconds);
        evict(files);
        readingEvicted.push_back(timeRead(files));
    }

    const Summary wall = summarize(ours);
    const Summary cpu = summarize(oursCpu);
    const double start = summarize(emptyProcess).median;
    const double read = summarize(reading).median;
    const double floor = start + read;
    const double evicted = summarize(oursEvicted).median;
    const double evictedFloor = start + summarize(readingEvicted).median;
    std::printf("%d packages, %d applications in %zu saved files, %zu bytes; %d runs each, interleaved\n", kPackages,
                kApplications, files.size(), bytes, kRuns);
    std::printf("vantreel list --json: min %.1f ms, median %.1f ms, max %.1f ms; CPU median %.1f ms; peak RSS %.1f MB\n",
                wall.min, wall.median, wall.max, cpu.median, peak);
    std::printf("floor: %s %.1f ms + reading the saved files %.2f ms = %.1f ms (medians)\n", kEmptyProcess, start, read,
                floor);
    std::printf("loading vantreel alone (vantreel --version): %.1f ms\n", summarize(ownStart).median);
    std::printf("saved files evicted from the page cache first (%d runs): vantreel %.1f ms, floor %.1f ms\n",
                kEvictedRuns, evicted, evictedFloor);
    std::printf("list cold start: %.1f ms, %.1f MB; floor %.1f ms\n", wall.median, peak, floor);
    std::printf("list cold start ratio vantreel/floor: %.2f\n", wall.median / floor);
    return 0;
}
