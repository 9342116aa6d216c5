#include "updates/SparkleUpdateInstaller.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/Files.hpp"
#include "base/Log.hpp"
#include "support/FakePrivilegedOperations.hpp"
#include "support/Eventually.hpp"
#include "support/FolderSnapshot.hpp"
#include "support/Sleeper.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/TempHome.hpp"
#include "system/RunningProcesses.hpp"
#include "system/SystemNetworkClient.hpp"
#include "updates/SparkleTestBundles.hpp"

namespace vt {
namespace {

namespace fs = std::filesystem;
using namespace testing;

class SparkleUpdateInstallerTest : public ::testing::Test {
protected:
    TempHome home;
    TempDir work{"vt-sparkle"};
    LoopbackServer server{LoopbackServer::Options{.workerThreads = 4, .tls = true}};
    std::unique_ptr<SystemNetworkClient> network;
    KeyPair key;
    test::FakePrivilegedOperations privileged;
    std::string installed;
    std::string codesign;
    std::vector<std::string> phases;

    void SetUp() override {
        ::setenv("SSL_CERT_FILE", server.certificatePath().c_str(), 1);
        network = std::make_unique<SystemNetworkClient>(SystemNetworkClient::Options{.caFile = server.certificatePath()});
        installed = home.path() + "/Applications/Foo.app";
        writeBundle(installed, {.version = "1.0"});
        codesign = work.writeExecutable("codesign",
                                        "#!/bin/sh\nif [ -f \"$3/Contents/_trust\" ]; then cat \"$3/Contents/_trust\" >&2; "
                                        "exit 0; fi\necho \"$3: code object is not signed at all\" >&2\nexit 1\n");
    }

    // Serves `archive` as /Foo.zip (or `name`) and returns the release signed over it.
    SparkleUpdateInstaller::Release serve(const std::string& archive, const std::string& name = "Foo.zip") {
        server.setRoute("/" + name, LoopbackRoute{.body = archive, .contentType = "application/octet-stream"});
        return {.version = "2.0", .downloadURL = "https://127.0.0.1:" + std::to_string(server.port()) + "/" + name,
                .signatureBase64 = key.sign(archive), .expectedFileSize = static_cast<std::int64_t>(archive.size())};
    }
    std::string zipOf(const BundleLayout& layout, const std::string& bundleName = "Foo.app") {
        TempDir staging;
        writeBundle(staging.path() + "/" + bundleName, layout);
        return zipFolder(staging.path());
    }
    SparkleUpdateInstaller::Target target() {
        return {.id = "foo", .name = "Foo", .bundlePath = installed, .installedVersion = "1.0",
                .publicKeyBase64 = key.publicBase64()};
    }
    SparkleUpdateInstaller::Environment environment() {
        SparkleUpdateInstaller::Environment environment;
        environment.network = network.get();
        environment.privileged = &privileged;
        environment.codesign = codesign;
        environment.temporaryRoot = work.path();
        environment.signatureCheck = [](const std::string& bundle) -> std::optional<std::string> {
            if (fs::exists(bundle + "/Contents/_broken")) return "Signature de code invalide";
            return std::nullopt;
        };
        return environment;
    }
    SparkleUpdateOutcome install(SparkleUpdateInstaller::Target target, SparkleUpdateInstaller::Release release,
                                 SparkleUpdateInstaller::Environment environment) {
        SparkleUpdateInstaller installer(std::move(target), std::move(release), std::move(environment),
                                         [this](double, std::string_view phase) {
                                             if (phases.empty() || phases.back() != phase) phases.emplace_back(phase);
                                         });
        return installer.install();
    }
    // Nothing but the bundle in ~/Applications and nothing left in the temporary folder.
    void expectNoLeftovers() const {
        std::vector<std::string> names;
        for (const auto& item : fs::directory_iterator(home.path() + "/Applications")) names.push_back(item.path().filename());
        EXPECT_EQ(names, std::vector<std::string>{"Foo.app"});
        for (const auto& item : fs::directory_iterator(work.path())) EXPECT_EQ(item.path().filename(), "codesign");
    }
};

TEST_F(SparkleUpdateInstallerTest, InstallsAVerifiedUpdateThroughEachPhaseAndEachReplacement) {
    LogCapture log;
    SparkleUpdateInstaller::Release release = serve(zipOf({.version = "2.0"}));
    release.expectedFileSize = 12;
    SparkleUpdateOutcome outcome = install(target(), release, environment());
    ASSERT_EQ(outcome.kind, SparkleUpdateOutcome::Kind::Installed) << outcome.message;
    EXPECT_EQ(outcome.version, "2.0");
    EXPECT_NE(readFile(installed + "/Contents/Info.plist")->find("<string>2.0</string>"), std::string::npos);
    EXPECT_EQ(phases, (std::vector<std::string>{"sparkle.update.preparing", "sparkle.update.downloading",
                                                "sparkle.update.verifying", "sparkle.update.extracting",
                                                "sparkle.update.validating", "sparkle.update.installing",
                                                "sparkle.update.done"}));
    EXPECT_TRUE(log.contains("Sparkle download size mismatch for Foo: expected 12 bytes, got"));
    EXPECT_TRUE(log.contains("Sparkle privileged replacement failed for Foo, falling back to a replacement in user space: "
                             "privileged helper not installed"));
    EXPECT_TRUE(log.contains("are both unsigned; trusting the EdDSA signature alone"));
    EXPECT_TRUE(log.contains("Sparkle installation done: 1.0 → 2.0 (kept closed)"));
    expectNoLeftovers();

    // The privileged helper, when it answers, does the replacement itself; the trust goes up.
    writeBundle(installed, {.version = "1.0", .trust = "Signature=adhoc\n"});
    privileged.helperAnswers = true;
    outcome = install(target(), serve(zipOf({.trust = "Authority=Developer ID Application: Ex (T1)\nTeamIdentifier=T1\n"})),
                      environment());
    ASSERT_EQ(outcome.kind, SparkleUpdateOutcome::Kind::Installed) << outcome.message;
    EXPECT_EQ(privileged.calls.back(), "helperReplaceApp");
    EXPECT_TRUE(log.contains("Sparkle: Foo goes from an ad-hoc signature to Developer ID"));
    expectNoLeftovers();

    // A disk image goes through hdiutil (here a stand-in that unpacks a zip at the mount point).
    std::string calls = work.file("hdiutil-calls");
    SparkleUpdateInstaller::Environment withImages = environment();
    withImages.hdiutil = work.writeExecutable(
        "hdiutil", "#!/bin/sh\necho \"$1\" >> " + calls + "\n[ \"$1\" = attach ] && exec /usr/bin/unzip -q \"$5\" -d \"$4\"\nexit 0\n");
    writeBundle(installed, {.version = "1.0"});
    outcome = install(target(), serve(zipOf({.version = "2.0"}), "Foo.dmg"), withImages);
    ASSERT_EQ(outcome.kind, SparkleUpdateOutcome::Kind::Installed) << outcome.message;
    EXPECT_EQ(*readFile(calls), "attach\ndetach\n");

    // Two bundles in one archive: the one named like the installed application is the update.
    TempDir staging;
    writeBundle(staging.path() + "/Aaa.app", {.identifier = "com.example.other"});
    writeBundle(staging.path() + "/Foo.app", {.version = "2.0"});
    writeBundle(installed, {.version = "1.0"});
    outcome = install(target(), serve(zipFolder(staging.path())), environment());
    ASSERT_EQ(outcome.kind, SparkleUpdateOutcome::Kind::Installed) << outcome.message;
}

TEST_F(SparkleUpdateInstallerTest, EveryRefusalBeforeTheReplacementLeavesTheInstalledBundleUntouched) {
    const std::string devID = "Authority=Developer ID Application: Ex (T1)\nTeamIdentifier=T1\n";
    const std::string good = zipOf({.version = "2.0"});
    KeyPair other;
    struct Case {
        std::string name;
        std::function<void(SparkleUpdateInstaller::Target&, SparkleUpdateInstaller::Release&)> change;
        std::string message;
    };
    std::vector<Case> cases = {
        {"self", [&](auto& t, auto&) { t.bundlePath = home.path() + "/Applications/Vantreel.app"; },
         "Sparkle: refusing to install an update for Van Treel"},
        {"http", [](auto&, auto& r) { r.downloadURL.replace(0, 5, "http"); }, "Sparkle enclosure must be HTTPS, got: http://"},
        {"63 bytes", [&](auto&, auto& r) { r.signatureBase64 = base64(std::string(63, 'x')); },
         std::string("Sparkle: invalid Ed25519 inputs (") + kSparkleBadSignatureReason + ")"},
        {"short key", [&](auto& t, auto&) { t.publicKeyBase64 = base64(std::string(31, 'k')); },
         std::string("Sparkle: invalid Ed25519 inputs (") + kSparkleBadKeyReason + ")"},
        {"other key", [&](auto&, auto& r) { r.signatureBase64 = other.sign(good); },
         "Sparkle: Ed25519 signature does not match"},
        {"changed byte", [&](auto&, auto& r) { std::string changed = good; changed[changed.size() / 2] ^= 1; serve(changed); (void)r; },
         "Sparkle: Ed25519 signature does not match"},
        {"404", [&](auto&, auto& r) { r.downloadURL += "-missing"; }, "Sparkle download failed with HTTP 404"},
        {"older", [&](auto&, auto& r) { r = serve(zipOf({.version = "0.9"})); }, "Sparkle: downloaded version 0.9 is not newer than the installed version 1.0"},
        {"identifier", [&](auto&, auto& r) { r = serve(zipOf({.identifier = "com.example.bar"})); },
         "Sparkle: bundle identifier mismatch (expected com.example.foo, got com.example.bar)"},
        {"architecture", [&](auto&, auto& r) { r = serve(zipOf({.cpu = kArm})); },
         "Sparkle: architecture mismatch (installed intel, update appleSilicon) — refusing cross-architecture replacement"},
        {"other team", [&](auto&, auto& r) {
             writeBundle(installed, {.version = "1.0", .trust = devID});
             r = serve(zipOf({.trust = "Authority=Developer ID Application: Ex (T2)\nTeamIdentifier=T2\n"}));
         },
         "Sparkle: code signing regression (Developer ID (T1) → Developer ID (T2)) — refusing to weaken trust"},
        {"unsigned after ad-hoc", [&](auto&, auto& r) {
             writeBundle(installed, {.version = "1.0", .trust = "Signature=adhoc\n"});
             r = serve(zipOf({}));
         },
         "Sparkle: code signing regression (ad-hoc → unsigned)"},
        {"broken signature", [&](auto&, auto& r) { r = serve(zipOf({.brokenSignature = true})); }, "Signature de code invalide"},
        {"no bundle", [&](auto&, auto& r) {
             TempDir empty;
             writeFileAtomically(empty.path() + "/README", "x");
             r = serve(zipFolder(empty.path()));
         },
         "Sparkle: no .app bundle found inside the archive"},
        {"rar", [&](auto&, auto& r) { r = serve(good, "Foo.rar"); }, "Sparkle: extraction failed (unsupported archive type: rar)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeBundle(installed, {.version = "1.0"});
        SparkleUpdateInstaller::Target t = target();
        SparkleUpdateInstaller::Release r = serve(good);
        c.change(t, r);
        const auto before = folderSnapshot(installed);
        const std::size_t requestsBefore = server.requests().size();
        phases.clear();
        SparkleUpdateOutcome outcome = install(t, r, environment());
        EXPECT_EQ(outcome.kind, SparkleUpdateOutcome::Kind::Failed);
        EXPECT_EQ(outcome.message.substr(0, c.message.size()), c.message);
        EXPECT_EQ(folderSnapshot(installed), before);
        expectNoLeftovers();
        if (c.name == "http" || c.name == "self") {
            EXPECT_EQ(server.requests().size(), requestsBefore);
        }
        if (c.name == "63 bytes") {
            EXPECT_EQ(phases.back(), "sparkle.update.verifying");
        }
    }

    // Without a key the update is the application's own business; nothing is downloaded.
    SparkleUpdateInstaller::Target keyless = target();
    keyless.publicKeyBase64.reset();
    std::string told;
    SparkleUpdateInstaller::Environment delegating = environment();
    delegating.openApp = [&told](const std::string& message) { told = message; };
    const std::size_t requestsBefore = server.requests().size();
    SparkleUpdateOutcome outcome = install(keyless, serve(good), delegating);
    EXPECT_EQ(outcome.kind, SparkleUpdateOutcome::Kind::OpenedApp);
    EXPECT_NE(told.find("Sparkle: target app has no SUPublicEDKey"), std::string::npos);
    EXPECT_EQ(server.requests().size(), requestsBefore);
}

TEST_F(SparkleUpdateInstallerTest, CancellationInEveryPhaseAndAFailedReplacementLeaveTheOldBundle) {
    const std::string archive = zipOf({.version = "2.0"});
    for (const char* phase : {"sparkle.update.preparing", "sparkle.update.downloading", "sparkle.update.verifying",
                              "sparkle.update.extracting", "sparkle.update.validating", "sparkle.update.installing"}) {
        SCOPED_TRACE(phase);
        LogCapture log;
        const auto before = folderSnapshot(installed);
        SparkleUpdateInstaller* self = nullptr;
        SparkleUpdateInstaller installer(target(), serve(archive), environment(), [&](double, std::string_view key) {
            if (key == phase) self->cancel();
        });
        self = &installer;
        SparkleUpdateOutcome outcome = installer.install();
        EXPECT_EQ(outcome.message, "Sparkle update cancelled");
        EXPECT_TRUE(log.contains("Sparkle installation cancelled for Foo"));
        EXPECT_EQ(folderSnapshot(installed), before);
        expectNoLeftovers();
    }

    // The backup move fails: nothing moved. The copy fails half-way: the backup comes back.
    const auto before = folderSnapshot(installed);
    SparkleUpdateInstaller::Environment failingMove = environment();
    failingMove.moveItem = [](const std::string& from, const std::string& to) {
        throw fs::filesystem_error("rename", from, to, std::make_error_code(std::errc::device_or_resource_busy));
    };
    SparkleUpdateOutcome outcome = install(target(), serve(archive), failingMove);
    EXPECT_EQ(outcome.message.rfind("Sparkle: failed to install the new bundle (backup move failed: ", 0), 0u) << outcome.message;
    EXPECT_EQ(folderSnapshot(installed), before);
    SparkleUpdateInstaller::Environment failingCopy = environment();
    failingCopy.copyBundle = [](const std::string& from, const std::string& to) {
        fs::create_directories(to + "/Contents");
        fs::copy_file(from + "/Contents/Info.plist", to + "/Contents/Info.plist");
        throw fs::filesystem_error("copy", from, to, std::make_error_code(std::errc::no_space_on_device));
    };
    outcome = install(target(), serve(archive), failingCopy);
    EXPECT_EQ(outcome.message.rfind("Sparkle: failed to install the new bundle (copy failed: ", 0), 0u) << outcome.message;
    EXPECT_EQ(folderSnapshot(installed), before);
    expectNoLeftovers();
}

TEST_F(SparkleUpdateInstallerTest, ARunningApplicationIsQuitOnlyWithConsentAndRelaunched) {
    // The installed executable is a real program, so the application really runs.
    const std::string executable = installed + "/Contents/MacOS/Foo";
    fs::copy_file("/bin/sleep", executable, fs::copy_options::overwrite_existing);
    testing::Sleeper app(executable);
    ASSERT_TRUE(testing::eventually([&] { return !processesInside(installed).empty(); }));
    const pid_t pid = app.pid();
    const std::string archive = zipOf({.version = "2.0"});
    const auto before = folderSnapshot(installed);
    SparkleUpdateInstaller::Environment declining = environment();
    declining.confirmQuit = [](const std::string&) { return false; };
    SparkleUpdateOutcome outcome = install(target(), serve(archive), declining);
    EXPECT_EQ(outcome.message, "Foo is running and the quit prompt was declined");
    EXPECT_EQ(folderSnapshot(installed), before);
    EXPECT_EQ(::kill(pid, 0), 0);

    LogCapture log;
    std::string relaunched;
    SparkleUpdateInstaller::Environment consenting = environment();
    consenting.confirmQuit = [](const std::string& name) { return name == "Foo"; };
    consenting.relaunch = [&relaunched](const std::string&, const std::string& path) { relaunched = path; };
    phases.clear();
    outcome = install(target(), serve(archive), consenting);
    ASSERT_EQ(outcome.kind, SparkleUpdateOutcome::Kind::Installed) << outcome.message;
    siginfo_t ended{};  // left for the Sleeper to reap
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT), 0);
    EXPECT_TRUE(ended.si_pid == pid && ended.si_code == CLD_KILLED && ended.si_status == SIGTERM);
    EXPECT_EQ(relaunched, executable);
    EXPECT_EQ(phases.back(), "sparkle.update.relaunching");
    EXPECT_TRUE(log.contains("Sparkle installation done: 1.0 → 2.0 (relaunched)"));
}

TEST_F(SparkleUpdateInstallerTest, WhatIsInstalledNowDecidesNotTheScansRecord) {
    const std::string archive = zipOf({.version = "2.0"});
    const std::string notNewer = "Sparkle: downloaded version 2.0 is not newer than the installed version 2.0";
    // Updated to the release since the scan that recorded 1.0: nothing is even fetched.
    writeBundle(installed, {.version = "2.0"});
    auto before = folderSnapshot(installed);
    const std::size_t requestsBefore = server.requests().size();
    SparkleUpdateOutcome outcome = install(target(), serve(archive), environment());
    EXPECT_EQ(outcome.message, notNewer);
    EXPECT_EQ(server.requests().size(), requestsBefore);
    EXPECT_EQ(folderSnapshot(installed), before);

    // An application that installs an update of its own as it quits is not replaced after
    // that, and is started again.
    writeBundle(installed, {.version = "1.0"});
    fs::copy_file("/bin/sleep", installed + "/Contents/MacOS/Foo", fs::copy_options::overwrite_existing);
    testing::Sleeper running(installed + "/Contents/MacOS/Foo");
    ASSERT_TRUE(testing::eventually([&] { return !processesInside(installed).empty(); }));
    SparkleUpdateInstaller::Environment selfUpdating = environment();
    selfUpdating.confirmQuit = [&](const std::string&) {
        writeBundle(installed, {.version = "2.0"});
        before = folderSnapshot(installed);
        return true;
    };
    std::string relaunched;
    selfUpdating.relaunch = [&relaunched](const std::string&, const std::string& path) { relaunched = path; };
    outcome = install(target(), serve(archive), selfUpdating);
    EXPECT_EQ(outcome.message, notNewer);
    EXPECT_EQ(relaunched, installed + "/Contents/MacOS/Foo");
    EXPECT_EQ(folderSnapshot(installed), before);
    expectNoLeftovers();
}

}  // namespace
}  // namespace vt
