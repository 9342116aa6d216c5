// apt, Flatpak, Snap and fwupd against their recorded or documented outputs (tests/managers/fixtures;
// fwupd's daemon cannot run here).
#include <sys/stat.h>
#include <utime.h>

#include <gtest/gtest.h>

#include "base/Clock.hpp"
#include "managers/system/AptManager.hpp"
#include "managers/system/FirmwareManager.hpp"
#include "managers/system/FlatpakManager.hpp"
#include "managers/system/SnapManager.hpp"
#include "model/PendingUpdate.hpp"
#include "model/VersionRules.hpp"
#include "support/Thrown.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/Fixtures.hpp"
#include "support/RecordingFileSystem.hpp"
#include "support/TempDir.hpp"
#include "system/AdminPrompt.hpp"

namespace vt {
namespace {

using Response = testing::FakeCommandRunner::Response;
using testing::find;
using testing::fixture;

const std::string kApt = "/usr/bin/apt-get";
const std::string kSimulate = kApt + " -s -o Debug::NoLocking=1 dist-upgrade";

// Records what would have run as root.
class RecordingPrompt final : public AdminPrompt {
public:
    bool isAvailable() const override { return true; }
    void run(const PrivilegedCommand& command, std::stop_token) override {
        commands.push_back(command);
        if (failWith) throw AdminPromptError::withText(AdminPromptError::Kind::Failed, *failWith, 1);
    }
    std::vector<PrivilegedCommand> commands;
    std::optional<std::string> failWith;  // the command ran as root and failed with this
};

struct AptFixture {
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    testing::TempDir lists{"vt-apt-lists"};
    FakeClock clock;
    RecordingPrompt prompt;
    std::unique_ptr<AptManager> manager;

    AptFixture() {
        files.addExecutable(kApt);
        manager = std::make_unique<AptManager>(
            runner, files,
            AptManager::Options{.listsFolder = lists.path(), .clock = &clock, .adminPrompt = &prompt, .readCache = false,
                                .cacheFolder = ""});
    }
    // A lists file last written `age` before the fake clock's now.
    void listsWritten(std::chrono::hours age) {
        const std::string file = lists.write("deb_dists_bookworm_main_binary-amd64_Packages", "");
        const auto when = std::chrono::duration_cast<std::chrono::seconds>((clock.now() - age).time_since_epoch());
        struct utimbuf times{when.count(), when.count()};
        ASSERT_EQ(::utime(file.c_str(), &times), 0);
    }
};

TEST(AptManagerTest, ReadsTheSimulatedUpgradeInTheCLocaleWithSecurityOrigins) {
    AptFixture f;
    f.listsWritten(std::chrono::hours(2));
    f.runner.on(kSimulate, Response::output(fixture("apt", "dist-upgrade.txt")));
    std::vector<Package> packages = f.manager->listInstalled({});

    ASSERT_EQ(f.runner.history().size(), 1u);  // the simulation
    const CommandRequest request = f.runner.history().back();  // history() is a copy
    EXPECT_EQ(request.environment.at("LC_ALL"), "C");
    ASSERT_EQ(packages.size(), 13u);
    const Package* gcrypt = find(packages, "libgcrypt20-dev");
    ASSERT_NE(gcrypt, nullptr);
    EXPECT_EQ(gcrypt->version, "1.10.1-3");
    EXPECT_EQ(gcrypt->latestVersion, "1.10.1-3+deb12u1");
    EXPECT_TRUE(gcrypt->isSecurityUpdate);  // the second of its two archives
    EXPECT_FALSE(find(packages, "base-files")->isSecurityUpdate);
    EXPECT_EQ(find(packages, "libcap2")->version, "1:2.66-4+deb12u2+b2");
    // Every line apt calls an upgrade is one in the table, even where our rules would
    // order the Debian revision otherwise.
    for (const Package& package : packages) EXPECT_TRUE(hasPendingUpdate(package, false)) << package.name;
    EXPECT_EQ(find(packages, "systemd-timesyncd")->latestVersion, "252.39-1~deb12u2");
    EXPECT_EQ(find(packages, "init-system-helpers")->latestVersion, "1.65.2+deb12u1");
    EXPECT_EQ(f.manager->errorMessage(), std::nullopt);  // lists two hours old: no note

    // The check answers from the same simulation.
    EXPECT_EQ(f.manager->checkOutdated({}).size(), 13u);
    EXPECT_EQ(f.runner.count(kSimulate), 1u);
}

TEST(AptManagerTest, ForeignLanguageAndBrokenOutputs) {
    // Were the locale not forced, the headings would be German: the rows still come only from
    // the "Inst" lines, never from the name lists.
    AptFixture f;
    f.runner.on(kSimulate, Response::output(fixture("apt", "dist-upgrade-de.txt")));
    std::vector<Package> packages = f.manager->listInstalled({});
    ASSERT_EQ(packages.size(), 3u);
    EXPECT_EQ(packages[2].name, "libgcrypt20-dev");

    // A package left half-configured stops apt before it simulates anything.
    f.runner.on(kSimulate, Response::failure(100, "E: dpkg was interrupted, you must manually run 'dpkg --configure -a' "
                                                  "to correct the problem. \n"));
    EXPECT_TRUE(f.manager->listInstalled({}).empty());
    EXPECT_NE(f.manager->errorMessage().value_or("").find("dpkg --configure -a"), std::string::npos);
}

// Each at the candidate the scan showed, all of them in one run as `apt-get upgrade` would.
TEST(AptManagerTest, UpgradesOnlyThroughThePromptAndOnlyWithTheSystemsAptGet) {
    AptFixture f;
    f.listsWritten(std::chrono::hours(24 * 3 + 1));
    f.runner.on(kSimulate, Response::output(fixture("apt", "dist-upgrade-held.txt")));
    std::vector<Package> packages = f.manager->listInstalled({});
    // A held package is named in the note, never listed; a new install is no update.
    ASSERT_EQ(packages.size(), 2u);
    EXPECT_EQ(packages[1].name, "libssl3:i386");
    EXPECT_TRUE(packages[1].isSecurityUpdate);  // an Ubuntu security pocket
    const std::string note = f.manager->errorMessage().value_or("");
    EXPECT_NE(note.find("openssh-client, openssh-server"), std::string::npos) << note;
    EXPECT_NE(note.find("3 days"), std::string::npos) << note;
    EXPECT_NE(note.find("sudo apt-get update"), std::string::npos) << note;

    f.manager->update(packages[0], {});
    f.manager->updateAll({});
    ASSERT_EQ(f.prompt.commands.size(), 2u);
    EXPECT_EQ(f.prompt.commands[0].command, kApt);
    EXPECT_EQ(f.prompt.commands[0].arguments,
              (std::vector<std::string>{"install", "--only-upgrade", "-y", "bash=5.2.15-2+b13"}));
    EXPECT_EQ(f.prompt.commands[1].arguments,
              (std::vector<std::string>{"install", "--only-upgrade", "-y", "bash=5.2.15-2+b13",
                                        "libssl3:i386=3.0.2-0ubuntu1.18"}));
    EXPECT_TRUE(f.manager->updatesTogether());
    Package unknown = packages[0];
    unknown.latestVersion = std::string(kUpdateAvailableSentinel);  // apt could not say which: its own candidate
    f.manager->updateTogether({unknown, packages[1]}, {});
    EXPECT_EQ(f.prompt.commands[2].arguments,
              (std::vector<std::string>{"install", "--only-upgrade", "-y", "bash", "libssl3:i386=3.0.2-0ubuntu1.18"}));
    Package option = packages[0];
    option.name = "-oAPT::Get::Trivial-Only=false";
    EXPECT_THROW(f.manager->update(option, {}), std::invalid_argument);
    EXPECT_EQ(f.prompt.commands.size(), 3u);
    // Only the simulation ran unprivileged: nothing installs outside the prompt.
    EXPECT_EQ(f.runner.commandLines(), std::vector<std::string>{kSimulate});
    f.listsWritten(std::chrono::hours(30));
    f.manager->listInstalled({});
    EXPECT_NE(f.manager->errorMessage().value_or("").find("are a day old"), std::string::npos);

    // The system prompt refuses any other apt-get before asking anyone.
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    files.addExecutable(SystemAdminPrompt::kPkexec);
    SystemAdminPrompt prompt(runner, files);
    EXPECT_EQ(testing::thrown<AdminPromptError>([&] {
                  prompt.run({.prompt = "", .command = "/home/me/.local/bin/apt-get", .arguments = {"install"}});
              }).value().description(),
              "Command not allowed for privileged fallback: /home/me/.local/bin/apt-get");
    EXPECT_TRUE(runner.history().empty());
    EXPECT_TRUE(SystemAdminPrompt::isAllowedCommand(kApt));
}

TEST(FlatpakManagerTest, ListsBothInstallationsAndMatchesUpdatesByRef) {
    const std::string flatpak = "/usr/bin/flatpak";
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    files.addExecutable(flatpak);
    runner.on(flatpak + " list --app " + FlatpakManager::kListColumns, Response::output(fixture("flatpak", "list.txt")));
    const std::string updates = flatpak + " remote-ls --user --updates --app " + FlatpakManager::kUpdatesColumns;
    runner.on(updates, Response::output(fixture("flatpak", "updates-user.txt")));
    runner.on(flatpak + " remote-ls --system --updates --app " + FlatpakManager::kUpdatesColumns,
              Response::output(fixture("flatpak", "updates-system.txt")));
    FlatpakManager manager(runner, files);

    std::vector<Package> installed = manager.listInstalled({});
    ASSERT_EQ(installed.size(), 3u);  // the ref with an unusable branch is left out
    EXPECT_EQ(find(installed, "org.gnome.Builder")->version, "9d8c7b6a5f4e");  // no version: the commit
    EXPECT_EQ(find(installed, "org.gimp.GIMP")->sourceIdentifier, "system:app/org.gimp.GIMP/x86_64/stable");

    std::vector<Package> outdated = manager.checkOutdated({});
    ASSERT_EQ(outdated.size(), 3u);  // firefox's beta branch is not installed: not an update
    EXPECT_EQ(find(outdated, "org.mozilla.firefox")->latestVersion, "129.0");
    const Package* gimp = find(outdated, "org.gimp.GIMP");  // rebuilt with the same version
    EXPECT_EQ(gimp->latestVersion, kUpdateAvailableSentinel);
    for (const Package& package : outdated) {
        EXPECT_TRUE(isUpdateAvailable(package.version, package.latestVersion, false)) << package.name;
    }

    runner.on(flatpak + " update -y --noninteractive --system app/org.gimp.GIMP/x86_64/stable", Response::output(""));
    manager.update(*gimp, {});
    EXPECT_TRUE(runner.ran(flatpak + " update -y --noninteractive --system app/org.gimp.GIMP/x86_64/stable"));
    Package forged = *gimp;
    forged.sourceIdentifier = "system:app/org.gimp.GIMP/x86_64/--help";
    EXPECT_THROW(manager.update(forged, {}), std::invalid_argument);

    // One installation failing leaves the other's updates and says which.
    runner.on(updates, Response::failure(1, "error: Unable to load summary from remote flathub\n"));
    EXPECT_EQ(manager.checkOutdated({}).size(), 1u);
    EXPECT_NE(manager.errorMessage().value_or("").find("user: Unable to load summary"), std::string::npos);
}

TEST(SnapManagerTest, ReadsTheTablesAndRefreshesByName) {
    const std::string snap = "/usr/bin/snap";
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    files.addExecutable(snap);
    runner.on(snap + " list", Response::output(fixture("snap", "list.txt")));
    runner.on(snap + " refresh --list", Response::output(fixture("snap", "refresh-list.txt")));
    SnapManager manager(runner, files);

    std::vector<Package> installed = manager.listInstalled({});
    ASSERT_EQ(installed.size(), 3u);
    EXPECT_EQ(find(installed, "lxd")->sourceIdentifier, "5.21/stable");
    std::vector<Package> outdated = manager.checkOutdated({});
    ASSERT_EQ(outdated.size(), 2u);
    EXPECT_EQ(find(outdated, "firefox")->version, "128.0-2");
    EXPECT_EQ(find(outdated, "firefox")->latestVersion, "129.0-1");
    const Package* core = find(outdated, "core22");
    EXPECT_TRUE(isUpdateAvailable(core->version, core->latestVersion, false));  // same version, new revision

    runner.on(snap + " refresh --list", Response::output("", 0, "All snaps up to date.\n"));
    EXPECT_TRUE(manager.checkOutdated({}).empty());
    EXPECT_EQ(manager.errorMessage(), std::nullopt);

    runner.on(snap + " refresh firefox", Response::output(""));
    manager.update(*find(installed, "firefox"), {});
    EXPECT_TRUE(runner.ran(snap + " refresh firefox"));
}

const std::string kFwupd = "/usr/bin/fwupdmgr";
const std::string kDevices = kFwupd + " get-devices --json";
const std::string kUpdates = kFwupd + " get-updates --json";

struct FirmwareFixture {
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    RecordingPrompt prompt;
    std::unique_ptr<FirmwareManager> manager;

    FirmwareFixture() {
        files.addExecutable(kFwupd);
        manager = std::make_unique<FirmwareManager>(runner, files, FirmwareManager::Options{.adminPrompt = &prompt});
    }
};

TEST(FirmwareManagerTest, ListsUpdatableDevicesAndOneRowPerDeviceUpdate) {
    FirmwareFixture f;
    f.runner.on(kDevices, Response::output(fixture("fwupd", "devices.json")));
    f.runner.on(kUpdates, Response::output(fixture("fwupd", "updates-several.json")));

    std::vector<Package> devices = f.manager->listInstalled({});
    ASSERT_EQ(devices.size(), 3u);  // the processor cannot be updated
    EXPECT_EQ(find(devices, "Core i7-1185G7 CPU"), nullptr);
    EXPECT_EQ(find(devices, "USB-C Dock")->version, "1.0.12");

    std::vector<Package> outdated = f.manager->checkOutdated({});
    ASSERT_EQ(outdated.size(), 2u);
    const Package* system = find(outdated, "System Firmware");
    ASSERT_NE(system, nullptr);
    EXPECT_EQ(system->version, "3.17");
    EXPECT_EQ(system->latestVersion, "3.19");  // the newest release, not the next one
    EXPECT_EQ(system->type, PackageType::Firmware);
    EXPECT_EQ(system->sourceIdentifier, "a45df35ac0e948ee180fe216a5f703f32dda163f");
    EXPECT_TRUE(system->isSecurityUpdate);  // its release fixes CVEs
    EXPECT_EQ(system->description, "urgency high, needs a reboot");
    EXPECT_EQ(system->releaseNotes, "CVE-2023-28005, CVE-2022-40982");
    const Package* disk = find(outdated, "WD PC SN730 SDBQNTY-512G");
    EXPECT_FALSE(disk->isSecurityUpdate);
    EXPECT_EQ(disk->description, "urgency low");
    EXPECT_EQ(f.manager->errorMessage(), std::nullopt);
}

// No daemon, no tool, nothing to do, or an advisory that is no CVE: no error; garbage is one.
TEST(FirmwareManagerTest, OnlyGarbageFromFwupdmgrIsAnError) {
    struct Case { const char* what; Response updates; std::size_t rows; bool error; };
    for (const Case& c : std::vector<Case>{
             {"one update", Response::output(fixture("fwupd", "updates-one.json")), 1, false},
             {"none", Response::output(fixture("fwupd", "updates-none.json")), 0, false},
             // fwupdmgr's status 2 and no JSON
             {"nothing updatable", Response::failure(2, "No updatable devices"), 0, false},
             {"no daemon", Response::failure(1, "Failed to connect to daemon: Could not connect: No such file or directory"), 0,
              false},
             {"garbage", Response::output("{\"Devices\": 3}"), 0, true}}) {
        SCOPED_TRACE(c.what);
        FirmwareFixture f;
        f.runner.on(kDevices, Response::failure(1, "Failed to connect to daemon: Error calling StartServiceByName for "
                                                   "org.freedesktop.fwupd: Unit fwupd.service not found."));
        f.runner.on(kUpdates, c.updates);
        EXPECT_TRUE(f.manager->listInstalled({}).empty());
        EXPECT_EQ(f.manager->errorMessage(), std::nullopt);
        std::vector<Package> rows = f.manager->checkOutdated({});
        ASSERT_EQ(rows.size(), c.rows);
        for (const Package& row : rows) EXPECT_FALSE(row.isSecurityUpdate);
        for (const Package& row : rows) EXPECT_EQ(row.latestVersion, "1.0.14");
        EXPECT_EQ(f.manager->errorMessage().has_value(), c.error);
    }
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;  // no fwupdmgr anywhere
    FirmwareManager absent(runner, files);
    EXPECT_TRUE(absent.listInstalled({}).empty());
    EXPECT_EQ(absent.errorMessage(), std::nullopt);
}

TEST(FirmwareManagerTest, AnUpdateRunsFwupdmgrForTheDeviceAsAdministratorAndAFailureSurfaces) {
    FirmwareFixture f;
    Package device{.name = "System Firmware", .version = "3.17", .type = PackageType::Firmware,
                   .latestVersion = "3.19", .sourceIdentifier = "a45df35ac0e948ee180fe216a5f703f32dda163f"};
    f.manager->update(device, {});
    ASSERT_EQ(f.prompt.commands.size(), 1u);
    EXPECT_EQ(f.prompt.commands[0].command, kFwupd);
    EXPECT_EQ(f.prompt.commands[0].arguments,
              (std::vector<std::string>{"update", "a45df35ac0e948ee180fe216a5f703f32dda163f", "--assume-yes",
                                        "--no-reboot-check"}));

    f.prompt.failWith = "Device is not updatable: battery too low";
    EXPECT_THROW(f.manager->update(device, {}), AdminPromptError);

    // An id that is no fwupd id never reaches the prompt.
    Package forged = device;
    forged.sourceIdentifier = "--force";
    EXPECT_THROW(f.manager->update(forged, {}), std::invalid_argument);
    EXPECT_EQ(f.prompt.commands.size(), 2u);

    EXPECT_TRUE(SystemAdminPrompt::isAllowedCommand("/usr/bin/fwupdmgr"));
    EXPECT_FALSE(SystemAdminPrompt::isAllowedCommand("/home/me/bin/fwupdmgr"));
}

}  // namespace
}  // namespace vt
