#include "updates/DirectDownloadInstaller.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "base/Log.hpp"
#include "support/FakePrivilegedOperations.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "system/CommandRunner.hpp"
#include "updates/DirectDownloadError.hpp"
#include "updates/FakeSigningTools.hpp"

namespace vt {
namespace {

namespace fs = std::filesystem;
using test::FakePrivilegedOperations;
using test::FakeSigningTools;

std::string versionAt(const std::string& bundle) {
    std::ifstream in(bundle + "/Contents/MacOS/Foo");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    return text.substr(text.find("echo ") + 5, text.find('\n', text.find("echo ")) - text.find("echo ") - 5);
}

std::optional<std::string> failure(DirectDownloadInstaller& installer, const std::string& source,
                                   const std::string& destination) {
    try {
        // As the GitHub installer does it: the signature first, then the replacement.
        installer.verifier().verify(source, "Foo", destination);
        installer.replace(source, destination, "Foo", "2.0");
        return std::nullopt;
    } catch (const DirectDownloadError& error) {
        return error.message();
    }
}

class DirectDownloadInstallerTest : public ::testing::Test {
protected:
    testing::TempDir home;
    testing::ScopedHome homeVariable{home.path()};
    FakeSigningTools fake;
    CommandRunner runner;
    FakePrivilegedOperations privileged;
    DirectDownloadInstaller installer{{&runner, &privileged, fake.tools, {}}};
    std::string destination = FakeSigningTools::makeBundle(home.path() + "/Applications/Foo.app", "1.0", "10");
    std::string source = FakeSigningTools::makeBundle(home.path() + "/download/Foo.app", "2.0", "20");
};

TEST_F(DirectDownloadInstallerTest, ReplacesThroughTheHelperOrAsTheUser) {
    privileged.helperAnswers = true;
    EXPECT_EQ(failure(installer, source, destination), std::nullopt);
    EXPECT_EQ(versionAt(destination), "2.0");
    EXPECT_EQ(privileged.calls, std::vector<std::string>{"helperReplaceApp"});

    privileged.helperAnswers = false;
    fs::remove_all(destination + ".backup");
    FakeSigningTools::makeBundle(destination, "1.0", "10");
    LogCapture log;
    EXPECT_EQ(failure(installer, source, destination), std::nullopt);
    EXPECT_EQ(versionAt(destination), "2.0");
    EXPECT_TRUE(log.contains("The helper cannot replace the application (privileged helper not installed); trying a direct copy"));
    EXPECT_FALSE(fs::exists(destination + ".backup")) << "a verified install keeps no backup";
    EXPECT_NE(fake.calls().find("xattr -dr com.apple.quarantine " + destination), std::string::npos);
}

TEST_F(DirectDownloadInstallerTest, EveryAuthorizationOutcomeLeavesTheInstalledBundleBesideItsBackup) {
    // Something no copy can take (a pipe) makes the copy as the user fail, even as root.
    ASSERT_EQ(::mkfifo((source + "/Contents/pipe").c_str(), 0644), 0);
    struct Case {
        FakePrivilegedOperations::Prompt prompt;
        std::string message;
        std::string log;
    };
    const std::vector<Case> cases = {
        {FakePrivilegedOperations::Prompt::Deny, "The installation was cancelled by the user.",
         "The user cancelled the authorization"},
        {FakePrivilegedOperations::Prompt::Fail, "Installation with privileges failed: ", "Authorization failed: "},
        {FakePrivilegedOperations::Prompt::Unavailable, "Cannot copy to " + destination + ": ",
         "Copy failed and no administrator authorization is available"},
    };
    for (const Case& c : cases) {
        privileged.prompt = c.prompt;
        fs::remove_all(destination + ".backup");
        LogCapture log;
        std::optional<std::string> message = failure(installer, source, destination);
        ASSERT_TRUE(message);
        EXPECT_EQ(message->substr(0, c.message.size()), c.message);
        EXPECT_TRUE(log.contains(c.log)) << c.message;
        EXPECT_TRUE(log.contains("Copy failed without administrator rights: ")) << c.message;
        EXPECT_EQ(versionAt(destination), "1.0") << c.message;
        EXPECT_EQ(versionAt(destination + ".backup"), "1.0") << c.message;
        EXPECT_FALSE(fs::exists(destination + "/Contents/pipe"));
    }
    ASSERT_GE(privileged.calls.size(), 2u);
    EXPECT_EQ(privileged.calls[1], "replace " + source + " -> " + destination);
}

TEST_F(DirectDownloadInstallerTest, ChecksumOfAMissingFileAndTheStandardLocations) {
    EXPECT_THROW(DirectDownloadInstaller::verifyChecksum(home.path() + "/missing.zip", std::string(64, '0')),
                 DirectDownloadError);

    for (const char* standard : {"/Applications/Foo.app", "/Applications/Utilities/Foo.app", "/Users/ann/Applications/Foo.app"})
        EXPECT_TRUE(DirectDownloadInstaller::isInStandardLocation(standard)) << standard;
    EXPECT_TRUE(DirectDownloadInstaller::isInStandardLocation(destination));
    for (const char* elsewhere : {"/Applications/Games/Foo.app", "/Users/ann/Desktop/Foo.app", "/opt/Foo.app",
                                  "/Users/Applications/Foo.app"})
        EXPECT_FALSE(DirectDownloadInstaller::isInStandardLocation(elsewhere)) << elsewhere;
}

}  // namespace
}  // namespace vt
