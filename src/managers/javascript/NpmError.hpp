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
    static NpmError timeout(const std::string& name, int seconds);
    static NpmError nativePackageMissing(const std::string& name, const std::string& nativePackage);
    // installedVersion is absent when npm no longer lists the package.
    static NpmError verificationFailed(const std::string& name, const std::optional<std::string>& installedVersion,
                                       const std::string& expectedVersion);


    // "npm install -g NAME@latest", the command every update text quotes.
    static std::string installCommand(const std::string& name);

private:
    using AdapterError::AdapterError;
};

}  // namespace vt
