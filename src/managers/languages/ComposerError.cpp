#include "managers/languages/ComposerError.hpp"

#include "base/Localization.hpp"

namespace vt {

ComposerError ComposerError::notInstalled() {
    return ComposerError(Kind::NotInstalled, localized("composer_not_installed"));
}

ComposerError ComposerError::invalidName(const std::string& name) {
    return ComposerError(Kind::InvalidName, localized("composer_invalid_name", {name}));
}

ComposerError ComposerError::commandFailed(const std::string& output) {
    return ComposerError(Kind::CommandFailed, localized("composer_command_failed", {output}));
}

ComposerError ComposerError::versionUnchanged(const std::string& name, const std::string& version) {
    return ComposerError(Kind::VersionUnchanged, localized("composer_version_unchanged", {name, version}));
}

}  // namespace vt
