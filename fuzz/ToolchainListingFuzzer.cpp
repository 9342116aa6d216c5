// The line and JSON readers of rustup, mise, Nix, MacPorts and tlmgr from arbitrary bytes:
// no crash, and no name that could reach a command as an option or as shell text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "managers/toolchains/MacPortsManager.hpp"
#include "managers/toolchains/MiseManager.hpp"
#include "managers/toolchains/NixManager.hpp"
#include "managers/toolchains/RustupManager.hpp"
#include "managers/toolchains/TlmgrManager.hpp"

namespace {

void requireSafe(const std::string& name) {
    if (!vt::ToolchainManager::isSafeArgument(name)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const std::string& name : vt::RustupManager::parseShow(text).toolchains) requireSafe(name);
    for (const auto& line : vt::RustupManager::parseCheck(text)) (void)vt::RustupManager::displayVersion(line.latest);
    (void)vt::RustupManager::parseSelfVersion(text);
    for (const auto& tool : vt::MiseManager::parseList(text)) requireSafe(tool.name);
    for (const auto& tool : vt::MiseManager::parseOutdated(text)) requireSafe(tool.name);
    for (const auto& derivation : vt::NixManager::parseQuery(text)) requireSafe(derivation.name);
    for (const auto& derivation : vt::NixManager::parseQueryJson(text)) requireSafe(derivation.name);
    for (const auto& upgrade : vt::NixManager::parseDryRun(text)) requireSafe(upgrade.from.name);
    for (const auto& port : vt::MacPortsManager::parseInstalled(text)) requireSafe(port.name);
    for (const auto& port : vt::MacPortsManager::parseOutdated(text)) requireSafe(port.name);
    (void)vt::MacPortsManager::parseVersion(text);
    for (const auto& package : vt::TlmgrManager::parseInstalled(text)) requireSafe(package.name);
    for (const auto& package : vt::TlmgrManager::parseUpdates(text)) {
        requireSafe(package.name);
        (void)vt::TlmgrManager::mentions(text, package.name);
    }
    return 0;
}
