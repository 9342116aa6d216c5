#include "system/PrivilegedOperations.hpp"

#include "system/AdminPrompt.hpp"

namespace vt {

std::optional<std::string> UnavailablePrivilegedOperations::helperReplaceApp(const std::string&, const std::string&,
                                                                             const std::string&, const std::string&) {
    return std::string("privileged helper not installed");
}

void UnavailablePrivilegedOperations::replaceBundleWithAuthorization(const std::string&, const std::string&,
                                                                     const std::string&, std::stop_token) {
    throw AdminPromptError::notAvailable();
}

void UnavailablePrivilegedOperations::normalizeBundlePermissions(const std::vector<std::string>&, const std::string&,
                                                                 std::stop_token) {
    throw AdminPromptError::notAvailable();
}

}  // namespace vt
