// Three virtual environments that see the system Python's packages, one package index on
// loopback answering each page after 50 ms. In one run: `pip list --outdated --format=json`
// of the three environments at once (the fastest a person could get them), then our pip
// scanner's outdated check over the same three (after its listing, as in a scan). Each round
// first checks that both found the same outdated packages. Median of three rounds; the last
// line is the ratio of our listing and check together to the pips.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "managers/ExecutableLocator.hpp"
#include "managers/python/PipManager.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace {

constexpr int kEnvironments = 3;
constexpr int kRounds = 3;
constexpr auto kLatency = std::chrono::milliseconds(50);

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// name (normalised), installed version, latest version
using Outdated = std::tuple<std::string, std::string, std::string>;

std::string describe(const Outdated& entry) {
    return std::get<0>(entry) + " " + std::get<1>(entry) + " -> " + std::get<2>(entry);
}

int fail(const std::string& message) {
    std::fprintf(stderr, "pip-envs: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main() {
    vt::testing::TempDir work("vt-pip-envs");
    // pip reads its index from the home folder's pip.conf; the runner hands children HOME.
    const std::string home = work.makeFolder("home");
    ::setenv("HOME", home.c_str(), 1);
    vt::CommandRunner runner;
    vt::SystemFileSystemManager files;
    std::optional<std::string> python = vt::ExecutableLocator(files).locate("python3");
    if (!python) return fail("no python3");

    std::vector<vt::PipManager::Environment> environments;
    for (int i = 0; i < kEnvironments; ++i) {
        const std::string folder = work.file("venv" + std::to_string(i));
        vt::CommandRequest make{.command = *python,
                                .arguments = {"-m", "venv", "--system-site-packages", folder},
                                .timeout = 300,
                                .allowNonZeroExit = true};
        if (runner.execute(make).exitCode != 0) return fail("python3 -m venv failed (is python3-venv installed?)");
        auto environment =
            vt::PythonEnvironments().describe(folder + "/bin/python3", vt::PythonEnvironments::Kind::User);
        if (!environment) return fail("no environment in " + folder);
        environments.push_back(*environment);
    }

    // Every project any environment has gets a page offering a newer version.
    vt::testing::LoopbackServer index;
    std::set<std::string> projects;
    for (const auto& environment : environments) {
        vt::CommandRequest list{
            .command = environment.interpreter, .arguments = {"-m", "pip", "list", "--format=json"}, .timeout = 120};
        std::optional<vt::Json> json = vt::parseJson(runner.execute(list).standardOutput);
        if (!json || !json->is_array()) return fail("pip list gave no JSON");
        for (const auto& item : *json) projects.insert(vt::PipManager::normalizedName(item.value("name", "")));
    }
    for (const std::string& project : projects) {
        vt::testing::LoopbackRoute page;
        page.latency = kLatency;
        page.contentType = "text/html; charset=utf-8";
        const std::string file = project + "-999.0-py3-none-any.whl";
        page.body = "<!DOCTYPE html><html><body><a href=\"/files/" + file + "\">" + file + "</a></body></html>\n";
        index.setRoute("/simple/" + project + "/", page);
    }
    std::filesystem::create_directories(home + "/.config/pip");
    vt::writeFileAtomically(home + "/.config/pip/pip.conf", "[global]\nindex-url = " + index.url("/simple") + "\n");

    vt::PipManager::Options options;
    options.environments = [&environments] { return environments; };
    vt::PipManager scanner(runner, files, options);

    std::vector<double> peerTimes, scannerTimes, fullTimes;
    std::size_t found = 0;
    for (int round = 0; round < kRounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        std::size_t peerFound = 0;
        // What pip itself calls outdated: name, installed and latest version. Every environment
        // sees the same system packages, and our scanner reports each name once.
        std::set<Outdated> expected;
        std::vector<std::future<vt::ShellCommandResult>> runs;
        for (const auto& environment : environments) {
            vt::CommandRequest outdated{.command = environment.interpreter,
                                        .arguments = {"-m", "pip", "list", "--outdated", "--format=json"},
                                        .timeout = 300};
            runs.push_back(std::async(std::launch::async, [&runner, outdated] { return runner.execute(outdated); }));
        }
        for (auto& run : runs) {
            std::optional<vt::Json> json = vt::parseJson(run.get().standardOutput);
            if (!json || !json->is_array()) return fail("`pip list --outdated` gave no JSON array");
            peerFound += json->size();
            for (const auto& item : *json) {
                expected.insert({vt::PipManager::normalizedName(item.value("name", "")), item.value("version", ""),
                                 item.value("latest_version", "")});
            }
        }
        peerTimes.push_back(secondsSince(start));

        start = std::chrono::steady_clock::now();
        scanner.listInstalled({});
        auto checkStart = std::chrono::steady_clock::now();
        std::vector<vt::Package> packages = scanner.checkOutdated({});
        scannerTimes.push_back(secondsSince(checkStart));
        fullTimes.push_back(secondsSince(start));
        found = packages.size();
        if (scanner.errorMessage()) return fail("scanner message: " + *scanner.errorMessage());
        std::set<Outdated> ours;
        for (const vt::Package& package : packages) {
            ours.insert({vt::PipManager::normalizedName(package.name), package.version,
                         package.latestVersion.value_or("")});
        }
        if (ours != expected || expected.empty()) {
            std::fprintf(stderr, "pip-envs: the scanner and pip disagree on what is outdated (%zu against %zu)\n",
                         ours.size(), expected.size());
            for (const Outdated& entry : expected) {
                if (!ours.count(entry)) std::fprintf(stderr, "  only pip: %s\n", describe(entry).c_str());
            }
            for (const Outdated& entry : ours) {
                if (!expected.count(entry)) std::fprintf(stderr, "  only ours: %s\n", describe(entry).c_str());
            }
            return 1;
        }
        std::printf(
            "round %d: the three pips at once %.2f s (%zu outdated rows), scanner check %.2f s, listing + check %.2f s "
            "(%zu packages shown outdated, the same as pip's)\n",
            round + 1, peerTimes.back(), peerFound, scannerTimes.back(), fullTimes.back(), found);
    }
    const double peer = median(peerTimes);
    std::printf(
        "%d environments, %zu projects on the index, %lld ms per page; medians of %d: the pips at once %.2f s, "
        "scanner check %.2f s, scanner listing + check %.2f s\n",
        kEnvironments, projects.size(), static_cast<long long>(kLatency.count()), kRounds, peer,
        median(scannerTimes), median(fullTimes));
    std::printf("pip envs ratio vantreel check alone/pips at once: %.2f\n", median(scannerTimes) / peer);
    // The headline: `pip list --outdated` lists and checks, so our listing counts too.
    std::printf("pip envs ratio vantreel (listing + check)/pips at once: %.2f\n", median(fullTimes) / peer);
    return 0;
}
