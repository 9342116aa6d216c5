#include "updates/AppInstallSecurityVerifier.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "base/Log.hpp"
#include "support/TempDir.hpp"
#include "system/CommandRunner.hpp"
#include "updates/DirectDownloadError.hpp"
#include "updates/FakeSigningTools.hpp"

namespace vt {
namespace {

using test::FakeSigningTools;

// The refusal's message, or nothing when the bundle was accepted.
std::optional<std::string> verdict(const AppInstallSecurityVerifier& verifier, const std::string& downloaded,
                                   const std::optional<std::string>& installed) {
    try {
        verifier.verify(downloaded, "Foo", installed);
        return std::nullopt;
    } catch (const DirectDownloadError& error) {
        EXPECT_EQ(error.kind(), DirectDownloadError::Kind::InstallFailed);
        return error.message();
    }
}

TEST(AppInstallSecurityVerifierTest, ReadsTheTeamFromTheSignature) {
    EXPECT_EQ(AppInstallSecurityVerifier::parseTeamID("Executable=/x\n  TeamIdentifier= ABCDE12345 \nSealed"),
              "ABCDE12345");
    for (const char* absent : {"TeamIdentifier=not set", "TeamIdentifier=(unavailable)", "TeamIdentifier=  ",
                               "Identifier=org.example", "XTeamIdentifier=ABC"})
        EXPECT_EQ(AppInstallSecurityVerifier::parseTeamID(absent), std::nullopt) << absent;
}

TEST(AppInstallSecurityVerifierTest, FollowsEveryRowOfTheDecisionTable) {
    testing::TempDir dir;
    FakeSigningTools fake;
    CommandRunner runner;
    AppInstallSecurityVerifier verifier(runner, fake.tools);
    struct Row {
        int signature;              // codesign --verify exit status
        std::string signatureText;  // what it prints
        int gatekeeper;
        std::string downloadedTeam;  // "" absent
        std::optional<std::string> installedTeam;  // nullopt: nothing installed
        std::optional<std::string> refusal;
        bool logsGatekeeperOverride = false;
    };
    const std::vector<Row> rows = {
        {1, "a sealed resource is missing or invalid", 0, "T1", std::nullopt,
         "Invalid code signature for Foo: a sealed resource is missing or invalid"},
        {3, "", 0, "T1", std::nullopt, "Invalid code signature for Foo: exit status 3"},
        {0, "", 0, "", std::nullopt, std::nullopt},
        {0, "", 0, "T1", "not set", std::nullopt},  // an ad-hoc install never blocks on its team
        {0, "", 0, "T1", "T1", std::nullopt},
        {0, "", 0, "T2", "T1", "Different Team ID for Foo. Installed: T1, downloaded: T2. Installation blocked."},
        {0, "", 0, "", "T1", "Different Team ID for Foo. Installed: T1, downloaded: none. Installation blocked."},
        {0, "", 3, "T1", std::nullopt, std::nullopt, true},  // notarisation refused, a team vouches
        {0, "", 3, "T1", "(unavailable)", std::nullopt, true},
        {0, "", 3, "T1", "T1", std::nullopt, true},
        {0, "", 3, "T2", "T1", "Different Team ID for Foo. Installed: T1, downloaded: T2. Installation blocked.", true},
        {0, "", 3, "", std::nullopt, "Gatekeeper refuses this application for Foo: rejected source=Unnotarized"},
        {0, "", 3, "not set", "T1", "Gatekeeper refuses this application for Foo: rejected source=Unnotarized"},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        std::string downloaded = FakeSigningTools::makeBundle(dir.path() + "/new" + std::to_string(i) + "/Foo.app", "2.0");
        FakeSigningTools::answer(downloaded, "codesign-verify", row.signature, row.signatureText);
        FakeSigningTools::answer(downloaded, "spctl", row.gatekeeper,
                                 row.gatekeeper != 0 ? "rejected source=Unnotarized" : "");
        if (!row.downloadedTeam.empty()) FakeSigningTools::team(downloaded, row.downloadedTeam);
        std::optional<std::string> installed;
        if (row.installedTeam) {
            installed = FakeSigningTools::makeBundle(dir.path() + "/old" + std::to_string(i) + "/Foo.app", "1.0");
            FakeSigningTools::team(*installed, *row.installedTeam);
        }
        LogCapture log;
        std::string before = fake.calls();
        EXPECT_EQ(verdict(verifier, downloaded, installed), row.refusal) << "row " << i;
        EXPECT_EQ(log.contains("Gatekeeper rejected Foo.app but the strict code signature check passed with Team ID " + row.downloadedTeam),
                  row.logsGatekeeperOverride)
            << "row " << i;
        std::string calls = fake.calls().substr(before.size());
        if (row.signature != 0) {
            EXPECT_EQ(calls.find("spctl"), std::string::npos) << "Gatekeeper is not asked";
        } else {
            EXPECT_NE(calls.find("xattr -dr com.apple.quarantine " + downloaded), std::string::npos);
        }
    }
    EXPECT_NE(fake.calls().find("codesign --verify --deep --strict "), std::string::npos);
    EXPECT_NE(fake.calls().find("spctl --assess --type execute --verbose=4 "), std::string::npos);
    EXPECT_NE(fake.calls().find("codesign -dv --verbose=2 "), std::string::npos);

    // No codesign on this system: nothing can be verified, so nothing is installed.
    InstallTools missing = fake.tools;
    missing.codesign = dir.file("no-codesign");
    std::string any = FakeSigningTools::makeBundle(dir.path() + "/any/Foo.app", "2.0");
    EXPECT_EQ(verdict(AppInstallSecurityVerifier(runner, missing), any, std::nullopt),
              "Foo cannot be verified on this system: codesign is missing");
}

}  // namespace
}  // namespace vt
