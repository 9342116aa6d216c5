#include "managers/python/CondaManager.hpp"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Strings.hpp"
#include "managers/python/CondaError.hpp"
#include "support/Thrown.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/Fixtures.hpp"
#include "support/RecordingFileSystem.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

using Response = testing::FakeCommandRunner::Response;

const std::string kBase = "/home/user/miniforge3";
const std::string kScience = kBase + "/envs/science";
const std::string kConda = kBase + "/bin/conda";

std::string fixture(const std::string& name) { return testing::fixture("conda", name); }

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string list(const std::string& environment) {
    return kConda + " list --json -p " + environment;
}
std::string dryRun(const std::string& environment) {
    return kConda + " update --all --dry-run --json -p " + environment;
}

// conda found on the PATH, two environments, and conda-meta times the test sets.
struct CondaFixture {
    testing::ScopedEnvironment searchPath{"PATH", (kBase + "/bin").c_str()};
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    testing::TempDir cacheFolder{"vt-conda-cache"};
    FakeClock clock;
    std::mutex mtimeMutex;
    std::map<std::string, Clock::TimePoint> mtimes;  // by conda-meta path; absent: unreadable
    std::unique_ptr<CondaManager> manager;

    CondaFixture() {
        files.addExecutable(kConda);
        files.addDirectory(kBase + "/conda-meta");
        files.addDirectory(kScience + "/conda-meta");
        runner.on(kConda + " env list --json", Response::output(fixture("env-list.json")));
        runner.on(list(kBase), Response::output(fixture("list-base.json")));
        runner.on(list(kScience), Response::output(fixture("list-science.json")));
        runner.on(dryRun(kBase), Response::output(fixture("dry-run-base.json")));
        runner.on(dryRun(kScience), Response::output(fixture("dry-run-nothing.json")));
        touch(kBase, std::chrono::seconds(100));
        touch(kScience, std::chrono::seconds(200));
        manager = make();
    }

    std::unique_ptr<CondaManager> make() {
        auto modificationTime = [this](const std::string& path) -> std::optional<Clock::TimePoint> {
            std::scoped_lock lock(mtimeMutex);
            auto found = mtimes.find(path);
            return found == mtimes.end() ? std::nullopt : std::optional(found->second);
        };
        return std::make_unique<CondaManager>(
            runner, files,
            CondaManager::Options{.clock = &clock, .home = "/home/user",
                                  .cacheFile = cacheFolder.file("conda_outdated_cache_v3.json"),
                                  .modificationTime = modificationTime, .candidates = std::vector<std::string>{}});
    }

    // Sets the conda-meta time of an environment; a fraction of a second keeps it honest.
    void touch(const std::string& environment, std::chrono::seconds at) {
        std::scoped_lock lock(mtimeMutex);
        mtimes[environment + "/conda-meta"] =
            Clock::TimePoint{} + std::chrono::hours(24 * 365 * 55) + at + std::chrono::microseconds(123457);
    }
    void forgetMtime(const std::string& environment) {
        std::scoped_lock lock(mtimeMutex);
        mtimes.erase(environment + "/conda-meta");
    }
};

std::vector<std::string> keys(const std::vector<Package>& packages) {
    std::vector<std::string> out;
    for (const Package& package : packages) out.push_back(stableKey(package));
    return out;
}

TEST(CondaManagerTest, ListsEveryEnvironmentAndLeavesPyPIEntriesToPip) {
    CondaFixture f;
    std::vector<Package> packages = f.manager->listInstalled({});

    // numpy twice (one per environment), requests not at all: pip reports it.
    EXPECT_EQ(keys(packages),
              (std::vector<std::string>{"package:conda:" + kBase + ":bzip2", "package:conda:" + kBase + ":numpy",
                                        "package:conda:" + kBase + ":python", "package:conda:" + kScience + ":numpy",
                                        "package:conda:" + kScience + ":pandas"}));
    const Package& numpy = packages[1];
    EXPECT_EQ(numpy.type, PackageType::CondaPackage);
    EXPECT_EQ(numpy.version, "1.26.4");
    EXPECT_EQ(numpy.sourceIdentifier, kBase);
    EXPECT_EQ(numpy.tap, "conda-forge");
    EXPECT_EQ(numpy.description, "py311h64a7726_0");
    EXPECT_FALSE(f.manager->errorMessage());

    // Nor through the dry run, when the solve would touch it.
    CondaManager::DryRun plan;
    plan.link.push_back({"requests", "2.32.0", "pypi"});
    plan.unlink.push_back({"requests", "2.31.0", "pypi"});
    EXPECT_TRUE(CondaManager::outdatedFrom(plan, packages, kBase).empty());
}

TEST(CondaManagerTest, OneEnvironmentsFailureNeverStopsTheOthers) {
    CondaFixture f;
    f.runner.on(list(kBase), Response::failure(1, "", fixture("dry-run-error.json")));
    std::vector<Package> packages = f.manager->listInstalled({});
    EXPECT_EQ(packages.size(), 2u);  // science's
    EXPECT_TRUE(contains(f.manager->errorMessage().value_or(""), "The following packages are not available"));

    // Its previous rows stay while it fails.
    f.runner.on(list(kBase), Response::output(fixture("list-base.json")));
    f.manager->listInstalled({});
    f.runner.on(list(kBase), Response::output("Traceback (most recent call last):\n  ..."));
    EXPECT_EQ(f.manager->listInstalled({}).size(), 5u);
    EXPECT_EQ(f.manager->errorMessage(),
              localized("error.conda.command_failed", {localized("error.conda.no_json_payload")}));

    // Without the environment list, the installation conda belongs to is still listed.
    CondaFixture g;
    g.runner.on(kConda + " env list --json", Response::failure(1, "CondaError: cannot read environments.txt"));
    packages = g.manager->listInstalled({});
    EXPECT_EQ(packages.size(), 3u);
    EXPECT_EQ(packages[0].sourceIdentifier, kBase);
}

TEST(CondaManagerTest, ReadsDryRunsOfEveryShape) {
    // conda 4.4+: numpy is an update; python only changes build; libzlib is a new dependency.
    std::vector<Package> installed = {
        {.name = "numpy", .version = "1.26.4", .type = PackageType::CondaPackage, .sourceIdentifier = kBase},
        {.name = "python", .version = "3.11.8", .type = PackageType::CondaPackage, .sourceIdentifier = kBase},
    };
    auto plan = CondaManager::parseDryRun(fixture("dry-run-base.json"));
    ASSERT_TRUE(plan.value);
    std::vector<Package> outdated = CondaManager::outdatedFrom(*plan.value, installed, kBase);
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].name, "numpy");
    EXPECT_EQ(outdated[0].version, "1.26.4");
    EXPECT_EQ(outdated[0].latestVersion, "2.0.0");

    // conda 4.3's list of per-prefix objects, after a banner; the installed version comes
    // from UNLINK when no listing is known.
    plan = CondaManager::parseDryRun(fixture("dry-run-legacy-list.json"));
    ASSERT_TRUE(plan.value);
    outdated = CondaManager::outdatedFrom(*plan.value, {}, kScience);
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].version, "3.3.0");
    EXPECT_EQ(outdated[0].latestVersion, "3.3.1");
    EXPECT_EQ(outdated[0].sourceIdentifier, kScience);

    plan = CondaManager::parseDryRun(fixture("dry-run-nothing.json"));
    ASSERT_TRUE(plan.value);
    EXPECT_TRUE(plan.value->link.empty());
    EXPECT_FALSE(plan.value->error);

    plan = CondaManager::parseDryRun(fixture("dry-run-error.json"));
    ASSERT_TRUE(plan.value);
    EXPECT_TRUE(plan.value->error);

    plan = CondaManager::parseDryRun("Solving environment: failed\n");
    EXPECT_FALSE(plan.value);
    EXPECT_EQ(plan.error, localized("error.conda.no_json_payload"));
}

TEST(CondaManagerTest, OutdatedCacheHoldsSevenDaysOnlyWhileCondaMetaIsUnchanged) {
    CondaFixture f;
    f.manager->listInstalled({});
    LogCapture log;

    // First check: no entries at all, both dry runs, each stored and written at once.
    std::vector<Package> outdated = f.manager->checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].name, "numpy");
    EXPECT_EQ(outdated[0].latestVersion, "2.0.0");
    EXPECT_EQ(log.count("Conda cache: wrote "), 2u);

    // Within the week, conda-meta unchanged: no dry run, from this process or the next one.
    f.clock.advance(std::chrono::hours(24 * 6));
    auto next = f.make();
    next->listInstalled({});
    outdated = next->checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].latestVersion, "2.0.0");
    EXPECT_EQ(outdated[0].sourceIdentifier, kBase);
    EXPECT_EQ(f.runner.count(dryRun(kBase)), 1u);
    EXPECT_EQ(f.runner.count(dryRun(kScience)), 1u);

    // conda-meta of base changed (something was installed): base only is asked again.
    f.touch(kBase, std::chrono::seconds(5000));
    next->checkOutdated({});
    EXPECT_EQ(f.runner.count(dryRun(kBase)), 2u);
    EXPECT_EQ(f.runner.count(dryRun(kScience)), 1u);

    // Past seven days since science's scan, with its conda-meta untouched.
    f.clock.advance(std::chrono::hours(24) + std::chrono::seconds(1));
    next->checkOutdated({});
    EXPECT_EQ(f.runner.count(dryRun(kScience)), 2u);

    // An unreadable conda-meta proves nothing: asked, and not stored.
    f.forgetMtime(kScience);
    next->checkOutdated({});
    next->checkOutdated({});
    EXPECT_EQ(f.runner.count(dryRun(kScience)), 4u);

    // A failed dry run is not kept for a week either.
    f.touch(kScience, std::chrono::seconds(9000));
    f.runner.on(dryRun(kScience), Response::failure(1, "", fixture("dry-run-error.json")));
    next->checkOutdated({});
    EXPECT_TRUE(next->errorMessage().has_value());
    f.runner.on(dryRun(kScience), Response::output(fixture("dry-run-nothing.json")));
    next->checkOutdated({});
    EXPECT_EQ(f.runner.count(dryRun(kScience)), 6u);
    EXPECT_FALSE(next->errorMessage());
}

TEST(CondaManagerTest, UpdateReportsPhasesAndRefreshesItsEnvironment) {
    CondaFixture f;
    std::vector<Package> packages = f.manager->listInstalled({});
    f.manager->checkOutdated({});
    const std::string update = kConda + " update -y -p " + kBase + " numpy";
    std::string output = fixture("update-numpy.stdout");
    // Delivered in pieces that cut lines in two, as a pipe does.
    const std::size_t third = output.size() / 3;
    f.runner.on(update,
                Response::streamed({output.substr(0, third), output.substr(third, third), output.substr(2 * third)}));
    std::string listed = fixture("list-base.json");
    f.runner.on(list(kBase), Response::output(replaced(listed, "1.26.4", "2.0.0")));

    std::vector<std::pair<double, std::string>> progress;
    f.manager->update(
        packages[1],
        [&](double fraction, std::optional<std::string> text) { progress.emplace_back(fraction, text.value_or("")); },
        {});

    std::vector<std::string> phases;
    for (const auto& [fraction, text] : progress) phases.push_back(text);
    EXPECT_EQ(phases, (std::vector<std::string>{localized("conda.phase.downloading"),
                                                localized("conda.phase.preparing"), localized("conda.phase.verifying"),
                                                localized("conda.phase.installing"), localized("conda.phase.done")}));
    EXPECT_EQ(progress.back().first, 1.0);
    EXPECT_EQ(f.manager->packages()[1].version, "2.0.0");
    // The week-long answer for base went with the update.
    LogCapture log;
    f.manager->checkOutdated({});
    EXPECT_TRUE(log.contains("Conda cache: miss for " + kBase + ", no entry"));

    // Updates need an environment that exists, and conda.
    Package lost = packages[1];
    lost.sourceIdentifier.reset();
    const auto noEnvironment = testing::thrown<CondaError>([&] { f.manager->update(lost, {}); });
    EXPECT_EQ(noEnvironment.value().kind(), CondaError::Kind::NoEnvironment);
    EXPECT_EQ(noEnvironment->description(), localized("error.conda.no_environment", {"numpy"}));
    testing::FakeCommandRunner empty;
    testing::RecordingFileSystem nothing;
    CondaManager missing(empty, nothing, CondaManager::Options{.candidates = std::vector<std::string>{}});
    EXPECT_EQ(testing::thrown<CondaError>([&] { missing.update(packages[1], {}); }).value().kind(),
              CondaError::Kind::BinaryNotDetected);
}

TEST(CondaManagerTest, ARefreshReturningNoPackagesAfterAnUpdateKeepsThePreviousList) {
    CondaFixture f;
    std::vector<Package> before = f.manager->listInstalled({});
    f.runner.on(kConda + " update -y -p " + kBase + " numpy", Response::output("Executing transaction: done\n"));
    f.runner.on(list(kBase), Response::output("[]"));
    LogCapture log;

    f.manager->update(before[1], {});
    EXPECT_TRUE(log.contains("Conda refresh after the update returned 0 packages for " + kBase +
                             "; keeping the previous inventory (3 packages)"));
    EXPECT_EQ(f.manager->packages(), before);
    EXPECT_EQ(f.manager->errorMessage(), localized("error.conda.refresh_preserved_inventory", {kBase}));

    // The re-check that follows an update lists everything again: still kept.
    EXPECT_EQ(keys(f.manager->listInstalled({})), keys(before));
    // Once conda lists the environment again, its answer is the inventory.
    f.runner.on(list(kBase), Response::output(R"([{"name": "numpy", "version": "2.0.0", "channel": "conda-forge"}])"));
    EXPECT_EQ(f.manager->listInstalled({}).size(), 3u);  // numpy, and science's two
    // An environment emptied without an update of ours is simply empty.
    f.runner.on(list(kBase), Response::output("[]"));
    EXPECT_EQ(f.manager->listInstalled({}).size(), 2u);

    // `vantreel update` starts a process that has listed nothing yet: the environment is
    // listed before the update, so there is an inventory to keep.
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    testing::TempDir cache{"vt-conda-cache"};
    files.addExecutable(kConda);
    files.addDirectory(kBase + "/conda-meta");
    const std::string line = list(kBase);
    runner.onSequence(line, {Response::output(fixture("list-base.json")), Response::output("[]")});
    runner.on(kConda + " update -y -p " + kBase + " numpy", Response::output("Executing transaction: done\n"));
    CondaManager fresh(runner, files,
                       CondaManager::Options{.cacheFile = cache.file("conda.json"),
                                             .modificationTime = [](const std::string&) { return std::nullopt; },
                                             .candidates = std::vector<std::string>{}});
    fresh.update(before[1], {});
    EXPECT_EQ(keys(fresh.packages()), keys(std::vector<Package>(before.begin(), before.begin() + 3)));
    EXPECT_EQ(runner.count(line), 2u);
}

}  // namespace
}  // namespace vt
