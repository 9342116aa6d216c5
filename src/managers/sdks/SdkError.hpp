#pragma once

#include <string>

#include "managers/AdapterError.hpp"

namespace vt {

enum class SdkErrorKind {
    NotInstalled,      // the SDK's own tool is not here
    InvalidPackage,    // a package path the tool would misread; never run
    CommandFailed,     // the tool exited with an error
    VersionUnchanged,  // the tool succeeded, the package did not move
};

// The update failures of the Android SDK and Qt adapters, each naming its tool; each
// description is the whole text shown.
class SdkError : public AdapterError<SdkErrorKind> {
public:
    static SdkError notInstalled(const std::string& tool);
    static SdkError invalidPackage(const std::string& tool, const std::string& name);
    static SdkError commandFailed(const std::string& tool, const std::string& output);
    static SdkError versionUnchanged(const std::string& name, const std::string& version);

private:
    using AdapterError::AdapterError;
};

}  // namespace vt
