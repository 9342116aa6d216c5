#pragma once

#include <stdexcept>
#include <string>

namespace vt {

// The Yarn adapter's failures. A failure is shown with the stage it broke: "Erreur lors du
// scan: " or "Erreur lors de la mise à jour: " followed by the reason, which description()
// gives whole and reason() alone.
class YarnError : public std::runtime_error {
public:
    enum class Kind {
        NotFound,            // no yarn executable
        CommandFailed,       // yarn exited with an error
        InvalidPackageName,  // a name yarn would read as something else
        RegistryUnknown,     // neither npm nor Yarn says which registry they use
        VersionUnchanged,    // `yarn global upgrade` left the same version installed
        VersionStillLower,   // it installed something older than the expected version
    };
    enum class Stage { Scan, Update };

    static YarnError notFound(Stage stage);
    // The detail is what yarn printed; the reason is the localized "error.yarn.command_failed".
    static YarnError commandFailed(Stage stage, const std::string& detail);
    static YarnError invalidPackageName(const std::string& name);
    static YarnError registryUnknown();
    static YarnError versionUnchanged();
    static YarnError versionStillLower();

    Kind kind() const noexcept { return kind_; }
    Stage stage() const noexcept { return stage_; }
    const std::string& reason() const noexcept { return reason_; }
    std::string description() const { return what(); }

private:
    YarnError(Kind kind, Stage stage, std::string reason);
    Kind kind_;
    Stage stage_;
    std::string reason_;
};

}  // namespace vt
