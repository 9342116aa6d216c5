#pragma once

#include <string>

#include "managers/AdapterError.hpp"

namespace vt {

enum class ToolchainErrorKind {
    NotInstalled,           // the tool is not here
    InvalidArgument,        // a name or a version that is not one; never run
    CommandFailed,          // the tool exited with an error
    VersionUnchanged,       // the tool succeeded, the version did not move
    ManagedByDistribution,  // the operating system's packages own it
    AdministratorRequired,  // no way to ask for administrator rights here
    RepairFailed,           // a broken repository could not be reset
    NotVerified,            // the update ran, its result could not be read back
};

// The update failures of the toolchain adapters; each description is the whole text shown.
class ToolchainError : public AdapterError<ToolchainErrorKind> {
public:
    static ToolchainError notInstalled(const std::string& tool);
    static ToolchainError invalidArgument(const std::string& tool, const std::string& value);
    static ToolchainError commandFailed(const std::string& text);
    static ToolchainError versionUnchanged(const std::string& text);
    static ToolchainError managedByDistribution(const std::string& tool);
    static ToolchainError administratorRequired(const std::string& text);
    static ToolchainError repairFailed(const std::string& text);
    static ToolchainError notVerified(const std::string& text);

private:
    using AdapterError::AdapterError;
};

}  // namespace vt
