// InstallTools.cpp compiled as every build for users compiles it (without VT_TEST_TOOLS):
// whatever the environment says, the installers run the system's own signing and
// disk-image tools. Built on its own, so that the test build's overrides cannot answer.
#include <gtest/gtest.h>

#include <cstdlib>

#include "updates/InstallTools.hpp"

namespace vt {
namespace {

TEST(InstallToolsReleaseTest, TheEnvironmentCannotReplaceTheSigningTools) {
    for (const char* variable : {"VANTREEL_TOOL_CODESIGN", "VANTREEL_TOOL_SPCTL", "VANTREEL_TOOL_XATTR",
                                 "VANTREEL_TOOL_HDIUTIL"}) {
        ASSERT_EQ(::setenv(variable, "/bin/true", 1), 0);
    }
    const InstallTools tools = InstallTools::fromEnvironment();
    EXPECT_EQ(tools.codesign, "/usr/bin/codesign");
    EXPECT_EQ(tools.spctl, "/usr/sbin/spctl");
    EXPECT_EQ(tools.xattr, "/usr/bin/xattr");
    EXPECT_EQ(tools.hdiutil, "/usr/bin/hdiutil");
}

}  // namespace
}  // namespace vt
