#pragma once

#include <string>

#include "managers/AdapterError.hpp"

namespace vt {

enum class IDEExtensionErrorKind {
    CliNotFound,          // the editor's command-line tool is not installed
    InvalidIdentifier,    // not "publisher.name"; never run nor looked up
    InstallFailed,        // the tool failed, or said so with exit status 0
    VersionUnavailable,   // Cursor: no version known to pin
    TargetNotReached,     // installed, but another version than the one wanted
    Missing,              // the extension is gone from the list after the attempt
    VerificationFailed,   // the list could not be read after the attempt
};

// The editor adapters' own update failures; each description is the whole text shown.
class IDEExtensionError : public AdapterError<IDEExtensionErrorKind> {
public:
    static IDEExtensionError cliNotFound(const std::string& editor, const std::string& tool);
    static IDEExtensionError invalidIdentifier(const std::string& identifier);
    static IDEExtensionError installFailed(const std::string& editor, const std::string& identifier,
                                           const std::string& output);
    static IDEExtensionError cursorVersionUnavailable(const std::string& identifier);
    static IDEExtensionError cursorUpdateFailed(const std::string& identifier, const std::string& version,
                                                const std::string& output);
    static IDEExtensionError targetNotReached(const std::string& identifier, const std::string& installed,
                                              const std::string& target);
    static IDEExtensionError missing();
    static IDEExtensionError verificationFailed(const std::string& detail);

private:
    using AdapterError::AdapterError;
};

}  // namespace vt
