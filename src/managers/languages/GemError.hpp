#pragma once

#include <string>

#include "managers/AdapterError.hpp"

namespace vt {

enum class GemErrorKind {
    NotInstalled,      // no gem executable
    InvalidName,       // a name gem would misread; never run
    CommandFailed,     // gem exited with an error not recognised below
    PristineNeeded,    // native extensions need rebuilding ("gem.pristine_needed")
    RubyTooOld,        // no RubyGems release supports this Ruby ("gem.ruby_too_old")
    AdminFailed,       // the administrator run of a RubyGems update failed
    VersionUnchanged,  // gem succeeded, the installed version did not move
};

// The RubyGems adapter's own update failures; each description is the whole text shown.
class GemError : public AdapterError<GemErrorKind> {
public:
    static GemError notInstalled();
    static GemError invalidName(const std::string& name);
    static GemError commandFailed(const std::string& output);
    static GemError pristineNeeded(const std::string& name);
    static GemError rubyTooOld(const std::string& rubyVersion);
    static GemError adminFailed(int code, const std::string& command);
    static GemError versionUnchanged(const std::string& version);

private:
    using AdapterError::AdapterError;
};

}  // namespace vt
