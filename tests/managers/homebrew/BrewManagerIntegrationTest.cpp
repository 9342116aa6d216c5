// The adapter over the real process runner, against a fake `brew` first on the PATH.
#include "managers/homebrew/BrewManager.hpp"

#include <functional>

#include <gtest/gtest.h>

#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"
#include "BrewTestSupport.hpp"
#include "support/TempDir.hpp"
#include "support/TempHome.hpp"

namespace vt {
namespace {

using Phase = BrewUpgradePhase;

// Upgrades the package with SCRIPT as `brew` first on the PATH; the phases it went through.
std::vector<Phase> upgradeWith(const testing::TempDir& folder, const char* script, const Package& package,
                               const std::function<void(Phase)>& seen = {}) {
    testing::TempHome home;
    folder.writeExecutable("bin/brew", script);
    CommandRunner runner(CommandRunner::Options{.askpassScript = [] { return std::optional<std::string>(); }});
    SystemFileSystemManager files;
    BrewManager::Options options;
    options.runningAsRoot = false;
    options.environment = {{"PATH", folder.file("bin") + ":/usr/bin:/bin"}, {"VT_FAKE_BREW_DIR", folder.path()}};
    BrewManager manager(runner, files, options);
    std::vector<Phase> phases;
    manager.upgrade(package, [&](const BrewManager::UpgradeProgress& progress) {
        phases.push_back(progress.phase);
        if (seen) seen(progress.phase);
    });
    return phases;
}

// Prints an upgrade as Homebrew does, but stops after the download line until the test has
// seen that line: the upgrade only finishes if the phases really arrive while brew runs.
constexpr const char* kFakeBrew = R"(#!/bin/sh
echo "$@" > "$VT_FAKE_BREW_DIR/arguments"
echo "HOMEBREW_NO_AUTO_UPDATE=$HOMEBREW_NO_AUTO_UPDATE" >> "$VT_FAKE_BREW_DIR/arguments"
case "$1" in
  upgrade)
    echo "==> Upgrading 1 outdated package:"
    echo "wget 1.21.3 -> 1.21.4"
    echo "==> Fetching wget"
    i=0
    while [ ! -f "$VT_FAKE_BREW_DIR/seen-download" ]; do
      i=$((i + 1))
      if [ "$i" -gt 500 ]; then echo "Error: progress never arrived" >&2; exit 3; fi
      sleep 0.01
    done
    echo "==> Verifying attestation for wget"
    echo "==> Pouring wget--1.21.4.arm64_sonoma.bottle.tar.gz"
    echo "Warning: wget 1.21.4 is linked" >&2
    echo "🍺  wget was successfully upgraded!"
    ;;
  *)
    echo "Error: Unknown command: $1" >&2
    exit 1
    ;;
esac
)";

TEST(BrewManagerIntegrationTest, StreamsUpgradePhasesFromARealProcess) {
    testing::TempDir folder("vt-brew");
    std::vector<Phase> phases = upgradeWith(
        folder, kFakeBrew,
        Package{.name = "wget", .version = "1.21.3", .type = PackageType::BrewFormula, .latestVersion = "1.21.4"},
        [&](Phase phase) {
            if (phase == Phase::Downloading) folder.write("seen-download", "");
        });
    EXPECT_EQ(phases, (std::vector<Phase>{Phase::Installing, Phase::Downloading, Phase::Verifying, Phase::Installing,
                                          Phase::Done}));
    std::optional<std::string> arguments = readFile(folder.file("arguments"));
    ASSERT_TRUE(arguments);
    EXPECT_EQ(*arguments, "upgrade --formula wget\nHOMEBREW_NO_AUTO_UPDATE=1\n");
}

// A cask whose app went missing: the upgrade fails on standard error, the reinstall works.
constexpr const char* kBrokenCaskBrew = R"(#!/bin/sh
echo "$@" >> "$VT_FAKE_BREW_DIR/calls"
case "$1 $2" in
  "upgrade --cask")
    echo "==> Upgrading discord"
    echo "Error: discord: It seems the App source '/Applications/Discord.app' is not there." >&2
    exit 1
    ;;
  "reinstall --cask")
    echo "==> Downloading https://downloads.example.com/discord.dmg"
    echo "🍺  discord was successfully reinstalled!"
    ;;
  *)
    echo "Error: Unknown command: $1" >&2
    exit 1
    ;;
esac
)";

TEST(BrewManagerIntegrationTest, RepairsAFailedCaskUpgradeFromTheRealOutput) {
    testing::TempDir folder("vt-brew");
    std::vector<Phase> phases = upgradeWith(
        folder, kBrokenCaskBrew,
        Package{.name = "discord", .version = "0.0.300", .type = PackageType::BrewCask, .latestVersion = "0.0.301"});
    EXPECT_EQ(phases, (std::vector<Phase>{Phase::Installing, Phase::Downloading, Phase::Done}));
    EXPECT_EQ(readFile(folder.file("calls")), "upgrade --cask discord\nreinstall --cask discord\n");
}

}  // namespace
}  // namespace vt
