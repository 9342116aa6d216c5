#pragma once

#include <string>

#include "managers/AdapterError.hpp"

namespace vt {

enum class CargoErrorKind {
    NotInstalled,     // no cargo executable ("cargo_not_installed")
    InvalidName,      // a crate name cargo would misread, never run
    CommandFailed,    // cargo exited with an error ("cargo_command_failed")
    VersionMismatch,  // cargo succeeded, the crate is not at the expected version
};

// The Cargo adapter's own update failures; each description is the whole text shown.
class CargoError : public AdapterError<CargoErrorKind> {
public:
    static CargoError notInstalled();
    static CargoError invalidName(const std::string& name);
    static CargoError commandFailed(const std::string& output);
    static CargoError versionMismatch(const std::string& name, const std::string& installed,
                                      const std::string& expected);

private:
    using AdapterError::AdapterError;
};

}  // namespace vt
