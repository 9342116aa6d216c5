// The Android SDK through its sdkmanager and Qt through its MaintenanceTool, both over
// recorded outputs: listing, updates, the update's arguments, names refused before any command.
#include <gtest/gtest.h>

#include "managers/sdks/AndroidSdkManager.hpp"
#include "managers/sdks/QtManager.hpp"
#include "managers/sdks/SdkError.hpp"
#include "support/Thrown.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/Fixtures.hpp"
#include "support/RecordingFileSystem.hpp"

namespace vt {
namespace {

using Response = testing::FakeCommandRunner::Response;

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

const std::string kSdk = "/home/dev/Android/Sdk";
const std::string kSdkManager = kSdk + "/cmdline-tools/latest/bin/sdkmanager";
const std::string kRootArgument = " --sdk_root=" + kSdk;

struct AndroidFixture {
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    AndroidSdkManager manager{runner, files, {.environment = {{"ANDROID_HOME", kSdk}}, .home = "/home/dev"}};

    AndroidFixture() { files.addExecutable(kSdkManager); }
};

Package sdkPackage(const std::string& name, const std::string& version, const std::string& latest) {
    return {.name = name, .version = version, .type = PackageType::AndroidSDKPackage, .latestVersion = latest};
}

TEST(AndroidSdkManagerTest, ListsInstalledPackagesAndTheUpdatesSdkmanagerComputes) {
    AndroidFixture f;
    f.runner.on(kSdkManager + " --list_installed" + kRootArgument,
                Response::output(testing::fixture("sdkmanager", "list_installed.txt")));
    f.runner.on(kSdkManager + " --list" + kRootArgument, Response::output(testing::fixture("sdkmanager", "list.txt")));
    std::vector<Package> installed = f.manager.listInstalled({});
    ASSERT_EQ(installed.size(), 4u);
    EXPECT_EQ(installed[0].name, "build-tools;34.0.0");
    EXPECT_EQ(installed[0].description, "Android SDK Build-Tools 34");
    EXPECT_EQ(installed[3].name, "platforms;android-34");
    EXPECT_EQ(installed[3].version, "2");

    std::vector<Package> outdated = f.manager.checkOutdated({});
    ASSERT_EQ(outdated.size(), 2u) << "the available packages not installed are not updates";
    EXPECT_EQ(outdated[0].name, "emulator");
    EXPECT_EQ(outdated[0].version, "34.1.19");
    EXPECT_EQ(outdated[0].latestVersion, "35.2.10");
    EXPECT_EQ(outdated[1].name, "platform-tools");
    EXPECT_FALSE(f.manager.errorMessage().has_value());

    // An SDK with nothing installed, and an sdkmanager that fails (no Java, say).
    AndroidFixture empty;
    empty.runner.on(kSdkManager + " --list_installed" + kRootArgument, Response::output("Installed packages:\n"));
    EXPECT_TRUE(empty.manager.listInstalled({}).empty());
    AndroidFixture broken;
    broken.runner.on(kSdkManager + " --list_installed" + kRootArgument,
                     Response::failure(1, "ERROR: JAVA_HOME is not set and no 'java' command could be found\n"));
    EXPECT_TRUE(broken.manager.listInstalled({}).empty());
    EXPECT_NE(broken.manager.errorMessage().value_or("").find("JAVA_HOME"), std::string::npos);
}

TEST(AndroidSdkManagerTest, InstallsThePathAndFailsWhenItDidNotMove) {
    AndroidFixture f;
    const std::string after = testing::fixture("sdkmanager", "list_installed.txt");
    f.runner.onSequence(kSdkManager + " --list_installed" + kRootArgument,
                        {Response::output(replaced(after, "| 34.0.5 ", "| 35.0.2 ")), Response::output(after)});
    f.runner.on(kSdkManager + " --install platform-tools" + kRootArgument, Response::output("done\n"));
    f.manager.update(sdkPackage("platform-tools", "34.0.5", "35.0.2"), {});
    EXPECT_TRUE(f.runner.ran(kSdkManager + " --install platform-tools" + kRootArgument));

    EXPECT_EQ(testing::thrown<SdkError>([&] { f.manager.update(sdkPackage("platform-tools", "34.0.5", "35.0.2"), {}); })
                  .value().kind(),
              SdkErrorKind::VersionUnchanged);

    // A licence not accepted: sdkmanager's own words, and nothing accepted for the user.
    f.runner.on(kSdkManager + " --install emulator" + kRootArgument,
                Response::failure(1, "", "Licence for package Android Emulator not accepted.\n"));
    const auto licence = testing::thrown<SdkError>([&] { f.manager.update(sdkPackage("emulator", "34.1.19", "35.2.10"), {}); });
    EXPECT_EQ(licence.value().kind(), SdkErrorKind::CommandFailed);
    EXPECT_NE(licence->description().find("not accepted"), std::string::npos);

    const std::size_t before = f.runner.history().size();
    for (const char* hostile : {"--licenses", "platforms;android-34 --channel=3", "../tools", ";", "a$(id)"}) {
        EXPECT_THROW(f.manager.update(sdkPackage(hostile, "1", "2"), {}), SdkError) << hostile;
    }
    EXPECT_EQ(f.runner.history().size(), before);
}

const std::string kQtRoot = "/home/dev/Qt";
const std::string kMaintenanceTool = kQtRoot + "/MaintenanceTool";

// The shape of MaintenanceTool's answers (Qt Installer Framework 4.x): its log lines, then
// the XML it prints for `list` and `check-updates`.
const std::string kQtList = R"(IFW Version: 4.7.0, built with Qt 6.6.1.
[0] Loaded control script ""
<availablepackages>
    <package name="qt.qt6.680.gcc_64" displayname="Desktop gcc 64-bit" version="6.8.0-0-202410030941"/>
    <package name="qt.tools.qtcreator_gui" displayname="Qt Creator 14.0.2" version="14.0.2-0-202409300809"/>
    <package name="qt.tools.cmake" displayname="CMake 3.29.3" version="3.29.3-202405200712"/>
</availablepackages>
)";
const std::string kQtUpdates = R"(IFW Version: 4.7.0, built with Qt 6.6.1.
<updates>
    <update name="qt.tools.qtcreator_gui" displayname="Qt Creator 15.0.0 &amp; more" version="15.0.0-0-202411270903" size="1.2 GB"/>
    <update name="--dangerous" version="1"/>
</updates>
)";

TEST(QtManagerTest, ListsComponentsOffersUpdatesAndUpdatesOneByName) {
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    files.addExecutable(kMaintenanceTool);
    QtManager qt(runner, files, {.home = "/home/dev"});
    runner.on(kMaintenanceTool + " list", Response::output(kQtList));
    runner.on(kMaintenanceTool + " check-updates", Response::output(kQtUpdates));
    std::vector<Package> installed = qt.listInstalled({});
    ASSERT_EQ(installed.size(), 3u);
    EXPECT_EQ(installed[0].name, "qt.qt6.680.gcc_64");
    EXPECT_EQ(installed[0].description, "Desktop gcc 64-bit");
    std::vector<Package> outdated = qt.checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u) << "a name the tool would read as an option is not a component";
    EXPECT_EQ(outdated[0].name, "qt.tools.qtcreator_gui");
    EXPECT_EQ(outdated[0].version, "14.0.2-0-202409300809");
    EXPECT_EQ(outdated[0].latestVersion, "15.0.0-0-202411270903");
    EXPECT_EQ(outdated[0].description, "Qt Creator 14.0.2") << "the installed component's own row";
    EXPECT_EQ(QtManager::parseComponents(kQtUpdates, "update").front().displayName, "Qt Creator 15.0.0 & more");

    const std::string update = kMaintenanceTool + " --default-answer --confirm-command update qt.tools.qtcreator_gui";
    runner.on(update, Response::output(""));
    runner.on(kMaintenanceTool + " list",
              Response::output(replaced(kQtList, "14.0.2-0-202409300809", "15.0.0-0-202411270903")));
    qt.update(outdated[0], {});
    EXPECT_TRUE(runner.ran(update));

    const std::size_t before = runner.history().size();
    Package hostile = outdated[0];
    for (const char* name : {"--accept-licenses", "qt tools", "qt/../x", ""}) {
        hostile.name = name;
        EXPECT_THROW(qt.update(hostile, {}), SdkError) << name;
    }
    EXPECT_EQ(runner.history().size(), before);

    // No installation: no row and no error.
    testing::FakeCommandRunner none;
    testing::RecordingFileSystem nothing;
    QtManager absent(none, nothing, {.home = "/home/dev"});
    EXPECT_TRUE(absent.listInstalled({}).empty());
    EXPECT_FALSE(absent.errorMessage().has_value());
}

}  // namespace
}  // namespace vt
