// `vantreel ui` on a real terminal: tmux runs it in a sandbox HOME with the fake `uv` of the
// update tests (five tools outdated against PyPI on loopback), the test types as a user
// would and reads the screen back, waiting for text rather than for time. An application
// row is updated through the appcast installer, its feed and signed archive on loopback.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Strings.hpp"
#include "base/TextCells.hpp"
#include "core/ScanResultsPersistence.hpp"
#include "support/BuildPaths.hpp"
#include "support/Eventually.hpp"
#include "support/FakeTools.hpp"
#include "support/LoopbackServer.hpp"
#include "support/Sleeper.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"
#include "system/CommandRunner.hpp"
#include "system/Endpoints.hpp"
#include "system/RunningProcesses.hpp"
#include "updates/FakeSigningTools.hpp"
#include "updates/SparkleTestBundles.hpp"

namespace vt {
namespace {

using testing::runVantreel;

class UiE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists("/usr/bin/tmux")) GTEST_SKIP() << "tmux is installed by scripts/setup --tests";
        testing::showOnly(home_.path(), {"ShowUv"});
        testing::addOutdatedUvTools(uv_, pypi_, home_.path(), R"SH(echo 2.0.0 > "$state/uv-$3")SH");
        ASSERT_EQ(runVantreel(run({"scan"})).exitCode, 0);
        uv_.clearLog();
    }

    void TearDown() override { tmux({"kill-server"}); }

    std::map<std::string, std::string> environment() const {
        std::map<std::string, std::string> variables = extra_;
        variables["VANTREEL_ENDPOINT_PYPI"] = pypi_.origin();
        variables["LANG"] = "C.UTF-8";
        for (Service service : {Service::ITunes, Service::AppStoreWeb, Service::GitHubApi, Service::GitHubWeb,
                                Service::Sofa, Service::Cve}) {
            variables[std::string("VANTREEL_ENDPOINT_") + std::string(Endpoints::name(service))] = "http://127.0.0.1:9";
        }
        return variables;
    }

    testing::VantreelRun run(std::vector<std::string> arguments) const {
        std::vector<std::string> full = {"--accept-terms"};
        full.insert(full.end(), arguments.begin(), arguments.end());
        return {std::move(full), home_.path(), environment(), {}, 90};
    }

    ShellCommandResult tmux(std::vector<std::string> arguments) const {
        CommandRequest request;
        request.command = "/usr/bin/tmux";
        request.arguments = {"-S", home_.file("tmux.sock"), "-f", "/dev/null"};
        request.arguments.insert(request.arguments.end(), arguments.begin(), arguments.end());
        request.timeout = 10;
        request.allowNonZeroExit = true;
        static CommandRunner runner;
        return runner.execute(request);
    }

    // The view in a detached session; the terminal's settings are written before and after.
    // `wrapper` runs the view's `env -i ...` command line.
    void start(const std::string& wrapper = "") {
        std::string command = "stty -a > " + home_.file("stty-before") + "; " + wrapper +
                              "env -i TERM=\"$TERM\" HOME=" + home_.path() + " PATH=/usr/bin:/bin";
        for (const auto& [name, value] : environment()) command += " " + name + "=" + value;
        command += " " + testing::vantreelPath() + " --accept-terms ui; echo $? > " + home_.file("status") +
                   "; stty -a > " + home_.file("stty-after") + "; : > " + home_.file("ended");
        // The last view's session ends a moment after its shell wrote "ended": its name is
        // free only then.
        for (int i = 0; i < 200 && tmux({"has-session", "-t", "vt"}).exitCode == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_EQ(tmux({"new-session", "-d", "-x", "120", "-y", "40", "-s", "vt", "/bin/sh", "-c", command}).exitCode, 0);
    }

    std::string screen() const { return tmux({"capture-pane", "-p", "-t", "vt"}).standardOutput; }

    void keys(std::vector<std::string> names) const {
        names.insert(names.begin(), {"send-keys", "-t", "vt"});
        tmux(names);
    }
    void type(const std::string& text) const { tmux({"send-keys", "-t", "vt", "-l", text}); }

    // Waits up to 30 s for the screen to show `text`; the failure shows the screen.
    bool shows(const std::string& text) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < until) {
            if (screen().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "the screen never showed \"" << text << "\":\n" << screen();
        return false;
    }

    bool ended() const {
        return testing::eventually([&] { return readFile(home_.file("ended")).has_value(); }, std::chrono::seconds(30));
    }

    std::string upgrades() const {
        const std::string log = uv_.log();
        std::string names;
        for (std::string_view line : splitLines(log)) {
            if (startsWith(line, "uv tool upgrade ")) names += std::string(line.substr(16)) + "\n";
        }
        return names;
    }

    // Foo 1.0 in ~/Applications, whose appcast offers 2.0 in an archive signed with its key.
    void installFooWithAnUpdate(testing::LoopbackServer& server) {
        testing::TempDir staging;
        testing::writeBundle(staging.path() + "/Foo.app", {.version = "2.0"});
        const std::string archive = testing::zipFolder(staging.path());
        server.setRoute("/Foo.zip", {.body = archive, .contentType = "application/octet-stream"});
        server.setRoute("/appcast.xml", {.body = testing::oneReleaseAppcast("2.0", server.url("/Foo.zip"), archive,
                                                                            key_.sign(archive)),
                                         .contentType = "application/rss+xml"});
        testing::writeSparkleBundle(foo_, "1.0", server.url("/appcast.xml"), key_.publicBase64());
    }

    testing::TempDir home_{"vt-ui-e2e"};
    const std::string foo_ = home_.file("Applications/Foo.app");
    testing::KeyPair key_;
    std::map<std::string, std::string> extra_;  // for the scan and the view
    testing::FakeTools uv_{home_.file(".local/bin"), home_.file("uv-calls")};
    testing::LoopbackServer pypi_;
};

TEST_F(UiE2ETest, TwoUpdatedOneIgnoredOneSnoozedWithoutLeavingTheView) {
    start();
    ASSERT_TRUE(shows("5 updates"));
    // Filter, tag, and again: two rows tagged.
    for (const char* name : {"alpha", "bravo"}) {
        keys({"/"});
        type(name);
        keys({"Enter"});
        ASSERT_TRUE(shows("filter: " + std::string(name)));
        keys({"Space", "Escape"});
    }
    ASSERT_TRUE(shows("2 tagged"));
    // The confirmation lists exactly what will run before anything does.
    keys({"u"});
    ASSERT_TRUE(shows("To update (2):"));
    EXPECT_EQ(upgrades(), "");
    const std::string confirmation = screen();
    EXPECT_NE(confirmation.find("alpha 1.0.0 → 2.0.0"), std::string::npos) << confirmation;
    EXPECT_NE(confirmation.find("bravo 1.0.0 → 2.0.0"), std::string::npos) << confirmation;
    keys({"y"});
    ASSERT_TRUE(shows("Update finished: 2 updated, 0 failed."));
    EXPECT_EQ(upgrades(), "alpha\nbravo\n");
    ASSERT_TRUE(shows("3 updates"));

    keys({"/"});
    type("charlie");
    keys({"Enter", "i"});
    ASSERT_TRUE(shows("Ignored charlie"));
    keys({"Escape", "/"});
    type("delta");
    keys({"Enter", "s"});
    ASSERT_TRUE(shows("7 days"));
    keys({"2"});
    ASSERT_TRUE(shows("Snoozed delta until"));
    keys({"Escape", "r"});
    ASSERT_TRUE(shows("Scan finished."));
    ASSERT_TRUE(shows("1 updates"));
    EXPECT_NE(screen().find("echo"), std::string::npos) << screen();

    // The ignored view lists what the two keys took out.
    keys({"v"});
    ASSERT_TRUE(shows("2 ignored items"));
    keys({"v"});

    // Narrower: the view is drawn again at the new size, every line within it.
    tmux({"resize-window", "-t", "vt", "-x", "60", "-y", "20"});
    ASSERT_TRUE(shows("Enter details  ? help  q quit"));  // the footer, whole hints only at 60 columns
    const std::string narrow = screen();
    for (std::string_view line : splitLines(narrow)) EXPECT_LE(cellWidth(line), 60u) << narrow;
    EXPECT_NE(narrow.find("> echo"), std::string::npos) << narrow;
    keys({"q"});
    ASSERT_TRUE(ended());
    EXPECT_EQ(readFile(home_.file("status")).value_or(""), "0\n");
    // The terminal's modes as before; only its size (the first line) changed, by the resize.
    const auto modes = [](std::string text) { return text.substr(text.find('\n') + 1); };
    EXPECT_EQ(modes(readFile(home_.file("stty-after")).value_or("")), modes(readFile(home_.file("stty-before")).value_or("-\n")));

    // What the settings hold: one ignore and one snooze, nothing else.
    const Json document = testing::jsonOf(runVantreel(run({"ignored", "--json"})));
    const Json& ignored = document["ignored"];
    ASSERT_EQ(ignored.size(), 2u) << document.dump();
    std::map<std::string, std::string> statuses;
    for (const Json& item : ignored) statuses[item["name"].get<std::string>()] = item["status"].get<std::string>();
    EXPECT_EQ(statuses.count("charlie"), 1u);
    EXPECT_EQ(statuses["delta"], "snoozed");
    EXPECT_EQ(upgrades(), "alpha\nbravo\n");  // the rescan lists, it never upgrades
}

TEST_F(UiE2ETest, AnApplicationIsUpdatedFromTheViewByTheInstallerOfTheCommandLine) {
    testing::LoopbackServer server(testing::LoopbackServer::Options{.workerThreads = 4, .tls = true});
    installFooWithAnUpdate(server);
    test::FakeSigningTools signing;  // they accept the new bundle
    extra_ = signing.environment();
    extra_["CURL_CA_BUNDLE"] = server.certificatePath();
    testing::showOnly(home_.path(), {"ShowUv", "ShowInstalledApplications", "ShowSparkle"});
    ASSERT_EQ(runVantreel(run({"scan"})).exitCode, 0);
    start();
    ASSERT_TRUE(shows("6 updates"));
    keys({"/"});
    type("Foo");
    keys({"Enter"});
    ASSERT_TRUE(shows("filter: Foo"));
    keys({"Space"});
    ASSERT_TRUE(shows("1 tagged"));
    {
        // Running, it is left out and the view says why: it asks nothing on the terminal.
        std::filesystem::copy_file("/bin/sleep", foo_ + "/Contents/MacOS/Helper");
        testing::Sleeper running(foo_ + "/Contents/MacOS/Helper");
        ASSERT_TRUE(testing::eventually([&] { return !processesInside(foo_).empty(); }));
        keys({"u"});
        ASSERT_TRUE(shows("Foo: the app is running (Helper)"));
    }
    ASSERT_TRUE(testing::eventually([&] { return processesInside(foo_).empty(); }));
    // The confirmation lists exactly what will run, from where, before anything does.
    keys({"u"});
    ASSERT_TRUE(shows("To update (1):"));
    const std::string confirmation = screen();
    EXPECT_NE(confirmation.find("Sparkle"), std::string::npos) << confirmation;
    EXPECT_NE(confirmation.find("Foo 1.0 → 2.0"), std::string::npos) << confirmation;
    EXPECT_EQ(server.requestCount("/Foo.zip"), 0u);
    keys({"y"});
    ASSERT_TRUE(shows("Update finished: 1 updated, 0 failed."));
    EXPECT_NE(readFile(foo_ + "/Contents/Info.plist").value_or("").find("<string>2.0</string>"), std::string::npos);
    EXPECT_EQ(server.requestCount("/Foo.zip"), 1u);
    // The row left the table: the filter that showed it matches nothing now.
    ASSERT_TRUE(shows("No row matches \"Foo\""));
    ASSERT_TRUE(shows("5 updates"));
    keys({"Escape"});
    ASSERT_TRUE(shows("echo"));
    EXPECT_EQ(screen().find("Foo"), std::string::npos) << screen();
    EXPECT_EQ(upgrades(), "");
    keys({"q"});
    ASSERT_TRUE(ended());
    EXPECT_EQ(readFile(home_.file("status")).value_or(""), "0\n");
}

// An administrator's step as a user who is not root: the password is asked in a pane of the
// view, never on the terminal under it. In a private mount namespace, stand-ins for sudo and
// apt-get lie over /usr/bin, and the view runs as nobody.
TEST_F(UiE2ETest, ThePasswordAStepNeedsIsAskedInThePaneOfTheView) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting over /usr/bin and running as nobody needs root";
    testing::showOnly(home_.path(), {"ShowApt"});
    const std::string calls = home_.file("admin-calls");
    // sudo remembers nothing, takes the password on its standard input, and runs the command.
    home_.writeExecutable("bin/sudo", "#!/bin/sh\n[ \"$1\" = -n ] && exit 1\nread -r password\n"
                                      "echo \"password $password\" >> " + calls + "\nshift 3\nexec \"$@\"\n");
    home_.writeExecutable("bin/apt-get", "#!/bin/sh\necho \"apt-get $*\" >> " + calls + "\n");
    // The view as nobody, up to the password its one apt row asks for. After an update the
    // source is listed again from this machine's own apt, where vt-alpha is not: each
    // attempt starts from the saved scan again.
    auto askedForThePassword = [&] {
        PersistedScanResults results;
        results.packages.push_back(
            Package{.name = "vt-alpha", .version = "1.0-1", .type = PackageType::AptPackage, .latestVersion = "1.1-1"});
        results.metadata = ScanMetadata{};
        ScanResultsPersistence(testing::dataFolder(home_.path()) + "/ScanResults").save(results);
        std::filesystem::remove(home_.file("ended"));
        for (const auto& entry : std::filesystem::recursive_directory_iterator(home_.path())) {
            if (::lchown(entry.path().c_str(), 65534, 65534) != 0) return false;
        }
        if (::chown(home_.path().c_str(), 65534, 65534) != 0) return false;
        start("unshare --mount /bin/sh -c 'mount -t overlay overlay -o lowerdir=" + home_.file("bin") +
              ":/usr/bin /usr/bin && exec \"$0\" \"$@\"' setpriv --reuid=65534 --regid=65534 --clear-groups ");
        if (!shows("1 updates")) return false;
        keys({"Space", "u"});
        if (!shows("To update (1):")) return false;
        keys({"y"});
        return shows("Administrator password") && shows("to upgrade vt-alpha with apt");
    };

    // Esc leaves the step out: nothing ran.
    ASSERT_TRUE(askedForThePassword());
    keys({"Escape"});
    ASSERT_TRUE(shows("Update finished: 0 updated, 1 failed."));
    keys({"q"});
    ASSERT_TRUE(ended());
    EXPECT_EQ(readFile(calls).value_or(""), "");

    // What is typed is never shown; a character is erased whole; sudo gets exactly the rest.
    ASSERT_TRUE(askedForThePassword());
    type("s3cré");
    keys({"BSpace"});
    type("t!");
    EXPECT_EQ(screen().find("s3cr"), std::string::npos) << screen();
    keys({"Enter"});
    ASSERT_TRUE(shows("Update finished: 1 updated, 0 failed."));
    EXPECT_EQ(readFile(calls).value_or(""), "password s3crt!\napt-get install --only-upgrade -y vt-alpha=1.1-1\n");
    keys({"q"});
    ASSERT_TRUE(ended());
    EXPECT_EQ(readFile(home_.file("status")).value_or(""), "0\n");
}

TEST_F(UiE2ETest, WithoutATerminalItRefersToList) {
    auto result = runVantreel(run({"ui"}));
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.standardError.find("vantreel list"), std::string::npos) << result.standardError;
    result = runVantreel(run({"-i"}));
    EXPECT_EQ(result.exitCode, 2);
}

}  // namespace
}  // namespace vt
