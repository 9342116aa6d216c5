#pragma once

#include <string>

#include "managers/AdapterError.hpp"

namespace vt {

enum class GhExtensionErrorKind {
    NotInstalled,      // no gh executable
    InvalidName,       // a name gh would misread; never run
    Pinned,            // the user pinned it: it is not upgraded
    LocalExtension,    // installed from a folder: there is nothing to upgrade from
    CommandFailed,     // gh extension upgrade failed
    VersionUnchanged,  // gh succeeded, the extension did not move
};

// The GitHub CLI extensions' update failures; each description is the whole text shown.
class GhExtensionError : public AdapterError<GhExtensionErrorKind> {
public:
    static GhExtensionError notInstalled();
    static GhExtensionError invalidName(const std::string& name);
    static GhExtensionError pinned(const std::string& name);
    static GhExtensionError localExtension(const std::string& name);
    static GhExtensionError commandFailed(const std::string& output);
    static GhExtensionError versionUnchanged(const std::string& name, const std::string& version);

private:
    using AdapterError::AdapterError;
};

}  // namespace vt
