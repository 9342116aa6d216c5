#include "managers/extensions/AiAssistantError.hpp"

#include "base/Localization.hpp"

namespace vt {

AiAssistantError AiAssistantError::notInstalled() {
    return AiAssistantError(Kind::NotInstalled, localized("ai.not_installed"));
}

AiAssistantError AiAssistantError::invalidName(const std::string& name) {
    return AiAssistantError(Kind::InvalidName, localized("ai.invalid_name", {name}));
}

AiAssistantError AiAssistantError::notAClone(const std::string& name) {
    return AiAssistantError(Kind::NotAClone, localized("ai.not_a_clone", {name}));
}

AiAssistantError AiAssistantError::commandFailed(const std::string& output) {
    return AiAssistantError(Kind::CommandFailed, localized("ai.command_failed", {output}));
}

AiAssistantError AiAssistantError::versionUnchanged(const std::string& name, const std::string& version) {
    return AiAssistantError(Kind::VersionUnchanged, localized("ai.unchanged", {name, version}));
}

}  // namespace vt
