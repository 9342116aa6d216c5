#pragma once

#include <string>

#include "managers/AdapterError.hpp"

namespace vt {

// The pip adapter's own update failures. Each description is the whole text shown to the
// user, in the user's language; the refusals say what to do instead.
enum class PipErrorKind {
    NoExecutableForUpdate,  // no environment with a pip holds the package any more
    ExternallyManaged,      // the operating system owns the environment (EXTERNALLY-MANAGED)
    IndexUnreachable,       // pip could not reach the package index, nothing was installed
    InvalidPackageName,     // not a Python project name: never handed to pip
};

class PipError : public AdapterError<PipErrorKind> {
public:
    static PipError noExecutableForUpdate(const std::string& name);
    static PipError externallyManaged(const std::string& name, const std::string& environment);
    static PipError indexUnreachable(const std::string& name);
    static PipError invalidPackageName(const std::string& name);

private:
    using AdapterError::AdapterError;
};

}  // namespace vt
