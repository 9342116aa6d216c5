#pragma once

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

// The result of one finished command. (Not named stdout/stderr: those are C macros.)
struct ShellCommandResult {
    std::string standardOutput;  // decoded as UTF-8
    std::string standardError;
    int exitCode = 0;

    friend bool operator==(const ShellCommandResult&, const ShellCommandResult&) = default;
};

// Everything that describes one run of a tool.
struct CommandRequest {
    std::string command;                             // absolute path of the executable
    std::vector<std::string> arguments;
    std::map<std::string, std::string> environment;  // merged over the runner's default environment
    std::optional<std::string> standardInput;
    std::optional<double> timeout;                   // seconds
    std::optional<std::string> currentDirectory;     // "/tmp" when absent
    bool allowNonZeroExit = false;
};

class CommandError : public std::runtime_error {
public:
    enum class Kind { ExecutionFailed, InvalidCommand, Cancelled, Timeout };

    static CommandError executionFailed(int exitCode, std::string text);
    static CommandError invalidCommand(std::string path);
    static CommandError cancelled();
    static CommandError timeout();

    Kind kind() const noexcept { return kind_; }
    int exitCode() const noexcept { return exitCode_; }
    const std::string& detail() const noexcept { return detail_; }  // stderr text, or the path
    // The exact user-facing text ("Command failed with exit code 1: ...").
    std::string description() const { return what(); }

private:
    CommandError(Kind kind, int exitCode, std::string detail, const std::string& description);
    Kind kind_;
    int exitCode_;
    std::string detail_;
};

// Runs external tools. Implemented by CommandRunner; FakeCommandRunner in tests.
// Every call may be made from any thread. Stopping the token terminates the child and
// the call throws CancellationError.
class CommandRunning {
public:
    using ChunkHandler = std::function<void(std::string_view)>;

    virtual ~CommandRunning() = default;

    // Throws CommandError (executionFailed, invalidCommand, timeout) or CancellationError.
    virtual ShellCommandResult execute(const CommandRequest& request, std::stop_token stop = {}) = 0;
    // Same, and hands each decoded chunk of output to the handlers as it arrives.
    virtual ShellCommandResult executeStreaming(const CommandRequest& request, ChunkHandler onStdout,
                                                ChunkHandler onStderr, std::stop_token stop = {}) = 0;
    // Kills every running child and fails every caller waiting for a slot.
    virtual void cancelActiveCommands() = 0;
    // Forgets the cached listings of one tool (by its executable's last path component,
    // "brew") after it changed what is installed. A runner without a cache has none.
    virtual void invalidateCache(std::string_view executableName) { (void)executableName; }
    // The PATH every child gets unless its request sets one; nullopt when the runner adds none.
    virtual std::optional<std::string> defaultSearchPath() const { return std::nullopt; }
};

}  // namespace vt
