#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

namespace vt {

class CommandRunning;
class FileSystemManager;

class AdminPromptError : public std::runtime_error {
public:
    enum class Kind { NotAvailable, Denied, Failed };

    static AdminPromptError notAvailable();
    static AdminPromptError denied();
    static AdminPromptError failed(std::string detail);
    static AdminPromptError notAllowed(const std::string& path);
    // A failure whose whole text is given (the administrator fallback's own messages), and
    // the status of a command that ran with administrator rights and failed.
    static AdminPromptError withText(Kind kind, const std::string& description,
                                     std::optional<int> exitCode = std::nullopt);

    Kind kind() const noexcept { return kind_; }
    std::string description() const { return what(); }
    // Set when the command itself ran and ended with this non-zero status.
    std::optional<int> exitCode() const noexcept { return exitCode_; }

private:
    AdminPromptError(Kind kind, const std::string& description, std::optional<int> exitCode = std::nullopt);
    Kind kind_;
    std::optional<int> exitCode_;
};

// One command to run with administrator rights, and the text that tells the user why.
struct PrivilegedCommand {
    std::string prompt;
    std::string command;  // absolute path; never a shell
    std::vector<std::string> arguments;
    double timeoutSeconds = 300;  // the user has to read and answer the prompt
};

// Runs a privileged repair after asking the user for an administrator's authorization.
// Blocks the calling thread until the command ends. Throws AdminPromptError (no prompt
// program here, the user refused, the command failed) or CancellationError. Callable from
// any thread.
class AdminPrompt {
public:
    virtual ~AdminPrompt() = default;
    virtual bool isAvailable() const = 0;
    virtual void run(const PrivilegedCommand& command, std::stop_token stop = {}) = 0;
};

class AuthorizationHelper;

// The machine's own prompt, through the administrator fallback: the same validation, the
// same wrapper script and the same allow-list as every other root operation. A command that
// ran and failed throws Failed with its exit status.
class SystemAdminPrompt final : public AdminPrompt {
public:
    static constexpr const char* kPkexec = "/usr/bin/pkexec";
    static constexpr const char* kOsascript = "/usr/bin/osascript";

    SystemAdminPrompt(CommandRunning& runner, const FileSystemManager& files);
    // Over a fallback the caller owns (tests give it a fake prompt program).
    explicit SystemAdminPrompt(AuthorizationHelper& helper);
    ~SystemAdminPrompt() override;

    // The only executables any prompt runs as root.
    static bool isAllowedCommand(const std::string& path);

    bool isAvailable() const override;
    void run(const PrivilegedCommand& command, std::stop_token stop = {}) override;

private:
    std::unique_ptr<AuthorizationHelper> owned_;
    AuthorizationHelper& helper_;
};

}  // namespace vt
