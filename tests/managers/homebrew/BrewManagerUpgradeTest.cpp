#include "managers/homebrew/BrewManager.hpp"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>
#include <unistd.h>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "managers/homebrew/GhostCaskError.hpp"
#include "support/TempDir.hpp"
#include "system/AuthorizationHelper.hpp"
#include "BrewTestSupport.hpp"
#include "support/Thrown.hpp"

namespace vt {
namespace {

using brewtest::brew;
using brewtest::BrewFixture;
using brewtest::corpusError;
using brewtest::fixture;
using Response = testing::FakeCommandRunner::Response;
using Phase = BrewUpgradePhase;

Package formula(std::string name, std::string version, std::string latest) {
    return Package{.name = std::move(name),
                   .version = std::move(version),
                   .type = PackageType::BrewFormula,
                   .latestVersion = std::move(latest)};
}

Package cask(std::string name, std::string version, std::string latest) {
    Package package = formula(std::move(name), std::move(version), std::move(latest));
    package.type = PackageType::BrewCask;
    return package;
}

std::vector<Phase> upgradePhases(BrewManager& manager, const Package& package) {
    std::vector<Phase> phases;
    manager.upgrade(package, [&](const BrewManager::UpgradeProgress& progress) { phases.push_back(progress.phase); });
    return phases;
}

// What an info query answers when the item is still at the old version.
Response infoShowing(const std::string& section, const std::string& json) {
    return Response::output(R"({"formulae": [)" + (section == "formulae" ? json : "") + R"(], "casks": [)" +
                            (section == "casks" ? json : "") + "]}");
}

TEST(BrewManagerUpgradeTest, StreamsThePhasesOfACaskUpgrade) {
    BrewFixture f;
    f.runner.on(brew("upgrade --cask firefox"), Response::streamed({fixture("upgrade-cask-streamed.stdout")}));
    std::vector<Phase> phases = upgradePhases(*f.manager, cask("firefox", "120.0", "120.0.1"));
    EXPECT_EQ(phases, (std::vector<Phase>{Phase::Installing, Phase::Downloading, Phase::Verifying, Phase::Installing,
                                          Phase::Done}));
    EXPECT_TRUE(f.runner.history()[0].timeout.has_value());  // every run has a time limit
    EXPECT_EQ(BrewManager::phaseForLine("==> Waiting for another brew process to finish"), Phase::Waiting);
    EXPECT_EQ(BrewManager::phaseForLine("==> Linking Binary 'code' to '/opt/homebrew/bin/code'"), Phase::Linking);
}

// "already installed" is a success only about the item itself and once the version agrees;
// otherwise Homebrew's own text reaches the user.
TEST(BrewManagerUpgradeTest, AlreadyInstalledCountsOnlyWhenItNamesTheTargetAndTheVersionAgrees) {
    const std::string warning = "Warning: foo 1.0 already installed";
    const std::string info = brew("info --json=v2 --formula foo");
    BrewFixture f;
    f.runner.on(brew("upgrade --formula foo"), Response::failure(1, warning));
    f.runner.on(info, infoShowing("formulae", R"({"name": "foo", "linked_keg": "1.0"})"));
    LogCapture log;
    EXPECT_NO_THROW(f.manager->upgrade(formula("foo", "0.9", "1.0"), {}));
    EXPECT_TRUE(log.contains("foo: brew says it is already installed; the outdated mark was wrong"));

    BrewFixture stale;
    stale.runner.on(brew("upgrade --formula foo"), Response::failure(1, warning));
    stale.runner.on(info, infoShowing("formulae", R"({"name": "foo", "linked_keg": "0.9"})"));
    EXPECT_EQ(testing::thrown<ParsedBrewError>([&] { stale.manager->upgrade(formula("foo", "0.9", "1.0"), {}); })
                  .value().userMessage(),
              warning);

    BrewFixture other;
    const std::string dependency = "Warning: openssl@3 3.2.0 already installed\nError: foo: failed to build\n";
    other.runner.on(brew("upgrade --formula foo"), Response::failure(1, dependency));
    other.runner.on(info, infoShowing("formulae", R"({"name": "foo", "linked_keg": "0.9"})"));
    LogCapture otherLog;
    EXPECT_THROW(other.manager->upgrade(formula("foo", "0.9", "1.0"), {}), ParsedBrewError);
    EXPECT_FALSE(otherLog.contains("false positive outdated"));
}

TEST(BrewManagerUpgradeTest, EachRepairIsTriedOnceBeforeTheFailureIsReported) {
    BrewFixture f;
    // The reinstall fails the same way: no second reinstall, then the classified error.
    f.runner.on(brew("upgrade --cask discord"), Response::failure(1, fixture("upgrade-cask-app-source-missing.stderr")));
    f.runner.on(brew("reinstall --cask discord"), Response::failure(1, fixture("upgrade-cask-app-source-missing.stderr")));
    f.runner.on(brew("info --json=v2 --cask discord"), infoShowing("casks", R"({"token": "discord", "installed": "0.0.300"})"));
    const auto error = testing::thrown<ParsedBrewError>([&] { f.manager->upgrade(cask("discord", "0.0.300", "0.0.301"), {}); });
    EXPECT_EQ(error.value().kind(), BrewErrorType::Kind::CaskSourceMissing);
    EXPECT_EQ(error->command(), "brew reinstall --cask discord");
    EXPECT_EQ(f.runner.count(brew("reinstall --cask discord")), 1u);
    EXPECT_EQ(f.runner.count(brew("upgrade --cask discord")), 1u);
}

// A failure with a known repair: the repair runs once, and the upgrade succeeds.
TEST(BrewManagerUpgradeTest, KnownFailuresAreRepairedOnce) {
    const std::string notInstalled = corpusError("Error: Cask 'foo' is not installed.");
    struct Case { Package package; std::string upgrade; std::string failure; std::string repair; std::string logged; };
    for (const Case& c : std::vector<Case>{
             {cask("zoom", "6.0.0", "6.0.2"), "upgrade --cask zoom", fixture("upgrade-cask-app-exists.stderr"),
              "upgrade --cask --force zoom", " with --force: an app is already in the way"},
             {cask("foo", "1.0", "1.1"), "upgrade --cask foo", notInstalled, "upgrade --cask homebrew/cask/foo",
              " with the fully qualified name homebrew/cask/foo"},
             {formula("node", "22.1.0", "22.2.0"), "upgrade --formula node", fixture("upgrade-link-failure.stderr"),
              "link --overwrite node", " with brew link --overwrite"}}) {
        SCOPED_TRACE(c.package.name);
        BrewFixture f;
        f.runner.on(brew(c.upgrade), Response::failure(1, c.failure));
        f.runner.on(brew(c.repair), Response::output("done\n"));
        LogCapture log;
        f.manager->upgrade(c.package, {});
        EXPECT_TRUE(log.contains(c.logged));
        EXPECT_EQ(f.runner.commandLines().back(), brew(c.repair));
    }
    BrewFixture f;
    f.runner.on(brew("upgrade --cask foo"), Response::failure(1, notInstalled));
    f.runner.on(brew("upgrade --cask homebrew/cask/foo"), Response::failure(1, notInstalled));
    EXPECT_EQ(testing::thrown<GhostCaskError>([&] { f.manager->upgrade(cask("foo", "1.0", "1.1"), {}); }).value().description(),
              "Cask 'foo' is not installed (ghost Caskroom entry)");
}

TEST(BrewManagerUpgradeTest, ChecksumMismatchDeletesOnlyInsideTheDownloadsCache) {
    const std::string inside = "/Users/user/Library/Caches/Homebrew/downloads/5d1e6a0c--iTerm2-3_5_0.zip";
    {
        BrewFixture f;
        f.files.addFile(inside, "partial");
        f.runner.onSequence(brew("upgrade --cask iterm2"),
                            {Response::failure(1, fixture("upgrade-checksum-mismatch.stderr")),
                             Response::output("🍺  iterm2 was successfully upgraded!\n")});
        LogCapture log;
        f.manager->upgrade(cask("iterm2", "3.4.23", "3.5.0"), {});
        EXPECT_EQ(f.removed, (std::vector<std::string>{inside}));
        EXPECT_FALSE(f.files.fileExists(inside));
        EXPECT_TRUE(log.contains(" after removing the mismatched download from its cache"));
        EXPECT_EQ(f.runner.count(brew("upgrade --cask iterm2")), 2u);
    }
    {
        // "downloads/../file" is outside, whatever the text looks like.
        BrewFixture f;
        f.runner.on(brew("upgrade --formula libgphoto2"),
                    Response::failure(1, fixture("upgrade-checksum-mismatch-outside.stderr")));
        f.runner.on(brew("info --json=v2 --formula libgphoto2"),
                    infoShowing("formulae", R"({"name": "libgphoto2", "linked_keg": "2.5.9"})"));
        LogCapture log;
        EXPECT_THROW(f.manager->upgrade(formula("libgphoto2", "2.5.9", "2.5.10"), {}), ParsedBrewError);
        EXPECT_TRUE(f.removed.empty());
        EXPECT_TRUE(log.contains("Refusing to remove a Homebrew download outside the downloads cache: "));
        EXPECT_EQ(f.runner.count(brew("upgrade --formula libgphoto2")), 1u);
    }
    // Homebrew on Linux caches under ~/.cache; only there is that folder a download cache.
    for (bool isLinux : {true, false}) {
        BrewFixture f({}, isLinux);
        const std::string linuxCache = "/Users/user/.cache/Homebrew/downloads/abc--jq-1.7.1.tar.gz";
        f.runner.on(brew("upgrade --formula jq"),
                    Response::failure(1, "Error: SHA-256 mismatch\n    File: " + linuxCache + "\n"));
        f.runner.on(brew("info --json=v2 --formula jq"), infoShowing("formulae", R"({"name": "jq"})"));
        f.runner.otherwise(Response::output(""));
        EXPECT_THROW(f.manager->upgrade(formula("jq", "1.7", "1.7.1"), {}), ParsedBrewError);
        EXPECT_EQ(f.removed.size(), isLinux ? 1u : 0u) << "isLinux " << isLinux;
    }
}

TEST(BrewManagerUpgradeTest, ConflictingFormulaeAreUnlinkedThenLinkedAgain) {
    BrewFixture f;
    f.runner.onSequence(brew("upgrade --formula libressl"),
                        {Response::failure(1, fixture("upgrade-conflicting-formulae.stderr")),
                         Response::output("==> Pouring libressl--3.9.2.bottle.tar.gz\n")});
    f.runner.on(brew("unlink openssl@3"),
                Response::output("Unlinking /opt/homebrew/Cellar/openssl@3/3.3.0... 0 symlinks removed.\n"));
    f.runner.on(brew("link openssl@3"), Response::failure(1, "Error: Could not symlink bin/openssl"));
    LogCapture log;
    f.manager->upgrade(formula("libressl", "3.9.1", "3.9.2"), {});
    EXPECT_EQ(f.runner.commandLines(),
              (std::vector<std::string>{brew("upgrade --formula libressl"), brew("unlink openssl@3"),
                                        brew("upgrade --formula libressl"), brew("link openssl@3")}));
    EXPECT_TRUE(log.contains("Temporarily unlinked: openssl@3"));
    EXPECT_TRUE(log.contains("Failed to relink openssl@3"));
}

using BrewManagerPermissionTest = brewtest::InFrench;

// What brew prints never names a folder root acts on: a folder it cannot write is named, once
// resolved and found inside a prefix Homebrew has on this system, in a command for the user.
TEST_F(BrewManagerPermissionTest, PermissionFailuresTellTheUserWhatToRunAndRunNothingAsRoot) {
    testing::TempDir root{"vt-brew-prefix"};
    const std::string prefix = root.makeFolder("linuxbrew");
    root.makeFolder("linuxbrew/Frameworks");
    const std::string outside = root.makeFolder("etc");
    ASSERT_EQ(::symlink(outside.c_str(), (prefix + "/var").c_str()), 0);
    struct Case { std::string reported; std::optional<std::string> command; };
    const Case cases[] = {
        {prefix + "/Frameworks", "sudo chown -R 'user' '" + prefix + "/Frameworks'"},
        {prefix + "/./Frameworks/", "sudo chown -R 'user' '" + prefix + "/Frameworks'"},
        // A link inside the prefix leads out of it.
        {prefix + "/var", std::nullopt},
        // A macOS prefix is a system folder on Linux, and root's PATH starts there.
        {"/usr/local/bin", std::nullopt},
        {"/etc/passwd", std::nullopt},
        {prefix, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reported);
        BrewFixture f({}, /*isLinux=*/true);
        f.options.prefixes = {prefix, "/usr/local"};
        f.manager = std::make_unique<BrewManager>(f.runner, f.files, f.options);
        f.runner.on(brew("upgrade --formula qt"), Response::failure(1, "Error: Permission denied @ dir_s_mkdir - " + c.reported));
        f.runner.on(brew("info --json=v2 --formula qt"), infoShowing("formulae", R"({"name": "qt"})"));
        const auto error = testing::thrown<ParsedBrewError>([&] { f.manager->upgrade(formula("qt", "6.6.3", "6.7.0"), {}); });
        EXPECT_EQ(error.value().kind(), BrewErrorType::Kind::PermissionDenied);
        EXPECT_EQ(error->command(), c.command);
        if (c.command) {
            EXPECT_NE(error->userMessage().find(*c.command), std::string::npos) << error->userMessage();
            EXPECT_TRUE(error->requiresUserAction());
        } else {
            EXPECT_EQ(error->userMessage(), "Permission refusée");
        }
        // Nothing was retried: nothing changed.
        EXPECT_EQ(f.runner.count(brew("upgrade --formula qt")), 1u);
        for (const std::string& line : f.runner.commandLines()) EXPECT_EQ(line.find("chown"), std::string::npos) << line;
    }
    EXPECT_FALSE(AuthorizationHelper::isAllowedCommand("/usr/sbin/chown"));
    EXPECT_FALSE(AuthorizationHelper::isAllowedCommand("/bin/chown"));
    EXPECT_FALSE(AuthorizationHelper::isAllowedCommand("/usr/bin/chown"));
}

TEST(BrewManagerUpgradeTest, ReportedErrorWithTheTargetVersionInstalledIsASuccess) {
    BrewFixture f;
    f.runner.on(brew("upgrade --formula wget"), Response::failure(1, "Error: An unexpected error occurred during the `brew link` step"));
    f.runner.on(brew("info --json=v2 --formula wget"),
                infoShowing("formulae", R"({"name": "wget", "linked_keg": null, "installed": [{"version": "1.21.3"}, {"version": "1.21.4"}]})"));
    LogCapture log;
    std::vector<Phase> phases = upgradePhases(*f.manager, formula("wget", "1.21.3", "1.21.4"));
    EXPECT_EQ(phases.back(), Phase::Done);
    EXPECT_TRUE(log.contains("wget: brew reported an error but the installed version is current"));
    EXPECT_TRUE(log.contains("Van Treel: the update seems done despite Homebrew's error."));
    // The listing cache was dropped before the version was read again.
    EXPECT_GE(f.invalidations, 1);
}

TEST(BrewManagerUpgradeTest, RefusesToRunAsRoot) {
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    BrewManager::Options options;
    options.runningAsRoot = true;
    BrewManager manager(runner, files, options);
    const auto error = testing::thrown<ParsedBrewError>([&] { manager.update(formula("wget", "1", "2"), {}); });
    EXPECT_EQ(error.value().userMessage(), localized("brew.error.root.message"));
    EXPECT_TRUE(error->requiresUserAction());
    EXPECT_TRUE(runner.commandLines().empty());
}

TEST(BrewManagerUpgradeTest, StoppingTheTokenStopsTheUpgrade) {
    BrewFixture f;
    f.runner.on(brew("upgrade --cask slack"), Response::output("").after(std::chrono::seconds(30)));
    std::stop_source stop;
    std::thread canceller([&] {
        while (f.runner.history().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stop.request_stop();
    });
    EXPECT_THROW(f.manager->upgrade(cask("slack", "4.37", "4.38"), {}, stop.get_token()), CancellationError);
    canceller.join();
}

}  // namespace
}  // namespace vt
