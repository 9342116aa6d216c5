#include "managers/languages/GoError.hpp"

#include "base/Localization.hpp"

namespace vt {

GoError GoError::notInstalled() { return GoError(Kind::NotInstalled, localized("go_not_installed")); }

GoError GoError::invalidModule(const std::string& name) {
    return GoError(Kind::InvalidModule, localized("go_invalid_module", {name}));
}

GoError GoError::develBuild(const std::string& name) {
    return GoError(Kind::DevelBuild, localized("go_devel_build", {name}));
}

GoError GoError::commandFailed(const std::string& output) {
    return GoError(Kind::CommandFailed, localized("go_command_failed", {output}));
}

GoError GoError::versionUnchanged(const std::string& name, const std::string& version) {
    return GoError(Kind::VersionUnchanged, localized("go.version_unchanged", {version, name}));
}

}  // namespace vt
