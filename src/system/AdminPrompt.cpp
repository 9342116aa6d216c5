#include "system/AdminPrompt.hpp"

#include "base/Cancellation.hpp"
#include "base/Log.hpp"
#include "base/Platform.hpp"
#include "base/Strings.hpp"
#include "system/CommandRunning.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

// pkexec's own statuses: the dialog was dismissed or the user is not authorized.
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorized = 127;

const std::vector<std::string>& allowedCommands() {
    static const std::vector<std::string> commands = [] {
        std::vector<std::string> list{
            "/opt/homebrew/bin/brew", "/usr/local/bin/brew", "/opt/homebrew/bin/mas", "/usr/local/bin/mas",
            "/usr/sbin/softwareupdate", "/usr/bin/xprotect", "/opt/homebrew/opt/ruby/bin/gem", "/opt/homebrew/bin/gem",
            "/usr/local/bin/gem", "/usr/bin/gem", "/Library/TeX/texbin/tlmgr",
            "/usr/local/texlive/2026/bin/universal-darwin/tlmgr", "/usr/local/texlive/2025/bin/universal-darwin/tlmgr",
            "/usr/local/texlive/2024/bin/universal-darwin/tlmgr", "/opt/local/bin/port",
            // Homebrew's ownership repair.
            "/usr/sbin/chown", "/usr/bin/chown", "/bin/chown"};
        if (kBuiltForLinux) list.emplace_back("/usr/bin/apt-get");
        return list;
    }();
    return commands;
}

}  // namespace

bool SystemAdminPrompt::isAllowedCommand(const std::string& path) {
    for (const std::string& allowed : allowedCommands()) {
        if (allowed == path) return true;
    }
    return false;
}

AdminPromptError AdminPromptError::notAllowed(const std::string& path) {
    return AdminPromptError(Kind::Failed, "Command not allowed for privileged fallback: " + path);
}

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
    if (!startsWith(command.command, "/")) throw AdminPromptError::failed("not an absolute path: " + command.command);
    if (!isAllowedCommand(command.command)) throw AdminPromptError::notAllowed(command.command);
    if (!isAvailable()) throw AdminPromptError::notAvailable();
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
