// The program against input that tries to hurt it: escape sequences in what it prints,
// settings it cannot read or that nest without end, files that never end.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Files.hpp"
#include "core/ScanResultsPersistence.hpp"
#include "support/Fixtures.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

namespace fs = std::filesystem;
using testing::runVantreel;

const std::string kPreferences = "/.config/vantreel/settings.json";

// Root reads every file whatever its mode: the program is run without that power here, as a
// user would run it.
std::vector<std::string> asAUser() {
    if (::geteuid() != 0) return {};
    return {"/usr/bin/setpriv", "--bounding-set", "-dac_override,-dac_read_search", "--"};
}

TEST(HostileInputE2ETest, SettingsThatCannotBeReadAreNeverReplaced) {
    testing::TempDir home("vt-hostile-settings");
    const std::string file = home.write(kPreferences.substr(1), R"({"CheckInterval": 6, "NotifyUpdates": true})", 0000);
    auto set = runVantreel({.arguments = {"settings", "set", "CheckInterval", "12"}, .home = home.path(), .wrapper = asAUser()});
    EXPECT_EQ(set.exitCode, 1) << set.standardOutput;
    EXPECT_NE(set.standardError.find("cannot read the preferences at"), std::string::npos) << set.standardError;
    // Said as soon as the settings are read, not first when a change cannot be saved.
    auto get = runVantreel({.arguments = {"settings", "get", "CheckInterval"}, .home = home.path(), .wrapper = asAUser()});
    EXPECT_NE(get.standardError.find("the defaults are used, and no setting can be changed"), std::string::npos)
        << get.standardError;
    ::chmod(file.c_str(), 0600);
    EXPECT_EQ(readFile(file), R"({"CheckInterval": 6, "NotifyUpdates": true})");

    // A FIFO in its place: refused at once, not waited on.
    fs::remove(file);
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    auto overFifo = runVantreel({.arguments = {"settings", "set", "CheckInterval", "12"}, .home = home.path(), .timeout = 20});
    EXPECT_EQ(overFifo.exitCode, 1) << overFifo.standardError;
    EXPECT_TRUE(fs::is_fifo(file));
}

// Saved results that may not be read are lost items, not no items.
TEST(HostileInputE2ETest, SavedResultsThatMayNotBeReadAreNotTakenForNone) {
    testing::TempDir home("vt-hostile-results");
    PersistedScanResults results;
    results.packages = {testing::savedPackage(PackageType::NpmGlobal, "left-pad", "1.0.0", "1.1.0")};
    results.metadata = ScanMetadata{};
    const std::string folder = testing::dataFolder(home.path()) + "/ScanResults";
    ScanResultsPersistence(folder).save(results);
    ::chmod((folder + "/packages.json").c_str(), 0000);
    auto list = runVantreel({.arguments = {"list", "--exit-code"}, .home = home.path(), .wrapper = asAUser()});
    EXPECT_EQ(list.exitCode, 3) << list.standardOutput;
    EXPECT_NE(list.standardError.find("cannot be read (packages.json)"), std::string::npos) << list.standardError;
}

TEST(HostileInputE2ETest, SettingsNestedWithoutEndAreSetAsideAsCorrupt) {
    testing::TempDir home("vt-hostile-deep");
    std::string deep = R"({"CheckInterval": 6, "X": )" + std::string(100'000, '[') + std::string(100'000, ']') + "}";
    home.write(kPreferences.substr(1), deep);
    testing::showOnly(home.path(), {});
    home.write(kPreferences.substr(1), deep);
    for (std::vector<std::string> command : {std::vector<std::string>{"settings", "list"}, {"list"}, {"--accept-terms", "scan"},
                                             {"settings", "set", "CheckInterval", "12"}}) {
        // The settings give way to the first launch's, and the first write sets the file aside:
        // the scan is of every source this machine has, which under the sanitizers and beside
        // other tests takes a while.
        auto run = runVantreel({.arguments = command, .home = home.path(), .timeout = 240});
        EXPECT_EQ(run.exitCode, 0) << command.back() << ": " << run.standardError;
        // Before any write, the user is told the choices in the file are not in effect.
        if (command.front() == "settings" && command[1] == "list") {
            EXPECT_NE(run.standardError.find("cannot be read; the defaults are used"), std::string::npos)
                << run.standardError;
        }
    }
    EXPECT_EQ(runVantreel({.arguments = {"list"}, .home = home.path()}).standardError.find("cannot be read"),
              std::string::npos);
    bool backedUp = false;
    for (const auto& entry : fs::directory_iterator(home.file(".config/vantreel"))) {
        if (entry.path().filename().string().find(".corrupt-") != std::string::npos) {
            backedUp = readFile(entry.path().string()) == deep;
        }
    }
    EXPECT_TRUE(backedUp);
}

TEST(HostileInputE2ETest, FilesThatNeverEndAreNotWaitedOn) {
    testing::TempDir home("vt-hostile-fifo");
    testing::showOnly(home.path(), {});
    const std::string results = testing::dataFolder(home.path()) + "/ScanResults";
    fs::create_directories(results);
    ASSERT_EQ(::mkfifo((results + "/packages.json").c_str(), 0600), 0);
    auto list = runVantreel({.arguments = {"list"}, .home = home.path(), .timeout = 20});
    EXPECT_EQ(list.exitCode, 0) << list.standardError;
    EXPECT_NE(list.standardError.find("packages.json"), std::string::npos) << list.standardError;

    // Plug-ins whose Info.plist is a FIFO or endless.
    const std::string panes = home.file("Library/PreferencePanes");
    fs::create_directories(panes + "/Fifo.prefPane/Contents");
    ASSERT_EQ(::mkfifo((panes + "/Fifo.prefPane/Contents/Info.plist").c_str(), 0600), 0);
    fs::create_directories(panes + "/Zero.prefPane/Contents");
    fs::create_symlink("/dev/zero", panes + "/Zero.prefPane/Contents/Info.plist");
    auto extensions = runVantreel({.arguments = {"apps", "--extensions"}, .home = home.path(), .timeout = 20});
    EXPECT_EQ(extensions.exitCode, 0) << extensions.standardError;
    EXPECT_NE(extensions.standardOutput.find("Fifo"), std::string::npos) << extensions.standardOutput;
    EXPECT_NE(extensions.standardOutput.find("Zero"), std::string::npos) << extensions.standardOutput;
}

// Every command that prints what feeds, bundles, tools and registries said, against texts
// that carry escape sequences (a window title, a clipboard write) and newlines: not one
// ESC byte reaches the terminal.
TEST(HostileInputE2ETest, NoEscapeSequenceFromOutsideIsEverPrinted) {
    testing::LoopbackServer server(testing::LoopbackServer::Options{.workerThreads = 4, .tls = true});
    testing::LoopbackRoute feed;
    feed.contentType = "application/rss+xml";
    feed.body = R"(<?xml version="1.0" encoding="utf-8"?>
<rss xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel><item>
<title>2.0&#x1b;]0;TITLE&#x7;</title>
<sparkle:version>2.0&#x1b;]0;TITLE&#x7;&#x1b;]52;c;cHduZWQ=&#x7;</sparkle:version>
<sparkle:shortVersionString>2.0&#x1b;]0;TITLE&#x7;</sparkle:shortVersionString>
<description>notes &#x1b;[2J</description>
<enclosure url="https://127.0.0.1:9/Evil.zip" length="10" type="application/octet-stream"
 sparkle:edSignature="AAAA&#x1b;]0;SIG&#x7;"/>
</item></channel></rss>)";
    server.setRoute("/appcast.xml", feed);
    testing::LoopbackServer crates;
    testing::LoopbackRoute crate;
    crate.body = R"({"crate": {"max_stable_version": "9.9.9\u001b]0;CRATE\u0007"}, "versions": []})";
    crates.setRoute("/api/v1/crates/evil", crate);

    testing::TempDir home("vt-hostile-escapes");
    testing::showOnly(home.path(), {"ShowInstalledApplications", "ShowSparkle", "ShowCargo"});
    home.write("Applications/Evil.app/Contents/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.evil)" "\x1b]0;ID\x07" R"(</string>
<key>CFBundleName</key><string>Evil)" "\x1b]0;NAME\x07\nline" R"(</string>
<key>CFBundleShortVersionString</key><string>1.0</string>
<key>CFBundleVersion</key><string>1.0</string>
<key>SUFeedURL</key><string>)" + server.url("/appcast.xml") + R"(</string>
<key>SUPublicEDKey</key><string>2e9SQOBoaKElchSa/4QDli/nvYkyuDNfynfzBF6vJK4=</string>
</dict></plist>)");
    home.makeFolder("Applications/Evil.app/Contents/Frameworks/Sparkle.framework");
    home.write(".cargo/.crates2.json", "{}");  // a record that only cargo reads
    home.writeExecutable(".cargo/bin/cargo", "#!/bin/sh\ncase \"$1 $2\" in\n"
                                             "  \"install --list\") printf 'evil v1.0.0\\033]0;TOOL\\007:\\n    evil\\n' ;;\n"
                                             "  *) printf 'error: \\033]52;c;cHduZWQ=\\007 failed\\n' >&2; exit 1 ;;\n"
                                             "esac\n");
    const std::map<std::string, std::string> environment{{"CURL_CA_BUNDLE", server.certificatePath()},
                                                         {"VANTREEL_ENDPOINT_CRATES", crates.origin()}};
    const std::vector<std::vector<std::string>> commands = {
        {"--accept-terms", "scan"}, {"scan", "--all"}, {"list"}, {"list", "--all"}, {"apps"}, {"apps", "--verbose"},
        {"update", "--all", "--dry-run"}, {"update", "evil"}, {"update", "--all", "--yes"}, {"ignore", "evil"},
        {"ignored"}, {"activity"}, {"check-updates"}, {"outdated-count"}, {"rules", "list"}, {"--verbose", "list"},
    };
    for (const auto& command : commands) {
        auto run = runVantreel({.arguments = command, .home = home.path(), .environment = environment, .timeout = 120});
        std::string line;
        for (const std::string& word : command) line += word + " ";
        EXPECT_EQ(run.standardOutput.find('\x1b'), std::string::npos) << line << "\n" << run.standardOutput;
        EXPECT_EQ(run.standardError.find('\x1b'), std::string::npos) << line << "\n" << run.standardError;
        EXPECT_EQ(run.standardOutput.find('\x07'), std::string::npos) << line;
    }
    // The texts themselves are still there, made harmless.
    auto list = runVantreel({.arguments = {"list", "--all"}, .home = home.path(), .environment = environment});
    EXPECT_NE(list.standardOutput.find("]0;NAME"), std::string::npos) << list.standardOutput << list.standardError;
}

}  // namespace
}  // namespace vt
