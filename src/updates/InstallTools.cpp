#include "updates/InstallTools.hpp"

#include <cstdlib>

namespace vt {

namespace {

#ifdef VT_TEST_TOOLS
void override(std::string& tool, const char* variable) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/') tool = value;
}
#endif

}  // namespace

InstallTools InstallTools::fromEnvironment() {
    InstallTools tools;
#ifdef VT_TEST_TOOLS
    override(tools.codesign, "VANTREEL_TOOL_CODESIGN");
    override(tools.spctl, "VANTREEL_TOOL_SPCTL");
    override(tools.xattr, "VANTREEL_TOOL_XATTR");
    override(tools.hdiutil, "VANTREEL_TOOL_HDIUTIL");
#endif
    return tools;
}

}  // namespace vt
