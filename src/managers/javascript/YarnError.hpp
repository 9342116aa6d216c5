#pragma once

#include <string>

#include "managers/AdapterError.hpp"

namespace vt {

// The Yarn adapter's failures. A failure is shown with the stage it broke ("Error during
// the scan: " or "Error during the update: ", localized) followed by the reason, which
// description() gives whole and reason() alone.
enum class YarnErrorKind {
    NotFound,            // no yarn executable
    CommandFailed,       // yarn exited with an error
    InvalidPackageName,  // a name yarn would read as something else
    VersionUnchanged,    // `yarn global upgrade` left the same version installed
    VersionStillLower,   // it installed something older than the expected version
};

class YarnError : public AdapterError<YarnErrorKind> {
public:
    enum class Stage { Scan, Update };

    static YarnError notFound(Stage stage);
    // The detail is what yarn printed; the reason is the localized "error.yarn.command_failed".
    static YarnError commandFailed(Stage stage, const std::string& detail);
    static YarnError invalidPackageName(const std::string& name);
    static YarnError versionUnchanged();
    static YarnError versionStillLower();

    Stage stage() const noexcept { return stage_; }
    const std::string& reason() const noexcept { return reason_; }

private:
    YarnError(Kind kind, Stage stage, std::string reason);
    Stage stage_;
    std::string reason_;
};

}  // namespace vt
