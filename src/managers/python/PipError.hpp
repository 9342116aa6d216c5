#pragma once

#include <stdexcept>
#include <string>

namespace vt {

// The pip adapter's own update failures. Each description is the whole text shown to the
// user, in the user's language; the refusals say what to do instead.
class PipError : public std::runtime_error {
public:
    enum class Kind {
        NoExecutableForUpdate,  // no environment with a pip holds the package any more
        ExternallyManaged,      // the operating system owns the environment (EXTERNALLY-MANAGED)
        IndexUnreachable,       // pip could not reach the package index, nothing was installed
        InvalidPackageName,     // not a Python project name: never handed to pip
    };

    static PipError noExecutableForUpdate(const std::string& name);
    static PipError externallyManaged(const std::string& name, const std::string& environment);
    static PipError indexUnreachable(const std::string& name);
    static PipError invalidPackageName(const std::string& name);

    Kind kind() const noexcept { return kind_; }
    std::string description() const { return what(); }

private:
    PipError(Kind kind, const std::string& description);
    Kind kind_;
};

}  // namespace vt
