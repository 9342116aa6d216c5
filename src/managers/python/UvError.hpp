#pragma once

#include <string>

#include "managers/AdapterError.hpp"

namespace vt {

// The uv adapter's own update failures; each description is the whole text shown to the user.
enum class UvErrorKind {
    NotFound,          // no uv executable
    CommandFailed,     // uv exited with an error ("uv_command_failed")
    VersionUnchanged,  // uv succeeded but the installed version did not move
};

class UvError : public AdapterError<UvErrorKind> {
public:
    static UvError notFound();
    static UvError commandFailed(const std::string& detail);
    // target: the name and the version aimed at; current: the version still installed.
    static UvError versionUnchanged(const std::string& target, const std::string& current);

private:
    using AdapterError::AdapterError;
};

}  // namespace vt
