#pragma once

#include <string>

namespace vt {

// Where the system tools the installers run live. One table, so that tests can put small
// scripts in their place; the installers never look a tool up in PATH.
struct InstallTools {
    std::string codesign = "/usr/bin/codesign";
    std::string spctl = "/usr/sbin/spctl";
    std::string xattr = "/usr/bin/xattr";
    std::string hdiutil = "/usr/bin/hdiutil";

    // The standard table. Only a build made for the tests (VT_TEST_TOOLS, which no release
    // build turns on) puts a tool named by an absolute path in VANTREEL_TOOL_CODESIGN,
    // VANTREEL_TOOL_SPCTL, VANTREEL_TOOL_XATTR or VANTREEL_TOOL_HDIUTIL in its place: in a
    // shipped program whoever sets the environment must not be able to turn verification off.
    static InstallTools fromEnvironment();
};

}  // namespace vt
