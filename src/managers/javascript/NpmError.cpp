#include "managers/javascript/NpmError.hpp"

#include "base/Localization.hpp"

namespace vt {

std::string NpmError::installCommand(const std::string& name, const std::string& tag) {
    return "npm install -g " + name + "@" + tag;
}

NpmError NpmError::notFound() { return NpmError(Kind::NotFound, localized("npm.error.not_found")); }

NpmError NpmError::invalidPackageName(const std::string& name) {
    return NpmError(Kind::InvalidPackageName, localized("npm.error.invalid_name", {name}));
}

NpmError NpmError::timeout(const std::string& name, int seconds, const std::string& tag) {
    return NpmError(Kind::Timeout, localized("npm.update.timeout", {name, std::to_string(seconds), installCommand(name, tag)}));
}

NpmError NpmError::nativePackageMissing(const std::string& name, const std::string& nativePackage,
                                        const std::string& tag) {
    return NpmError(Kind::NativePackageMissing,
                    localized("npm.update.native_missing", {name, nativePackage, installCommand(name, tag)}));
}

NpmError NpmError::verificationFailed(const std::string& name, const std::optional<std::string>& installedVersion,
                                      const std::string& expectedVersion, const std::string& tag) {
    const Kind kind = installedVersion ? Kind::WrongVersionAfterUpdate : Kind::NotInstalledAfterUpdate;
    std::string text = localized(installedVersion ? "npm.update.wrong_version" : "npm.update.not_listed");
    text += '\n';
    text += localized("npm.update.verification_detail",
                              {name, installedVersion.value_or(localized("npm.update.unknown_version")), expectedVersion,
                               installCommand(name, tag)});
    return NpmError(kind, text);
}

}  // namespace vt
