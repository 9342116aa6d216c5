#include "managers/sdks/SdkError.hpp"

#include "base/Localization.hpp"

namespace vt {

SdkError SdkError::notInstalled(const std::string& tool) {
    return SdkError(Kind::NotInstalled, localized("sdk.not_installed", {tool}));
}

SdkError SdkError::invalidPackage(const std::string& tool, const std::string& name) {
    return SdkError(Kind::InvalidPackage, localized("sdk.invalid_package", {tool, name}));
}

SdkError SdkError::commandFailed(const std::string& tool, const std::string& output) {
    return SdkError(Kind::CommandFailed, localized("sdk.command_failed", {tool, output}));
}

SdkError SdkError::versionUnchanged(const std::string& name, const std::string& version) {
    return SdkError(Kind::VersionUnchanged, localized("sdk.unchanged", {name, version}));
}

}  // namespace vt
