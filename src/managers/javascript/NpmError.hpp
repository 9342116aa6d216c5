#pragma once

#include <optional>
#include <string>

#include "managers/AdapterError.hpp"

namespace vt {

// The npm adapter's own failures. Each case's description is the whole text shown to the
// user; the update texts are multi-line and French in every language, as npm users of this
// program have always read them.
enum class NpmErrorKind {
    NotFound,              // no npm executable
    InvalidPackageName,    // a name npm would read as something else (an option, a path)
    Timeout,               // the install ran out of time
    NativePackageMissing,  // a postinstall script wants a native package npm did not install
    NotInstalledAfterUpdate,
    WrongVersionAfterUpdate,
};

class NpmError : public AdapterError<NpmErrorKind> {
public:
    static NpmError notFound();
    static NpmError invalidPackageName(const std::string& name);
    // `tag` is what was installed: the version shown, or "latest".
    static NpmError timeout(const std::string& name, int seconds, const std::string& tag = "latest");
    static NpmError nativePackageMissing(const std::string& name, const std::string& nativePackage,
                                         const std::string& tag = "latest");
    // installedVersion is absent when npm no longer lists the package.
    static NpmError verificationFailed(const std::string& name, const std::optional<std::string>& installedVersion,
                                       const std::string& expectedVersion, const std::string& tag = "latest");

    // "npm install -g NAME@TAG", the command every update text quotes.
    static std::string installCommand(const std::string& name, const std::string& tag = "latest");

private:
    using AdapterError::AdapterError;
};

}  // namespace vt
