#include "managers/editors/IDEExtensionError.hpp"

#include "base/Localization.hpp"

namespace vt {

IDEExtensionError IDEExtensionError::cliNotFound(const std::string& editor, const std::string& tool) {
    return IDEExtensionError(Kind::CliNotFound, localized("error.ide.cli_not_found", {editor, tool}));
}

IDEExtensionError IDEExtensionError::invalidIdentifier(const std::string& identifier) {
    return IDEExtensionError(Kind::InvalidIdentifier, localized("error.ide.invalid_identifier", {identifier}));
}

IDEExtensionError IDEExtensionError::installFailed(const std::string& editor, const std::string& identifier,
                                                   const std::string& output) {
    return IDEExtensionError(Kind::InstallFailed, localized("error.ide.install_failed", {editor, identifier, output}));
}

IDEExtensionError IDEExtensionError::cursorVersionUnavailable(const std::string& identifier) {
    return IDEExtensionError(Kind::VersionUnavailable, localized("error.cursor.version_unavailable", {identifier}));
}

IDEExtensionError IDEExtensionError::cursorUpdateFailed(const std::string& identifier, const std::string& version,
                                                        const std::string& output) {
    return IDEExtensionError(Kind::InstallFailed,
                             localized("error.cursor.update_failed", {identifier, version, output}));
}

IDEExtensionError IDEExtensionError::targetNotReached(const std::string& identifier, const std::string& installed,
                                                      const std::string& target) {
    return IDEExtensionError(Kind::TargetNotReached,
                             localized("error.ide.target_not_reached", {identifier, installed, target}));
}

IDEExtensionError IDEExtensionError::missing() {
    return IDEExtensionError(Kind::Missing, localized("error.ide.missing_after_update"));
}

IDEExtensionError IDEExtensionError::verificationFailed(const std::string& detail) {
    return IDEExtensionError(Kind::VerificationFailed, localized("error.ide.verification_failed", {detail}));
}

}  // namespace vt
