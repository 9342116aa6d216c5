// rustup, mise, Nix, MacPorts and TeX Live against recorded or documented outputs; each
// output names its source where it is written.
#include <gtest/gtest.h>

#include "base/Localization.hpp"
#include "base/Strings.hpp"

#include "managers/toolchains/MacPortsManager.hpp"
#include "managers/toolchains/MiseManager.hpp"
#include "managers/toolchains/NixManager.hpp"
#include "managers/toolchains/RustupManager.hpp"
#include "managers/toolchains/TlmgrManager.hpp"
#include "managers/toolchains/ToolchainError.hpp"
#include "support/Thrown.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/Fixtures.hpp"
#include "support/MockNetworkClient.hpp"
#include "support/RecordingFileSystem.hpp"
#include "support/ScopedEnvironment.hpp"
#include "system/AdminPrompt.hpp"
#include "system/Endpoints.hpp"

namespace vt {
namespace {

using Response = testing::FakeCommandRunner::Response;
using testing::find;
using testing::fixture;

class RecordingPrompt final : public AdminPrompt {
public:
    bool isAvailable() const override { return available; }
    void run(const PrivilegedCommand& command, std::stop_token) override { commands.push_back(command); }
    bool available = true;
    std::vector<PrivilegedCommand> commands;
};

template <typename Manager>
struct Fixture {
    testing::ScopedEnvironment searchPath;  // the tool's folder, as the user's PATH has it
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    testing::MockNetworkClient network;
    RecordingPrompt prompt;
    std::string binary;
    Manager manager;

    explicit Fixture(const std::string& path, std::map<std::string, std::string> environment = {})
        : searchPath("PATH", path.substr(0, path.rfind('/')).c_str()),
          binary(path),
          manager(runner, files,
                  ToolchainManager::Options{.environment = std::move(environment), .home = "/home/user",
                                            .adminPrompt = &prompt, .network = &network}) {
        files.addExecutable(path);
    }
};

TEST(ToolchainManagersTest, RustupListsToolchainsFromManifestsAndSaysWhenTheServerIsOutOfReach) {
    Fixture<RustupManager> f("/home/user/.cargo/bin/rustup");
    f.runner.on(f.binary + " show", Response::output(fixture("rustup", "show.txt")));
    f.runner.on(f.binary + " --version", Response::output("rustup 1.29.0 (28d1352db 2026-03-05)\n", 0,
                                                          "info: This is the version for the rustup toolchain manager"));
    const std::string toolchains = "/home/user/.rustup/toolchains/";
    f.files.addFile(toolchains + "stable-x86_64-unknown-linux-gnu/lib/rustlib/multirust-channel-manifest.toml",
                    "date = \"2026-04-16\"\n[pkg.cargo]\nversion = \"0.96.0 (f2d3ce0bd 2026-03-21)\"\n\n[pkg.rust]\n"
                    "version = \"1.95.0 (59807616e 2026-04-14)\"\n");
    f.files.addFile(toolchains + "nightly-x86_64-unknown-linux-gnu/lib/rustlib/multirust-channel-manifest.toml",
                    "\n[pkg.rust]\nversion = \"1.97.0-nightly (e50aa6fba 2026-05-19)\"\n");
    std::vector<Package> listed = f.manager.listInstalled({});
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(find(listed, "stable-x86_64-unknown-linux-gnu")->version, "1.95.0");
    EXPECT_EQ(find(listed, "stable-x86_64-unknown-linux-gnu")->description, "stable toolchain");
    EXPECT_EQ(find(listed, "nightly-x86_64-unknown-linux-gnu")->version, "1.97.0-nightly (2026-05-19)");
    EXPECT_EQ(find(listed, "rustup")->version, "1.29.0");

    f.runner.on(f.binary + " check", Response::output(fixture("rustup", "check.txt")));
    std::vector<Package> outdated = f.manager.checkOutdated({});
    ASSERT_EQ(outdated.size(), 2u);
    EXPECT_EQ(find(outdated, "nightly-x86_64-unknown-linux-gnu")->latestVersion, "1.97.0-nightly (2026-05-20)");
    EXPECT_EQ(find(outdated, "rustup")->latestVersion, "1.30.0");
    EXPECT_EQ(f.manager.errorMessage(), std::nullopt);

    // Recorded here with the distribution server out of reach: rustup still exits 0.
    f.runner.on(f.binary + " check", Response::output("", 0, fixture("rustup", "check-offline.txt")));
    EXPECT_TRUE(f.manager.checkOutdated({}).empty());
    EXPECT_EQ(f.manager.errorMessage(), "The Rust distribution server (" + Endpoints::host(Service::RustupDist) +
                                            ") cannot be reached: the installed toolchains are listed without their updates");
    EXPECT_EQ(f.manager.packages().size(), 3u);

    f.runner.otherwise(Response::output(""));
    f.manager.update(*find(listed, "nightly-x86_64-unknown-linux-gnu"), {});
    f.manager.update(*find(listed, "rustup"), {});
    EXPECT_TRUE(f.runner.ran(f.binary + " update nightly --no-self-update"));
    EXPECT_TRUE(f.runner.ran(f.binary + " self update"));
    EXPECT_EQ(RustupManager::channelOf("nightly-2024-01-01-x86_64-unknown-linux-gnu"),
              "nightly-2024-01-01-x86_64-unknown-linux-gnu");
    f.runner.clearHistory();
    EXPECT_THROW(f.manager.update(Package{.name = "--help", .type = PackageType::RustupToolchain}, {}), ToolchainError);
    EXPECT_TRUE(f.runner.commandLines().empty());
    f.runner.on(f.binary + " update stable --no-self-update", Response::failure(1, "error: toolchain is locked"));
    EXPECT_EQ(testing::thrown<ToolchainError>([&] { f.manager.update(*find(listed, "stable-x86_64-unknown-linux-gnu"), {}); })
                  .value().description(),
              "rustup command failed: error: toolchain is locked");
    // rustup before 1.28 printed no installed section for a single toolchain.
    RustupManager::Shown old = RustupManager::parseShow(
        "Default host: x86_64-apple-darwin\nrustup home:  /Users/u/.rustup\n\nactive toolchain\n----------------\n\n"
        "stable-x86_64-apple-darwin (default)\nrustc 1.75.0 (82e1608df 2023-12-21)\n");
    EXPECT_EQ(old.toolchains, std::vector<std::string>{"stable-x86_64-apple-darwin"});
    EXPECT_EQ(old.rustupHome, "/Users/u/.rustup");
    // rustup 1.29 with nothing installed (a new RUSTUP_HOME) says so: no toolchain "no".
    RustupManager::Shown none = RustupManager::parseShow(fixture("rustup", "show-none.txt"));
    EXPECT_EQ(none.toolchains, std::vector<std::string>{});
    EXPECT_EQ(none.defaultToolchain, std::nullopt);

    // Every rustup call makes its home and writes settings there: without one it is asked nothing.
    Fixture<RustupManager> homeless("/home/user/.cargo/bin/rustup");
    EXPECT_TRUE(homeless.manager.listInstalled({}).empty());
    EXPECT_TRUE(homeless.manager.checkOutdated({}).empty());
    EXPECT_EQ(homeless.manager.errorMessage(), std::nullopt);
    EXPECT_TRUE(homeless.runner.commandLines().empty());
}

TEST(ToolchainManagersTest, MiseReadsPastWarningsAsksGitHubWithTheTokenAndSaysWhenItIsRefused) {
    Fixture<MiseManager> f("/home/user/.local/bin/mise", {{"GITHUB_API_TOKEN", "ghp_example"}});
    f.runner.on(f.binary + " ls --json", Response::output(fixture("mise", "ls.json")));
    f.runner.on(f.binary + " --version", Response::output("2025.1.0 linux-x64 (2025-01-01)\n"));
    std::vector<Package> listed = f.manager.listInstalled({});
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(find(listed, "node")->version, "20.11.0");  // the active one, not the newest
    EXPECT_EQ(find(listed, "python")->version, "3.12.1");  // none active: the newest installed

    f.runner.on(f.binary + " outdated --json", Response::output(fixture("mise", "outdated-warning.txt")));
    const std::string release = Endpoints::url(Service::GitHubApi, "/repos/jdx/mise/releases/latest");
    f.network.setResponse(release, HttpResponse{.statusCode = 200, .body = R"({"tag_name": "v2025.2.3"})"});
    std::vector<Package> outdated = f.manager.checkOutdated({});
    ASSERT_EQ(outdated.size(), 2u);
    EXPECT_EQ(find(outdated, "node")->latestVersion, "20.12.2");
    EXPECT_EQ(find(outdated, "mise")->latestVersion, "2025.2.3");
    HttpRequest sent = f.network.sentRequests().back();
    EXPECT_EQ(sent.headers.get("User-Agent"), "Vantreel/3.5 (macOS)");
    EXPECT_EQ(sent.headers.get("Authorization"), "Bearer ghp_example");

    f.network.setResponse(release, HttpResponse{.statusCode = 403, .body = R"({"message": "API rate limit exceeded"})"});
    EXPECT_EQ(f.manager.checkOutdated({}).size(), 1u);
    EXPECT_EQ(f.manager.errorMessage(), localized("mise.github_forbidden"));

    // The update ran, but mise reports the version it had.
    f.runner.on(f.binary + " self-update --yes", Response::output("mise is already up to date"));
    const auto unchanged = testing::thrown<ToolchainError>([&] { f.manager.update(*find(outdated, "mise"), {}); });
    EXPECT_EQ(unchanged.value().kind(), ToolchainErrorKind::VersionUnchanged);
    EXPECT_EQ(unchanged->description(),
              localized("mise.version_unchanged", {"2025.1.0"}) + localized("mise.version_requested", {"2025.2.3"}));
    EXPECT_TRUE(MiseManager::isHomebrewPath("/usr/local/Cellar/mise/2025.1.0/bin/mise"));
    EXPECT_FALSE(MiseManager::isHomebrewPath("/usr/local/bin/mise"));
}

TEST(ToolchainManagersTest, NixReadsDryRunUpgradesAndNamesWithoutVersions) {
    Fixture<NixManager> f("/home/user/.nix-profile/bin/nix-env");
    f.runner.on(f.binary + " -q --json", Response::output(fixture("nix", "query.json")));
    std::vector<Package> listed = f.manager.listInstalled({});
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(find(listed, "python3.11-requests")->version, "2.31.0");
    EXPECT_EQ(find(listed, "my-script")->version, "unknown");

    f.runner.on(f.binary + " -u --dry-run", Response::output("", 0, fixture("nix", "upgrade-dry-run.txt")));
    std::vector<Package> outdated = f.manager.checkOutdated({});
    ASSERT_EQ(outdated.size(), 2u);
    EXPECT_EQ(find(outdated, "hello")->version, "2.10");
    EXPECT_EQ(find(outdated, "hello")->latestVersion, "2.12.1");

    f.runner.on(f.binary + " -q --json", Response::failure(1, "error: unrecognised flag '--json'"));
    f.runner.on(f.binary + " -q", Response::output("hello-2.10\nmy-script\nwarning: something odd\n"));
    listed = f.manager.listInstalled({});
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(find(listed, "my-script")->version, "unknown");

    f.runner.otherwise(Response::output(""));
    f.manager.update(*find(outdated, "hello"), {});
    EXPECT_TRUE(f.runner.ran(f.binary + " -u hello"));
    EXPECT_THROW(f.manager.update(Package{.name = "-A", .type = PackageType::NixPackage}, {}), ToolchainError);
}

TEST(ToolchainManagersTest, MacPortsReadsActivePortsBothOutdatedFormsAndUpgradesAsAdministrator) {
    Fixture<MacPortsManager> f("/opt/local/bin/port");
    f.runner.on(f.binary + " installed", Response::output(fixture("macports", "installed.txt")));
    f.runner.on(f.binary + " version", Response::output("Version: 2.9.3\n"));
    std::vector<Package> listed = f.manager.listInstalled({});
    ASSERT_EQ(listed.size(), 4u);
    EXPECT_EQ(find(listed, "curl")->version, "8.6.0_0");  // the active of two, variants left out
    EXPECT_EQ(find(listed, "MacPorts")->version, "2.9.3");

    f.runner.on(f.binary + " outdated", Response::output(fixture("macports", "outdated.txt")));
    std::vector<Package> outdated = f.manager.checkOutdated({});
    ASSERT_EQ(outdated.size(), 2u);
    EXPECT_EQ(find(outdated, "curl")->latestVersion, "8.7.1_0");
    EXPECT_EQ(find(outdated, "python311")->latestVersion, "3.11.9_0");

    f.manager.update(*find(outdated, "curl"), {});
    ASSERT_EQ(f.prompt.commands.size(), 1u);
    EXPECT_EQ(f.prompt.commands[0].command, "/opt/local/bin/port");
    EXPECT_EQ(f.prompt.commands[0].arguments, (std::vector<std::string>{"-N", "upgrade", "curl"}));
    EXPECT_TRUE(SystemAdminPrompt::isAllowedCommand("/opt/local/bin/port"));
}

TEST(ToolchainManagersTest, TlmgrMatchesWholeNamesRepairsItsRepositoryOnceAndVerifies) {
    EXPECT_TRUE(TlmgrManager::mentions("update:   foo  [1k]: local: 1, source: 2", "foo"));
    for (const char* lookAlike : {"foo-bar", "libfoo", "foo.doc", "foo_x", "foo+", "xfoo", "foo2"}) {
        EXPECT_FALSE(TlmgrManager::mentions(lookAlike, "foo")) << lookAlike;
    }
    EXPECT_TRUE(TlmgrManager::mentions("a c++ b", "c++"));

    Fixture<TlmgrManager> f("/usr/local/texlive/2026/bin/universal-darwin/tlmgr");
    const std::string list = f.binary + " update --list --self --all";
    f.runner.on(f.binary + " info --only-installed --data name,localrev,cat-version",
                Response::output("babel,64097,3.96\nfoo,100,\nfoo-bar,200,1.0\nlibfoo,300,\n"));
    ASSERT_EQ(f.manager.listInstalled({}).size(), 4u);
    f.runner.on(list, Response::output(fixture("tlmgr", "update-list.txt")));
    std::vector<Package> outdated = f.manager.checkOutdated({});
    ASSERT_EQ(outdated.size(), 2u);
    EXPECT_EQ(find(outdated, "babel")->latestVersion, "r65353");
    EXPECT_EQ(find(outdated, "foo-bar")->latestVersion, "r250");

    // Updated "foo"; "foo-bar" still pending is not "foo" still pending.
    f.manager.update(Package{.name = "foo", .version = "r100", .type = PackageType::TlmgrPackage}, {});
    EXPECT_EQ(f.prompt.commands.back().arguments, (std::vector<std::string>{"update", "--self", "foo"}));
    EXPECT_THROW(f.manager.update(*find(outdated, "foo-bar"), {}), ToolchainError);

    f.runner.clearHistory();
    f.runner.on(list, Response::failure(1, "tlmgr: cannot setup TLPDB in /usr/local/texlive/2026"));
    f.runner.on(f.binary + " option repository ctan", Response::failure(1, "tlmgr: no connection"));
    EXPECT_TRUE(f.manager.checkOutdated({}).empty());
    EXPECT_EQ(f.manager.errorMessage(), localized("tlmgr.repair_failed", {"tlmgr: no connection"}));
    EXPECT_EQ(f.runner.count(list), 1u);
    EXPECT_EQ(testing::thrown<ToolchainError>([&] { f.manager.updateAll({}); }).value().description(),
              localized("tlmgr.not_verified", {"TeX Live", localized("tlmgr.repair_failed", {"tlmgr: no connection"})}));

    f.prompt.available = false;
    f.runner.on(list, Response::output(""));
    EXPECT_THROW(f.manager.updateAll({}), ToolchainError);

    // Debian's tlmgr, recorded on this machine's distribution (texlive-base).
    Fixture<TlmgrManager> debian("/usr/bin/tlmgr");
    debian.runner.on(debian.binary + " info --only-installed --data name,localrev,cat-version",
                     Response::failure(1, fixture("tlmgr", "debian-user-mode.txt")));
    EXPECT_TRUE(debian.manager.listInstalled({}).empty());
    EXPECT_EQ(debian.manager.errorMessage(), localized("toolchain.managed_by_distribution", {"TeX Live"}));
    EXPECT_EQ(testing::thrown<ToolchainError>([&] { debian.manager.updateAll({}); }).value().kind(),
              ToolchainErrorKind::ManagedByDistribution);
    EXPECT_TRUE(debian.prompt.commands.empty());
}

TEST(ToolchainManagersTest, HomebrewOwnedMiseUpgradesThroughBrewAndARepairedRepositoryIsReadAgainOnce) {
    Fixture<MiseManager> mise("/usr/local/Cellar/mise/2025.1.0/bin/mise");
    mise.files.addExecutable("/usr/local/bin/brew");
    mise.runner.on(mise.binary + " --version", Response::output("2025.2.3 macos-arm64 (2025-02-10)\n"));
    mise.runner.on("/usr/local/bin/brew upgrade mise", Response::output("==> Upgrading mise\n"));
    Package self{.name = "mise", .version = "2025.1.0", .type = PackageType::MiseRuntime, .latestVersion = "2025.2.3"};
    mise.manager.update(self, {});
    EXPECT_TRUE(mise.runner.ran("/usr/local/bin/brew upgrade mise"));
    EXPECT_FALSE(mise.runner.ran(mise.binary + " self-update --yes"));
    EXPECT_THROW(mise.manager.update(Package{.name = "node;rm", .type = PackageType::MiseRuntime}, {}), ToolchainError);

    Fixture<TlmgrManager> f("/usr/local/texlive/2026/bin/universal-darwin/tlmgr");
    const std::string list = f.binary + " update --list --self --all";
    int listings = 0;
    f.runner.on([&](const CommandRequest& request) {
        return testing::FakeCommandRunner::commandLine(request) == list && ++listings == 1;
    }, Response::failure(1, "Local TeX Live (2025) is older than remote repository (2026)."));
    f.runner.on([&](const CommandRequest& request) { return testing::FakeCommandRunner::commandLine(request) == list; },
                Response::output(fixture("tlmgr", "update-list.txt")));
    f.runner.on(f.binary + " option repository ctan", Response::output("tlmgr: setting default package repository to https://mirror.ctan.org/systems/texlive/tlnet\n"));
    EXPECT_EQ(f.manager.checkOutdated({}).size(), 2u);
    EXPECT_EQ(f.manager.errorMessage(), std::nullopt);
    EXPECT_EQ(listings, 2);

    f.prompt.available = false;
    EXPECT_EQ(testing::thrown<ToolchainError>([&] {
                  f.manager.update(Package{.name = "babel", .version = "r64097", .type = PackageType::TlmgrPackage}, {});
              }).value().description(),
              localized("tlmgr.admin_required"));

    // nix found, but no nix-env beside it: nothing to run.
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    files.addExecutable("/nix/var/nix/profiles/default/bin/nix");
    NixManager nix(runner, files, ToolchainManager::Options{.home = "/home/user"});
    EXPECT_FALSE(nix.discover({}));
    files.addExecutable("/nix/var/nix/profiles/default/bin/nix-env");
    nix.forgetDiscovery();
    ASSERT_TRUE(nix.discover({}));
    EXPECT_EQ(nix.binaryPath(), "/nix/var/nix/profiles/default/bin/nix-env");
}

}  // namespace
}  // namespace vt
