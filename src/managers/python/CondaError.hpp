#pragma once

#include <string>

#include "managers/AdapterError.hpp"

namespace vt {

// The conda adapter's own failures, each with the localized text of its "error.conda.*" key.
enum class CondaErrorKind {
    BinaryNotDetected,  // no conda, mamba or micromamba
    NoEnvironment,      // the package names no environment that exists
    CommandFailed,      // conda exited with an error
};

class CondaError : public AdapterError<CondaErrorKind> {
public:
    static CondaError binaryNotDetected();
    static CondaError noEnvironment(const std::string& packageName);
    static CondaError commandFailed(const std::string& detail);

private:
    using AdapterError::AdapterError;
};

}  // namespace vt
