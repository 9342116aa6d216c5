// `vantreel update` of the distribution's packages as root, in a mount namespace of its own
// where a stand-in that logs its calls is bound over /usr/bin/apt-get: the machine's own
// packages are never touched, and the program runs the system path it always runs.
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "base/Strings.hpp"
#include "core/ScanResultsPersistence.hpp"
#include "model/VersionRules.hpp"
#include "support/BuildPaths.hpp"
#include "support/FakeTools.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"
#include "system/CommandRunner.hpp"

namespace vt {
namespace {

constexpr const char* kUnshare = "/usr/bin/unshare";
constexpr const char* kAptGet = "/usr/bin/apt-get";

class AptUpdateE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(kUnshare) || !std::filesystem::exists(kAptGet)) {
            GTEST_SKIP() << "needs " << kUnshare << " and a file at " << kAptGet << " to bind over";
        }
        testing::showOnly(home_.path(), {"ShowApt"});
        // After the install nothing is pending: the re-check's simulation lists no upgrade.
        apt_.add("apt-get", R"SH(case "$1" in
  -s) exit 0 ;;
  install) exit 0 ;;
  *) exit 100 ;;
esac)SH");
        save();
    }

    // The scan's results: three pending upgrades.
    void save() const {
        PersistedScanResults results;
        auto add = [&results](const char* name, const char* version, std::string latest) {
            results.packages.push_back(
                Package{.name = name, .version = version, .type = PackageType::AptPackage, .latestVersion = latest});
        };
        add("vt-alpha", "1.0-1", "1.1-1");
        add("vt-bravo", "2:2.0", "2:2.0+deb12u1");
        add("vt-charlie:i386", "3.0", std::string(kUpdateAvailableSentinel));  // apt could not say which
        results.metadata = ScanMetadata{};
        ScanResultsPersistence(testing::dataFolder(home_.path()) + "/ScanResults").save(results);
    }

    // `vantreel ARGUMENTS` inside a private mount namespace with the stand-in bound over apt-get,
    // as root (the namespace maps this user to root when it is not root already).
    ShellCommandResult runAsRoot(const std::vector<std::string>& arguments) {
        CommandRequest request;
        request.command = kUnshare;
        request.arguments = {"--mount"};
        if (::geteuid() != 0) request.arguments.push_back("--map-root-user");
        request.arguments.insert(request.arguments.end(),
                                 {"/bin/sh", "-c", "mount --bind \"$0\" /usr/bin/apt-get && exec \"$@\"",
                                  apt_.folder() + "/apt-get", testing::vantreelPath(), "--accept-terms"});
        request.arguments.insert(request.arguments.end(), arguments.begin(), arguments.end());
        request.environment = {{"HOME", home_.path()}, {"LANG", "C"}};
        request.timeout = 120;
        request.allowNonZeroExit = true;
        return CommandRunner().execute(request);
    }

    testing::TempDir home_{"vt-apt-update-e2e"};
    testing::FakeTools apt_{home_.file("fake"), home_.file("apt-calls")};
};

TEST_F(AptUpdateE2ETest, RootUpdatesEveryAptItemInOneRunAtTheVersionsShown) {
    auto probe = runAsRoot({"version"});
    if (probe.exitCode != 0) GTEST_SKIP() << "no private mount namespace here: " << probe.standardError;

    auto dryRun = runAsRoot({"update", "--all", "--dry-run"});
    ASSERT_EQ(dryRun.exitCode, 0) << dryRun.standardError;
    EXPECT_EQ(apt_.log(), "");

    auto result = runAsRoot({"update", "--all", "--yes"});
    EXPECT_EQ(result.exitCode, 0) << result.standardOutput << result.standardError;
    std::vector<std::string> installs;
    const std::string calls = apt_.log();
    for (std::string_view line : splitLines(calls)) {
        if (startsWith(line, "apt-get install")) installs.emplace_back(line);
    }
    ASSERT_EQ(installs.size(), 1u) << apt_.log();
    EXPECT_EQ(installs[0], "apt-get install --only-upgrade -y vt-alpha=1.1-1 vt-bravo=2:2.0+deb12u1 vt-charlie:i386");
    EXPECT_EQ(result.standardError.find("administrator prompt"), std::string::npos) << result.standardError;
    EXPECT_NE(result.standardOutput.find("3 updated, 0 failed"), std::string::npos) << result.standardOutput;

    // Named items go through the same single run, each once however often it is named.
    save();
    apt_.clearLog();
    auto named = runAsRoot({"update", "vt-bravo", "apt:vt-alpha", "vt-alpha", "APT:VT-BRAVO", "--yes"});
    EXPECT_EQ(named.exitCode, 0) << named.standardOutput << named.standardError;
    EXPECT_NE(apt_.log().find("apt-get install --only-upgrade -y vt-bravo=2:2.0+deb12u1 vt-alpha=1.1-1\n"),
              std::string::npos)
        << apt_.log();
}

}  // namespace
}  // namespace vt
