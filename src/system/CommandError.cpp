#include "system/CommandRunning.hpp"

namespace vt {

CommandError::CommandError(Kind kind, int exitCode, std::string detail, const std::string& description)
    : std::runtime_error(description), kind_(kind), exitCode_(exitCode), detail_(std::move(detail)) {}

CommandError CommandError::executionFailed(int exitCode, std::string text) {
    std::string description = "Command failed with exit code " + std::to_string(exitCode) + ": " + text;
    return CommandError(Kind::ExecutionFailed, exitCode, std::move(text), description);
}

CommandError CommandError::invalidCommand(std::string path) {
    std::string description = "Invalid command: " + path;
    return CommandError(Kind::InvalidCommand, 0, std::move(path), description);
}

CommandError CommandError::cancelled() { return CommandError(Kind::Cancelled, 0, "", "Command was cancelled"); }

CommandError CommandError::timeout() { return CommandError(Kind::Timeout, 0, "", "Command timed out"); }

}  // namespace vt
