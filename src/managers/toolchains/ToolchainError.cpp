#include "managers/toolchains/ToolchainError.hpp"

#include "base/Localization.hpp"

namespace vt {

ToolchainError ToolchainError::notInstalled(const std::string& tool) {
    return ToolchainError(Kind::NotInstalled, localized("toolchain.not_installed", {tool}));
}

ToolchainError ToolchainError::invalidArgument(const std::string& tool, const std::string& value) {
    return ToolchainError(Kind::InvalidArgument, localized("toolchain.invalid_argument", {tool, value}));
}

ToolchainError ToolchainError::commandFailed(const std::string& text) {
    return ToolchainError(Kind::CommandFailed, text);
}

ToolchainError ToolchainError::versionUnchanged(const std::string& text) {
    return ToolchainError(Kind::VersionUnchanged, text);
}

ToolchainError ToolchainError::managedByDistribution(const std::string& tool) {
    return ToolchainError(Kind::ManagedByDistribution, localized("toolchain.managed_by_distribution", {tool}));
}

ToolchainError ToolchainError::administratorRequired(const std::string& text) {
    return ToolchainError(Kind::AdministratorRequired, text);
}

ToolchainError ToolchainError::repairFailed(const std::string& text) { return ToolchainError(Kind::RepairFailed, text); }

ToolchainError ToolchainError::notVerified(const std::string& text) { return ToolchainError(Kind::NotVerified, text); }

}  // namespace vt
