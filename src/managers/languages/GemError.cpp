#include "managers/languages/GemError.hpp"

#include "base/Localization.hpp"

namespace vt {

GemError GemError::notInstalled() { return GemError(Kind::NotInstalled, localized("gem.not_installed")); }

GemError GemError::invalidName(const std::string& name) {
    return GemError(Kind::InvalidName, localized("gem.invalid_name", {name}));
}

GemError GemError::commandFailed(const std::string& output) {
    return GemError(Kind::CommandFailed, localized("gem.command_failed", {output}));
}

GemError GemError::pristineNeeded(const std::string& name) {
    return GemError(Kind::PristineNeeded, localized("gem.pristine_needed", {name, name}));
}

GemError GemError::rubyTooOld(const std::string& rubyVersion) {
    return GemError(Kind::RubyTooOld, localized("gem.ruby_too_old", {rubyVersion}));
}

GemError GemError::adminFailed(int code, const std::string& command) {
    return GemError(Kind::AdminFailed, localized("gem.admin_failed", {std::to_string(code), command}));
}

GemError GemError::versionUnchanged(const std::string& version) {
    return GemError(Kind::VersionUnchanged, localized("gem.version_unchanged", {version}));
}


}  // namespace vt
