#include "managers/languages/CargoError.hpp"

#include "base/Localization.hpp"

namespace vt {

CargoError CargoError::notInstalled() { return CargoError(Kind::NotInstalled, localized("cargo_not_installed")); }

CargoError CargoError::invalidName(const std::string& name) {
    return CargoError(Kind::InvalidName, localized("cargo_invalid_name", {name}));
}

CargoError CargoError::commandFailed(const std::string& output) {
    return CargoError(Kind::CommandFailed, localized("cargo_command_failed", {output}));
}

CargoError CargoError::versionMismatch(const std::string& name, const std::string& installed,
                                       const std::string& expected) {
    return CargoError(Kind::VersionMismatch, localized("cargo_update_version_mismatch", {name, installed, expected}));
}

}  // namespace vt
