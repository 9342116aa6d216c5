#include "managers/javascript/YarnError.hpp"

#include "base/Localization.hpp"

namespace vt {

namespace {

std::string prefix(YarnError::Stage stage) {
    return localized(stage == YarnError::Stage::Scan ? "yarn.error.scan" : "yarn.error.update");
}

}  // namespace

YarnError::YarnError(Kind kind, Stage stage, std::string reason)
    : AdapterError(kind, prefix(stage) + reason), stage_(stage), reason_(std::move(reason)) {}

YarnError YarnError::notFound(Stage stage) {
    return YarnError(Kind::NotFound, stage, "Yarn not found");
}

YarnError YarnError::commandFailed(Stage stage, const std::string& detail) {
    return YarnError(Kind::CommandFailed, stage, localized("error.yarn.command_failed", {detail}));
}

YarnError YarnError::invalidPackageName(const std::string& name) {
    return YarnError(Kind::InvalidPackageName, Stage::Update, "Invalid Yarn package name: \"" + name + "\"");
}

YarnError YarnError::versionUnchanged() {
    return YarnError(Kind::VersionUnchanged, Stage::Update,
                     localized("yarn.error.version_unchanged"));
}

YarnError YarnError::versionStillLower() {
    return YarnError(Kind::VersionStillLower, Stage::Update,
                     localized("yarn.error.version_still_lower"));
}

}  // namespace vt
