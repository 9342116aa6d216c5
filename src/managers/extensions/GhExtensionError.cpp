#include "managers/extensions/GhExtensionError.hpp"

#include "base/Localization.hpp"

namespace vt {

GhExtensionError GhExtensionError::notInstalled() {
    return GhExtensionError(Kind::NotInstalled, localized("gh_extension.not_installed"));
}

GhExtensionError GhExtensionError::invalidName(const std::string& name) {
    return GhExtensionError(Kind::InvalidName, localized("gh_extension.invalid_name", {name}));
}

GhExtensionError GhExtensionError::pinned(const std::string& name) {
    return GhExtensionError(Kind::Pinned, localized("gh_extension.pinned", {name}));
}

GhExtensionError GhExtensionError::localExtension(const std::string& name) {
    return GhExtensionError(Kind::LocalExtension, localized("gh_extension.local", {name}));
}

GhExtensionError GhExtensionError::commandFailed(const std::string& output) {
    return GhExtensionError(Kind::CommandFailed, localized("gh_extension.command_failed", {output}));
}

GhExtensionError GhExtensionError::versionUnchanged(const std::string& name, const std::string& version) {
    return GhExtensionError(Kind::VersionUnchanged, localized("gh_extension.unchanged", {name, version}));
}

}  // namespace vt
