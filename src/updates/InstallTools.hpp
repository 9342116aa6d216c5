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
};

}  // namespace vt
