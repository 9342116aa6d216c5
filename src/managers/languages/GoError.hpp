#pragma once

#include <string>

#include "managers/AdapterError.hpp"

namespace vt {

enum class GoErrorKind {
    NotInstalled,    // no go executable
    InvalidModule,   // no module metadata, or a path go would misread; never run
    DevelBuild,      // built from a checkout ("(devel)"): nothing to update to
    CommandFailed,   // go install exited with an error
    VersionUnchanged,  // go install succeeded, the binary did not move
};

// The Go adapter's own update failures; each description is the whole text shown.
class GoError : public AdapterError<GoErrorKind> {
public:
    static GoError notInstalled();
    static GoError invalidModule(const std::string& name);
    static GoError develBuild(const std::string& name);
    static GoError commandFailed(const std::string& output);
    static GoError versionUnchanged(const std::string& name, const std::string& version);

private:
    using AdapterError::AdapterError;
};

}  // namespace vt
