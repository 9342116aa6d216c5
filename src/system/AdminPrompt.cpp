#include "system/AdminPrompt.hpp"

#include "base/Strings.hpp"
#include "system/AuthorizationHelper.hpp"
#include "base/Localization.hpp"

namespace vt {

bool SystemAdminPrompt::isAllowedCommand(const std::string& path) {
    return AuthorizationHelper::isAllowedCommand(path);
}

AdminPromptError AdminPromptError::notAllowed(const std::string& path) {
    return AdminPromptError(Kind::Failed, localized("admin.error.not_allowed", {path}));
}

AdminPromptError::AdminPromptError(Kind kind, const std::string& description, std::optional<int> exitCode)
    : std::runtime_error(description), kind_(kind), exitCode_(exitCode) {}

AdminPromptError AdminPromptError::notAvailable() {
    return AdminPromptError(Kind::NotAvailable, localized("admin.error.not_available"));
}

AdminPromptError AdminPromptError::denied() {
    return AdminPromptError(Kind::Denied, localized("admin.denied"));
}

AdminPromptError AdminPromptError::failed(std::string detail) {
    return AdminPromptError(Kind::Failed, localized("admin.error.failed", {detail}));
}

AdminPromptError AdminPromptError::withText(Kind kind, const std::string& description, std::optional<int> exitCode) {
    return AdminPromptError(kind, description, exitCode);
}

SystemAdminPrompt::SystemAdminPrompt(CommandRunning& runner, const FileSystemManager& files)
    : owned_(std::make_unique<AuthorizationHelper>(runner, files, AuthorizationHelper::systemOptions())),
      helper_(*owned_) {}

SystemAdminPrompt::SystemAdminPrompt(AuthorizationHelper& helper) : helper_(helper) {}

SystemAdminPrompt::~SystemAdminPrompt() = default;

bool SystemAdminPrompt::isAvailable() const {
    return helper_.isAvailable();
}

void SystemAdminPrompt::run(const PrivilegedCommand& command, std::stop_token stop) {
    AdminCommandResult result =
        helper_.run(command.command, command.arguments, command.prompt, stop, command.timeoutSeconds);
    if (result.exitCode == 0) return;
    std::string detail = trim(result.output);
    if (detail.empty()) {
        detail = "exit code ";
        detail += std::to_string(result.exitCode);
    }
    throw AdminPromptError::withText(AdminPromptError::Kind::Failed, localized("admin.error.failed", {detail}),
                                     result.exitCode);
}

}  // namespace vt
