#include "managers/python/CondaError.hpp"

#include "base/Localization.hpp"

namespace vt {

CondaError CondaError::binaryNotDetected() {
    return CondaError(Kind::BinaryNotDetected, localized("error.conda.binary_not_detected"));
}

CondaError CondaError::noEnvironment(const std::string& packageName) {
    return CondaError(Kind::NoEnvironment, localized("error.conda.no_environment", {packageName}));
}

CondaError CondaError::commandFailed(const std::string& detail) {
    return CondaError(Kind::CommandFailed, localized("error.conda.command_failed", {detail}));
}

}  // namespace vt
