// The vendors' applications read from folder fixtures laid out as macOS installs them, and
// absent (no row, no error) where those folders are not.
#include "managers/vendors/VendorAppsManager.hpp"

#include <gtest/gtest.h>

#include "managers/BaseManager.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/TempDir.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

using Response = testing::FakeCommandRunner::Response;
using Vendor = VendorAppsManager::Vendor;

std::string infoPlist(const std::string& version) {
    return R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict><key>CFBundleIdentifier</key>)"
           R"(<string>com.example.app</string><key>CFBundleShortVersionString</key><string>)" + version +
           "</string></dict></plist>\n";
}

// The output of `softwareupdate -l --no-scan` with two Command Line Tools labels pending.
const char* kSoftwareUpdate = R"(Software Update Tool

Software Update found the following new or updated software:
* Label: Command Line Tools for Xcode-16.1
	Title: Command Line Tools for Xcode, Version: 16.1, Size: 751000KiB, Recommended: YES,
* Label: Command Line Tools for Xcode-16.2
	Title: Command Line Tools for Xcode, Version: 16.2, Size: 752000KiB, Recommended: YES,
* Label: macOS Sequoia 15.2-24C101
	Title: macOS Sequoia 15.2, Version: 15.2, Size: 3020000KiB, Recommended: YES, Action: restart,
)";

class VendorAppsManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        applications_.write("Xcode.app/Contents/Info.plist", infoPlist("16.1"));
        applications_.write("Xcode-beta.app/Contents/Info.plist", infoPlist("16.3"));
        applications_.write("Adobe Photoshop 2025/Adobe Photoshop 2025.app/Contents/Info.plist", infoPlist("26.2.0"));
        applications_.write("Adobe Photoshop 2025/Uninstall Adobe Photoshop 2025.app/Contents/Info.plist",
                            infoPlist("1"));
        applications_.write("Microsoft Word.app/Contents/Info.plist", infoPlist("16.92"));
        applications_.write("Microsoft Excel.app/Contents/Info.plist", "not a property list");
        applications_.write("Safari.app/Contents/Info.plist", infoPlist("18.2"));
        applications_.write("CommandLineTools/usr/bin/clang", "");
        runner_.on("/usr/sbin/pkgutil --pkg-info=com.apple.pkg.CLTools_Executables",
                   Response::output("package-id: com.apple.pkg.CLTools_Executables\nversion: 16.0.0.0.1.1724870825\n"
                                    "volume: /\nlocation: /\n"));
        runner_.on("/usr/sbin/softwareupdate -l --no-scan", Response::output(kSoftwareUpdate));
    }

    VendorAppsManager manager(Vendor vendor, const std::string& folder) {
        return VendorAppsManager(vendor, runner_, files_,
                                 {.applicationFolders = {folder}, .commandLineToolsFolder = folder + "/CommandLineTools"});
    }

    testing::TempDir applications_{"vt-vendor-apps"};
    testing::FakeCommandRunner runner_;
    SystemFileSystemManager files_;
};

TEST_F(VendorAppsManagerTest, ReadsEachVendorsBundlesAndTheToolsUpdateTheSystemOffers) {
    VendorAppsManager apple = manager(Vendor::AppleDeveloperTools, applications_.path());
    std::vector<Package> tools = apple.listInstalled({});
    ASSERT_EQ(tools.size(), 3u);
    EXPECT_EQ(tools[0].name, "Xcode-beta");
    EXPECT_EQ(tools[1].name, "Xcode");
    EXPECT_EQ(tools[1].version, "16.1");
    EXPECT_EQ(tools[2].name, "Command Line Tools");
    EXPECT_EQ(tools[2].version, "16.0.0.0.1.1724870825");
    EXPECT_TRUE(tools[2].requiresManualInstaller);
    std::vector<Package> outdated = apple.checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].latestVersion, "16.2") << "the newest of the labels offered";

    VendorAppsManager adobe = manager(Vendor::AdobeCreativeCloud, applications_.path());
    std::vector<Package> creative = adobe.listInstalled({});
    ASSERT_EQ(creative.size(), 1u) << "the uninstaller beside the application is not one";
    EXPECT_EQ(creative[0].name, "Adobe Photoshop 2025");
    EXPECT_EQ(creative[0].version, "26.2.0");
    EXPECT_TRUE(adobe.checkOutdated({}).empty());

    VendorAppsManager office = manager(Vendor::MicrosoftOffice, applications_.path());
    std::vector<Package> apps = office.listInstalled({});
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0].name, "Microsoft Excel");
    EXPECT_EQ(apps[0].version, "unknown") << "an unreadable bundle is listed without a version";
    EXPECT_EQ(apps[1].version, "16.92");
    // Only the vendor's updater updates them: the row says which, and nothing runs.
    const std::size_t before = runner_.history().size();
    EXPECT_THROW(office.update(apps[1], {}), PackageManualUpdateRequiredError);
    EXPECT_EQ(runner_.history().size(), before);

    for (Vendor vendor : {Vendor::AppleDeveloperTools, Vendor::AdobeCreativeCloud, Vendor::MicrosoftOffice}) {
        VendorAppsManager absent = manager(vendor, applications_.file("missing"));
        EXPECT_TRUE(absent.listInstalled({}).empty());
        EXPECT_TRUE(absent.checkOutdated({}).empty());
        EXPECT_FALSE(absent.errorMessage().has_value());
    }
}

}  // namespace
}  // namespace vt
