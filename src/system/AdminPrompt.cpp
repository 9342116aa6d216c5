#include "system/AdminPrompt.hpp"

#include "base/Cancellation.hpp"
#include "base/Log.hpp"
#include "base/Strings.hpp"
#include "system/CommandRunning.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

// pkexec's own statuses: the dialog was dismissed or the user is not authorized.
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorized = 127;

}  // namespace

AdminPromptError::AdminPromptError(Kind kind, const std::string& description)
    : std::runtime_error(description), kind_(kind) {}

AdminPromptError AdminPromptError::notAvailable() {
    return AdminPromptError(Kind::NotAvailable, "No administrator prompt is available on this system");
}

AdminPromptError AdminPromptError::denied() {
    return AdminPromptError(Kind::Denied, "Administrator authorization was refused");
}

AdminPromptError AdminPromptError::failed(std::string detail) {
    return AdminPromptError(Kind::Failed, "Privileged command failed: " + detail);
}

SystemAdminPrompt::SystemAdminPrompt(CommandRunning& runner, const FileSystemManager& files)
    : runner_(runner), files_(files) {}

bool SystemAdminPrompt::isAvailable() const { return files_.isExecutableFile(kPkexec); }

void SystemAdminPrompt::run(const PrivilegedCommand& command, std::stop_token stop) {
    if (!isAvailable()) throw AdminPromptError::notAvailable();
    if (!startsWith(command.command, "/")) throw AdminPromptError::failed("not an absolute path: " + command.command);
    // pkexec shows its own dialog; the reason goes to the log so the user can find it.
    Logger("AdminPrompt").info(command.prompt);
    CommandRequest request{.command = kPkexec, .timeout = command.timeoutSeconds, .allowNonZeroExit = true};
    request.arguments.push_back(command.command);
    request.arguments.insert(request.arguments.end(), command.arguments.begin(), command.arguments.end());
    ShellCommandResult result;
    try {
        result = runner_.execute(request, stop);
    } catch (const CommandError& error) {
        if (error.kind() == CommandError::Kind::Cancelled) throw CancellationError();
        throw AdminPromptError::failed(error.description());
    }
    if (result.exitCode == 0) return;
    if (result.exitCode == kPkexecDismissed || result.exitCode == kPkexecNotAuthorized) throw AdminPromptError::denied();
    throw AdminPromptError::failed(trim(result.standardError.empty() ? result.standardOutput : result.standardError));
}

}  // namespace vt
