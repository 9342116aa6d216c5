#include "updates/InstallTools.hpp"

#include <cstdlib>

namespace vt {

namespace {

void override(std::string& tool, const char* variable) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/') tool = value;
}

}  // namespace

InstallTools InstallTools::fromEnvironment() {
    InstallTools tools;
    override(tools.codesign, "VANTREEL_TOOL_CODESIGN");
    override(tools.spctl, "VANTREEL_TOOL_SPCTL");
    override(tools.xattr, "VANTREEL_TOOL_XATTR");
    override(tools.hdiutil, "VANTREEL_TOOL_HDIUTIL");
    return tools;
}

}  // namespace vt
