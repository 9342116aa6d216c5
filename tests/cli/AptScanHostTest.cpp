// `vantreel scan` of apt against apt's own commands: on a private apt root (which always has
// upgrades, a pin, a hold and a security suite) and on this machine's own apt, which only
// simulates, with one package set back in a private copy of dpkg's status so that even an
// up-to-date machine has an upgrade to show.
#include <unistd.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Strings.hpp"
#include "support/AptRoot.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

using testing::AptRoot;

constexpr const char* kAptGet = "/usr/bin/apt-get";
constexpr const char* kUnshare = "/usr/bin/unshare";
constexpr const char* kStatus = "/var/lib/dpkg/status";

// The apt rows of a scan with only apt shown, by name.
std::map<std::string, Json> scannedAptItems(const std::map<std::string, std::string>& environment,
                                            const std::vector<std::string>& wrapper = {}) {
    testing::TempDir home("vt-apt-host");
    testing::showOnly(home.path(), {"ShowApt"});
    auto result = testing::runVantreel({{"--accept-terms", "scan", "--json"}, home.path(), environment, std::nullopt, 240, wrapper});
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    std::map<std::string, Json> apt;
    for (const auto& [key, item] : testing::itemsByKey(testing::jsonOf(result))) {
        if (item.value("type", "") == "apt") apt[item["name"].get<std::string>()] = item;
    }
    return apt;
}

void expectSameUpgrades(const std::map<std::string, Json>& scanned, const std::map<std::string, AptRoot::Upgrade>& apt) {
    EXPECT_EQ(scanned.size(), apt.size());
    for (const auto& [name, upgrade] : apt) {
        auto found = scanned.find(name);
        ASSERT_NE(found, scanned.end()) << name;
        const Json& item = found->second;
        EXPECT_EQ(item["version"], upgrade.installed) << name;
        EXPECT_EQ(item.value("latestVersion", ""), upgrade.candidate) << name;
        EXPECT_EQ(item["updateAvailable"], true) << name;
        EXPECT_EQ(item.value("isSecurityUpdate", false), upgrade.security) << name;
    }
}

TEST(AptScanHostTest, ScanShowsTheUpgradesAptWouldMakeWithTheirOwnVersions) {
    if (!SystemFileSystemManager().isExecutableFile(kAptGet)) GTEST_SKIP() << "no apt-get here";
    AptRoot root;
    ASSERT_FALSE(root.setupFailure()) << *root.setupFailure();
    const std::map<std::string, AptRoot::Upgrade> expected = AptRoot::simulatedUpgrade(&root);
    ASSERT_EQ(expected.size(), 5u);
    std::map<std::string, Json> scanned = scannedAptItems({{"APT_CONFIG", root.configFile()}});
    // The held package and the pinned one are no rows; "1.65.2+deb12u1" is shown as apt gives it.
    expectSameUpgrades(scanned, expected);
    EXPECT_FALSE(scanned.count("held"));
    EXPECT_FALSE(scanned.count("pinned"));
}

// An installed package of this machine whose version is in the machine's package lists and
// that no other installed package names (so that setting it back breaks nothing); nothing
// when there is none.
struct Installed {
    std::string name, version;
};

std::optional<Installed> leafInTheLists(const std::string& status) {
    std::map<std::string, std::string> installed;  // the packages that may be set back: name -> version
    std::set<std::string> named;                    // what installed packages depend on, break or conflict with
    std::map<std::string, std::string> fields;
    auto close = [&] {
        if (fields["Status"] != "install ok installed") {
            fields.clear();
            return;
        }
        for (const char* relation : {"Depends", "Pre-Depends", "Recommends", "Breaks", "Conflicts"}) {
            for (std::string_view alternatives : split(fields[relation], ',')) {
                for (std::string_view one : split(alternatives, '|')) {
                    std::string_view word = trimView(one);
                    named.insert(std::string(word.substr(0, word.find_first_of(" (:["))));
                }
            }
        }
        if (fields["Essential"] != "yes" && fields["Protected"] != "yes" && fields["Multi-Arch"] != "same") {
            installed[fields["Package"]] = fields["Version"];
        }
        fields.clear();
    };
    for (std::string_view line : splitLines(status)) {
        const std::size_t colon = line.find(':');
        if (line.empty()) {
            close();
        } else if (line.front() != ' ' && colon != std::string_view::npos) {  // continuation lines are not read
            fields[std::string(line.substr(0, colon))] = trim(line.substr(colon + 1));
        }
    }
    close();
    // "   name | version | http://... Packages", one line for each version a list offers.
    CommandRequest madison{.command = "/usr/bin/apt-cache", .arguments = {"madison"}, .environment = {{"LC_ALL", "C"}},
                           .timeout = 120, .allowNonZeroExit = true};
    for (const auto& [name, version] : installed) {
        if (!named.count(name)) madison.arguments.push_back(name);
    }
    const std::string offered = CommandRunner::shared().execute(madison).standardOutput;
    for (std::string_view line : splitLines(offered)) {
        const std::vector<std::string_view> columns = split(line, '|');
        if (columns.size() < 3) continue;
        const std::string name = trim(columns[0]), version = trim(columns[1]);
        if (installed.count(name) && installed[name] == version) return Installed{name, version};
    }
    return std::nullopt;
}

// The status text with that package's version replaced.
std::string withVersion(const std::string& status, const std::string& name, const std::string& version) {
    const std::size_t stanza = ("\n" + status).find("\nPackage: " + name + "\n");
    const std::size_t line = status.find("\nVersion: ", stanza);
    const std::size_t end = status.find('\n', line + 1);
    return status.substr(0, line) + "\nVersion: " + version + status.substr(end);
}

// Starts a tool in a mount namespace of its own where `status` is dpkg's status file and apt's
// own cache folder is empty and private (apt rebuilds its cache there, never on this machine).
std::vector<std::string> withPrivateStatus(const std::string& status) {
    std::vector<std::string> wrapper{kUnshare, "--mount"};
    if (::geteuid() != 0) wrapper.push_back("--map-root-user");
    wrapper.insert(wrapper.end(), {"/bin/sh", "-c",
                                   "/bin/mount --bind \"$0\" /var/lib/dpkg/status && /bin/mount -t tmpfs tmpfs /var/cache/apt "
                                   "&& /bin/mkdir -p /var/cache/apt/archives/partial && exec \"$@\"",
                                   status});
    return wrapper;
}

TEST(AptScanHostTest, ScanOfThisMachineMatchesItsSimulatedUpgrade) {
    SystemFileSystemManager files;
    if (!files.isExecutableFile(kAptGet) || !files.isExecutableFile(kUnshare)) GTEST_SKIP() << "no apt-get or unshare here";
    const std::string status = readFile(kStatus).value_or("");
    const std::optional<Installed> leaf = leafInTheLists(status);
    ASSERT_TRUE(leaf) << "no installed package of this machine is also in its package lists";
    testing::TempDir work("vt-apt-machine");
    const std::string setBack = leaf->version + "~";  // just before it, in Debian's order
    SCOPED_TRACE(leaf->name + " set back to " + setBack);
    const std::vector<std::string> wrapper = withPrivateStatus(work.write("status", withVersion(status, leaf->name, setBack)));
    const ShellCommandResult probe = CommandRunner::shared().execute(CommandRequest{
        .command = wrapper.front(),
        .arguments = {wrapper.begin() + 1, wrapper.end()},
        .timeout = 30,
        .allowNonZeroExit = true});
    if (probe.exitCode != 0) GTEST_SKIP() << "no private mount namespace here: " << probe.standardError;

    // apt sees the package set back, and the scan shows what apt would upgrade, that one included.
    const std::map<std::string, AptRoot::Upgrade> expected = AptRoot::simulatedUpgrade(nullptr, wrapper);
    ASSERT_TRUE(expected.count(leaf->name));
    EXPECT_EQ(expected.at(leaf->name).installed, setBack);
    expectSameUpgrades(scannedAptItems({}, wrapper), expected);
}

}  // namespace
}  // namespace vt
