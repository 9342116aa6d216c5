#pragma once

#include <memory>
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

    Kind kind() const noexcept { return kind_; }
    std::string description() const { return what(); }

private:
    AdminPromptError(Kind kind, const std::string& description);
    Kind kind_;
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

// The machine's own prompt: pkexec where it exists. AppleScript's administrator prompt
// only runs shell text, so on a Mac this reports "not available" until the privileged
// helper exists; so does a machine with neither program.
class SystemAdminPrompt final : public AdminPrompt {
public:
    static constexpr const char* kPkexec = "/usr/bin/pkexec";
    static constexpr const char* kOsascript = "/usr/bin/osascript";

    SystemAdminPrompt(CommandRunning& runner, const FileSystemManager& files);

    // The only executables this prompt runs as root; on Linux the system's apt-get joins
    // them. Homebrew's ownership repair also runs chown.
    static bool isAllowedCommand(const std::string& path);

    bool isAvailable() const override;
    void run(const PrivilegedCommand& command, std::stop_token stop = {}) override;

private:
    CommandRunning& runner_;
    const FileSystemManager& files_;
};

}  // namespace vt
