#include "updates/GitHubInstallerService.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "base/Files.hpp"
#include "base/Log.hpp"
#include "support/AppImageBuilder.hpp"
#include "support/Eventually.hpp"
#include "support/FakePrivilegedOperations.hpp"
#include "support/FolderSnapshot.hpp"
#include "support/Sleeper.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "support/Thrown.hpp"
#include "system/CommandRunner.hpp"
#include "system/RunningProcesses.hpp"
#include "system/SystemNetworkClient.hpp"
#include "updates/FakeSigningTools.hpp"
#include "updates/TestArchives.hpp"

namespace vt {
namespace {

namespace fs = std::filesystem;
using test::Entry;
using test::FakePrivilegedOperations;
using test::FakeSigningTools;
using test::Format;

std::vector<Entry> bundleEntries(const std::string& bundle, const std::string& version) {
    return {{bundle + "/Contents/Info.plist", FakeSigningTools::infoPlist(version)},
            {bundle + "/Contents/MacOS/Foo", "#!/bin/sh\necho " + version + "\n", "", "", 0755}};
}

class GitHubInstallerServiceIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(temporary); }

    // Serves an archive built from `entries` as a release asset named `asset`.
    std::string publish(const std::string& asset, const std::vector<Entry>& entries, Format format = Format::Zip) {
        std::string file = work.file(asset);
        test::writeArchive(file, format, entries);
        return serve(asset, readFile(file).value_or(""));
    }
    std::string serve(const std::string& asset, std::string body) {
        std::string path = "/owner/foo/releases/download/v2.0/" + asset;
        server.setRoute(path, {.body = std::move(body), .contentType = "application/octet-stream"});
        return server.url(path);
    }

    GitHubInstallRequest request(std::optional<std::string> url) const {
        return {"Foo", installed, "owner/foo", std::move(url), "v2.0"};
    }

    // The failure of an install, after checking that it left nothing behind (and, unless it
    // failed only after the copy, the installed bundle as it was).
    GitHubInstallError failure(const std::optional<std::string>& url, bool untouched = true) {
        return failure(request(url), untouched);
    }
    GitHubInstallError failure(const GitHubInstallRequest& attempt, bool untouched = true) {
        const auto before = testing::folderSnapshot(installed);
        const auto error = testing::thrown<GitHubInstallError>([&] { service.install(attempt); });
        EXPECT_TRUE(fs::is_empty(temporary)) << "the GitHubInstall- folder is removed";
        if (untouched) {
            EXPECT_EQ(testing::folderSnapshot(installed), before) << "installed app untouched";
        }
        return error.value();
    }

    testing::TempDir home;
    testing::TempDir work;
    testing::ScopedHome homeVariable{home.path()};
    std::string temporary = work.file("tmp");
    std::string installed = FakeSigningTools::makeBundle(home.path() + "/Applications/Foo.app", "1.0");
    testing::LoopbackServer server{testing::LoopbackServer::Options{.workerThreads = 32, .tls = true}};
    SystemNetworkClient network{SystemNetworkClient::Options{.caFile = server.certificatePath()}};
    FakeSigningTools fake;
    CommandRunner runner;
    FakePrivilegedOperations privileged;
    GitHubInstallerService service{{&network, &runner, &privileged, fake.tools, temporary, {}}};
};

TEST_F(GitHubInstallerServiceIntegrationTest, InstallsAReleaseArchiveThroughEveryPhase) {
    // Two bundles: the one named like the installed application wins over the earlier name.
    std::vector<Entry> entries = bundleEntries("Foo.app", "2.0");
    for (Entry& helper : bundleEntries("Bar Helper.app", "9.9")) entries.push_back(helper);
    std::string url = publish("Foo-2.0-mac.tar.gz", entries, Format::TarGz);
    std::vector<std::string> phases;
    LogCapture log;
    GitHubInstallResult result = service.install(request(url), [&](const GitHubInstallProgress& progress) {
        if (phases.empty() || phases.back() != progress.message) phases.push_back(progress.message);
    });
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.installedVersion, "2.0");
    EXPECT_EQ(result.destinationPath, installed);
    EXPECT_EQ(readFile(installed + "/Contents/MacOS/Foo"), "#!/bin/sh\necho 2.0\n");
    EXPECT_TRUE(fs::is_empty(temporary));
    ASSERT_GE(phases.size(), 8u);
    EXPECT_EQ(phases.front(), "Starting the download...");
    EXPECT_EQ(phases[phases.size() - 7], "Downloading 100%");
    EXPECT_EQ(std::vector<std::string>(phases.end() - 6, phases.end()),
              (std::vector<std::string>{"Download finished", "Unpacking the archive...",
                                        "Verifying the signature...", "Copying the application...",
                                        "Installation succeeded", "Installation completed successfully"}));
    EXPECT_TRUE(log.contains("Repository: owner/foo"));
    EXPECT_TRUE(log.contains("Backup created at " + installed + ".backup"));
    EXPECT_TRUE(log.contains("Copy succeeded without administrator rights"));
}

TEST_F(GitHubInstallerServiceIntegrationTest, RefusesBadAssetsAndLeavesNothingHalfInstalled) {
    GitHubInstallError noBundle = failure(publish("Foo.zip", {{"README", "no app here"}}));
    EXPECT_EQ(noBundle.description(), "Extraction failed: No .app bundle found in the archive");

    std::string outside = work.file("outside");
    GitHubInstallError slip = failure(publish("Slip.zip", {{"../../outside", "x"}, {"Foo.app/Contents/Info.plist", "x"}}));
    EXPECT_EQ(slip.kind(), GitHubInstallError::Kind::ExtractionFailed);
    EXPECT_NE(slip.description().find("Cannot unpack: Refused archive entry"), std::string::npos);
    EXPECT_FALSE(fs::exists(outside));

    // (A damaged archive fails as any refused one does: ArchiveExtractorTest.)
    EXPECT_EQ(failure(serve("Foo-2.0.dmg", "koly")).description(), "Unsupported file type: dmg");
    EXPECT_EQ(failure(serve("Foo-2.0.pkg", "xar!")).description(), "Unsupported file type: pkg");
    EXPECT_EQ(failure(server.url("/missing.zip")).kind(), GitHubInstallError::Kind::HttpError);
    EXPECT_EQ(failure(std::nullopt).description(), "No macOS file available in this release");
    EXPECT_EQ(failure(std::string("ftp://example.invalid/Foo.zip")).kind(), GitHubInstallError::Kind::InvalidDownloadURL);

    // Over plain http anyone on the way could change the file: nothing is fetched.
    const std::size_t requestsBefore = server.requests().size();
    GitHubInstallError plain = failure(std::string("http://127.0.0.1:") + std::to_string(server.port()) + "/Foo.zip");
    EXPECT_EQ(plain.kind(), GitHubInstallError::Kind::InvalidDownloadURL);
    EXPECT_NE(plain.description().find("https"), std::string::npos) << plain.description();
    EXPECT_EQ(server.requests().size(), requestsBefore);

    // Only the version shown goes in place: a build newer than the installed one but not the
    // one shown, older or newer than it, replaces nothing.
    for (const char* served : {"1.5", "3.0"}) {
        const std::string asset = std::string("Other-") + served + ".zip";
        GitHubInstallError other = failure(publish(asset, bundleEntries("Foo.app", served)));
        EXPECT_EQ(other.description(), std::string("Installation failed: Foo was not replaced: the download is version ") +
                                           served + ", not the version shown (2.0)");
        EXPECT_TRUE(disablesDirectInstall(other.description()));
    }
    // Nor does anything when no version was shown: nothing is even fetched.
    GitHubInstallRequest unshown = request(publish("Unshown.zip", bundleEntries("Foo.app", "2.0")));
    unshown.expectedVersion = "";
    EXPECT_EQ(failure(unshown).kind(), GitHubInstallError::Kind::InstallFailed);
    EXPECT_EQ(server.requestCount("/owner/foo/releases/download/v2.0/Unshown.zip"), 0u);

    // The signing tools refuse the download: verification fails before any copy.
    std::vector<Entry> unsigned_ = bundleEntries("Foo.app", "2.0");
    unsigned_.push_back({"Foo.app/Contents/fake-codesign-verify", "exit 1\n"});
    GitHubInstallError refused = failure(publish("Unsigned.zip", unsigned_));
    EXPECT_EQ(refused.description(), "Signature verification failed: Invalid code signature for Foo: exit status 1");
    EXPECT_TRUE(disablesDirectInstall(refused.description()));

    // Recognised in either language, whatever the case and the accents.
    for (const char* phrase : {"No macOS file available in this release", "Aucun fichier macOS disponible dans cette release",
                               "Gatekeeper refuses this application for Foo: x", "Gatekeeper refuse cette application pour Foo: x",
                               "Team ID différent pour Foo. Installée: T1", "TEAM ID DIFFERENT POUR FOO. INSTALLEE: T1",
                               "Different Team ID for Foo. Installed: T1"})
        EXPECT_TRUE(disablesDirectInstall(phrase)) << phrase;
    EXPECT_FALSE(disablesDirectInstall("Download failed: timeout"));
    EXPECT_FALSE(disablesDirectInstall("Échec du téléchargement: timeout"));
}

// Updated while the release downloads: refused right before the replacement. (Updated before
// it, nothing is fetched: ApplicationUpdatesE2ETest.)
TEST_F(GitHubInstallerServiceIntegrationTest, ABundleUpdatedDuringTheDownloadIsNotReplaced) {
    const std::string path = "/owner/foo/releases/download/v2.0/Foo-2.0-mac.zip";
    const std::string url = publish("Foo-2.0-mac.zip", bundleEntries("Foo.app", "2.0"));
    server.setHandler(path, [&](const testing::LoopbackRequest&) {
        FakeSigningTools::makeBundle(installed, "2.0");
        return testing::LoopbackRoute{.body = *readFile(work.file("Foo-2.0-mac.zip")), .contentType = "application/octet-stream"};
    });
    EXPECT_EQ(failure(url, false).kind(), GitHubInstallError::Kind::NotNewer);
    EXPECT_EQ(server.requestCount(path), 1u);
    EXPECT_EQ(readFile(installed + "/Contents/MacOS/Foo"), "#!/bin/sh\necho 2.0\n");
    EXPECT_FALSE(fs::exists(installed + ".backup"));
    EXPECT_EQ(fake.calls().find("xattr -dr com.apple.quarantine " + installed), std::string::npos);
}

TEST_F(GitHubInstallerServiceIntegrationTest, ARunningApplicationIsReplacedOnlyWithConsent) {
    const std::string url = publish("Foo-2.0-mac.zip", bundleEntries("Foo.app", "2.0"));
    fs::copy_file("/bin/sleep", installed + "/Contents/MacOS/Helper");
    testing::Sleeper running(installed + "/Contents/MacOS/Helper");
    ASSERT_TRUE(testing::eventually([&] { return !processesInside(installed).empty(); }));
    GitHubInstallError refused = failure(url);
    EXPECT_EQ(refused.kind(), GitHubInstallError::Kind::AppRunning);
    EXPECT_EQ(refused.description(), "Foo is running; quit it and update again (nothing was changed)");

    std::string asked;
    GitHubInstallerService consenting{{&network, &runner, &privileged, fake.tools, temporary, {},
                                       [&asked](const std::string& name) {
                                           asked = name;
                                           return true;
                                       }}};
    EXPECT_EQ(consenting.install(request(url)).installedVersion, "2.0");
    EXPECT_EQ(asked, "Foo");
}

// A mismatch is refused before anything is unpacked (see ApplicationUpdatesE2ETest); the
// published checksum, in either case, lets it through.
TEST_F(GitHubInstallerServiceIntegrationTest, TheReleasesChecksumInEitherCaseLetsItThrough) {
    const std::string url = publish("Foo-2.0-mac.zip", bundleEntries("Foo.app", "2.0"));
    GitHubInstallRequest genuine = request(url);
    genuine.expectedSHA256 = testing::sha256Of(work.file("Foo-2.0-mac.zip"));
    for (char& c : *genuine.expectedSHA256) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(service.install(genuine).installedVersion, "2.0");
}

// What can be known before a byte is written is checked first; what is unpacked and installed
// is bounded and must hold together alone.
TEST_F(GitHubInstallerServiceIntegrationTest, HostileReleasesAreStoppedBeforeTheyCostAnything) {
    // A link that stays in the unpacked folder but leaves the bundle: installed, it would
    // reach whatever lies beside the application.
    std::vector<Entry> escaping = bundleEntries("Foo.app", "2.0");
    escaping.push_back({"Foo.app/Contents/up", "", "../.."});
    GitHubInstallError link = failure(publish("Up.zip", escaping));
    EXPECT_EQ(link.kind(), GitHubInstallError::Kind::ExtractionFailed);
    EXPECT_NE(link.description().find("link leading outside the application"), std::string::npos) << link.description();
    EXPECT_FALSE(fs::exists(installed + "/Contents/up"));

    // Nothing can verify it here: refused before the download.
    const std::string url = publish("Foo-2.0.zip", bundleEntries("Foo.app", "2.0"));
    InstallTools withoutCodesign = fake.tools;
    withoutCodesign.codesign = work.file("codesign-absent");
    GitHubInstallerService blind{{&network, &runner, &privileged, withoutCodesign, temporary, {}}};
    EXPECT_EQ(testing::thrown<GitHubInstallError>([&] { blind.install(request(url)); }).value().description(),
              "Signature verification failed: Foo cannot be verified on this system: codesign is missing");
    EXPECT_EQ(server.requestCount("/owner/foo/releases/download/v2.0/Foo-2.0.zip"), 0u);
    EXPECT_TRUE(fs::is_empty(temporary));

    // The user's limit on downloads holds whatever the server sends.
    SystemNetworkClient::setDownloadLimit(1024);
    std::vector<Entry> large = bundleEntries("Foo.app", "2.0");
    std::string noise;
    for (int i = 0; i < 4096; ++i) noise += std::to_string(i * 7919 % 10007);
    large.push_back({"Foo.app/Contents/Resources/noise", noise});
    GitHubInstallError tooBig = failure(publish("Big.zip", large));
    SystemNetworkClient::setDownloadLimit(8ull << 30);
    EXPECT_EQ(tooBig.kind(), GitHubInstallError::Kind::DownloadFailed) << tooBig.description();
}

}  // namespace
}  // namespace vt
