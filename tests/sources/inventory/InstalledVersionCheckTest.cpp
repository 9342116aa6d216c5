#include "sources/inventory/InstalledVersionCheck.hpp"

#include <gtest/gtest.h>

#include "support/TempDir.hpp"

namespace vt {
namespace {

TEST(InstalledVersionCheckTest, OnlyANewerVersionOrBuildReplacesWhatIsInstalledNow) {
    struct Case {
        InstalledVersion installed;
        std::string offered;
        std::optional<std::string> offeredBuild;
        bool refused;
    };
    const std::vector<Case> cases = {
        {{"1.0", {}}, "1.1", {}, false},
        {{"1.2", {}}, "1.1", {}, true},
        {{"1.1", {}}, "1.1", {}, true},              // the same version is not an update
        {{"1.1", "100"}, "1.1", "101", false},       // a newer build of it is
        {{"1.1", "101"}, "1.1", "101", true},
        {{"1.1", "101"}, "1.1", std::nullopt, true},  // no build to tell it by
        {{"2.0", "5"}, "1.9", "900", true},           // the version decides before the build
        {{"", {}}, "1.1", {}, false},                 // nothing known to go back from
        {{"Unknown", "7"}, "1.1", "6", true},
    };
    for (const Case& c : cases) {
        std::optional<ReplacementRefusal> refusal = refusalToReplace("Foo", c.installed, c.offered, c.offeredBuild);
        EXPECT_EQ(refusal.has_value(), c.refused)
            << c.installed.version << " (" << c.installed.buildNumber.value_or("-") << ") → " << c.offered << " ("
            << c.offeredBuild.value_or("-") << ")";
    }

    // Read from the bundle on disk, and refused when the bundle has gone.
    testing::TempDir dir;
    dir.write("Foo.app/Contents/Info.plist",
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleShortVersionString</key><string>1.2"
              "</string><key>CFBundleVersion</key><string>34</string></dict></plist>");
    std::optional<ReplacementRefusal> newer = refusalToReplace("Foo", dir.file("Foo.app"), "1.1");
    ASSERT_TRUE(newer);
    EXPECT_EQ(newer->kind, ReplacementRefusal::Kind::NotNewer);
    EXPECT_EQ(newer->installedVersion, "1.2");
    EXPECT_EQ(newer->message, "Foo: 1.2 (34) is installed now and 1.1 is not newer; nothing was changed");
    EXPECT_FALSE(refusalToReplace("Foo", dir.file("Foo.app"), "1.3"));
    std::optional<ReplacementRefusal> gone = refusalToReplace("Foo", dir.file("Gone.app"), "1.3");
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->kind, ReplacementRefusal::Kind::NotInstalled);
    EXPECT_EQ(gone->message, "Foo is no longer installed; nothing was installed");
}

}  // namespace
}  // namespace vt
