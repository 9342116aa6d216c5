#pragma once

#include <stdexcept>
#include <string>

namespace vt {

// The uv adapter's own update failures; each description is the whole text shown to the user.
class UvError : public std::runtime_error {
public:
    enum class Kind {
        NotFound,          // no uv executable
        CommandFailed,     // uv exited with an error ("uv_command_failed")
        VersionUnchanged,  // uv succeeded but the installed version did not move
    };

    static UvError notFound();
    static UvError commandFailed(const std::string& detail);
    // target: the name and the version aimed at; current: the version still installed.
    static UvError versionUnchanged(const std::string& target, const std::string& current);

    Kind kind() const noexcept { return kind_; }
    std::string description() const { return what(); }

private:
    UvError(Kind kind, const std::string& description);
    Kind kind_;
};

}  // namespace vt
