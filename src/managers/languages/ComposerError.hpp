#pragma once

#include <string>

#include "managers/AdapterError.hpp"

namespace vt {

enum class ComposerErrorKind {
    NotInstalled,      // no composer executable
    InvalidName,       // not a Composer package name; never run
    CommandFailed,     // composer exited with an error
    VersionUnchanged,  // composer succeeded, the package did not move (its constraint holds it)
};

// The Composer adapter's own update failures; each description is the whole text shown.
class ComposerError : public AdapterError<ComposerErrorKind> {
public:
    static ComposerError notInstalled();
    static ComposerError invalidName(const std::string& name);
    static ComposerError commandFailed(const std::string& output);
    static ComposerError versionUnchanged(const std::string& name, const std::string& version);

private:
    using AdapterError::AdapterError;
};

}  // namespace vt
