#include "managers/python/UvError.hpp"

#include "base/Localization.hpp"

namespace vt {

UvError UvError::notFound() {
    return UvError(Kind::NotFound, localized("uv_command_failed", {"uv not found"}));
}

UvError UvError::commandFailed(const std::string& detail) {
    return UvError(Kind::CommandFailed, localized("uv_command_failed", {detail}));
}

UvError UvError::versionUnchanged(const std::string& target, const std::string& current) {
    return UvError(Kind::VersionUnchanged,
                   localized("uv.version_unchanged", {target, current}));
}

}  // namespace vt
