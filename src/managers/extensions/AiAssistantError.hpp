#pragma once

#include <string>

#include "managers/AdapterError.hpp"

namespace vt {

enum class AiAssistantErrorKind {
    NotInstalled,    // no assistant binary, and no clone to pull
    InvalidName,     // a plugin, marketplace or skill name the tool would misread; never run
    NotAClone,       // a skill or marketplace that is a plain folder: nothing to pull
    CommandFailed,   // the assistant's command or git failed
    VersionUnchanged,  // the command succeeded, the item did not move
};

// The update failures of the AI coding assistant's binary, plugins, marketplaces and skills;
// each description is the whole text shown.
class AiAssistantError : public AdapterError<AiAssistantErrorKind> {
public:
    static AiAssistantError notInstalled();
    static AiAssistantError invalidName(const std::string& name);
    static AiAssistantError notAClone(const std::string& name);
    static AiAssistantError commandFailed(const std::string& output);
    static AiAssistantError versionUnchanged(const std::string& name, const std::string& version);

private:
    using AdapterError::AdapterError;
};

}  // namespace vt
