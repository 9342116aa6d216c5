#include "managers/python/PipError.hpp"

#include "base/Localization.hpp"

namespace vt {

PipError PipError::noExecutableForUpdate(const std::string& name) {
    return PipError(Kind::NoExecutableForUpdate, localized("error.pip.no_executable_for_update", {name}));
}

PipError PipError::externallyManaged(const std::string& name, const std::string& environment) {
    return PipError(Kind::ExternallyManaged, localized("error.pip.externally_managed", {name, environment}));
}

PipError PipError::indexUnreachable(const std::string& name) {
    return PipError(Kind::IndexUnreachable, localized("error.pip.update_index_unreachable", {name}));
}

PipError PipError::invalidPackageName(const std::string& name) {
    return PipError(Kind::InvalidPackageName, localized("error.pip.invalid_package_name", {name}));
}

}  // namespace vt
