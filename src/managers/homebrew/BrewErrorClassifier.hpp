#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

// What went wrong in a failed brew run, with what the case needs.
struct BrewErrorType {
    enum class Kind {
        LinkFailure,
        ConflictingPackage,
        CaskSourceMissing,
        ChecksumMismatch,
        NodeVersionIncompatible,
        Unknown,
        PermissionDenied,
        SudoRequired,
        AlreadyInstalled,
        NotFound,
        DownloadFailed,
        NetworkError,
        GithubRateLimited,
    };

    Kind kind = Kind::Unknown;
    std::string packageName;               // LinkFailure, CaskSourceMissing
    std::vector<std::string> conflicts;    // ConflictingPackage
    std::optional<std::string> cachePath;  // ChecksumMismatch: the cached download, when printed
    std::string message;                   // Unknown: the raw text

    friend bool operator==(const BrewErrorType&, const BrewErrorType&) = default;
};

// A failed brew run in the form shown to the user: a message, what to do, and the command
// to run in a terminal when the user has to act.
class ParsedBrewError : public std::runtime_error {
public:
    ParsedBrewError(BrewErrorType type, std::string userMessage, std::string suggestion,
                    std::optional<std::string> command, bool requiresUserAction);

    const BrewErrorType& type() const noexcept { return type_; }
    BrewErrorType::Kind kind() const noexcept { return type_.kind; }
    const std::string& userMessage() const noexcept { return userMessage_; }
    const std::string& suggestion() const noexcept { return suggestion_; }
    const std::optional<std::string>& command() const noexcept { return command_; }
    bool requiresUserAction() const noexcept { return requiresUserAction_; }
    std::string description() const { return userMessage_; }
    std::string recoverySuggestion() const { return suggestion_; }

private:
    BrewErrorType type_;
    std::string userMessage_;
    std::string suggestion_;
    std::optional<std::string> command_;
    bool requiresUserAction_;
};

// Reads brew's output (standard output and error together) and names the failure. Pure
// functions of their arguments: any thread, never throws, linear-time on hostile text
// (the patterns run under the regular-expression engine's work limit).
class BrewErrorClassifier {
public:
    // packageName is the item the run was about; isCask picks the terminal command shown.
    static ParsedBrewError classify(std::string_view output, const std::string& packageName, bool isCask);
    // Homebrew refuses to run as root; the user has to run it from a normal session.
    static ParsedBrewError rootRefusal(const std::string& packageName, bool isCask);

    // Pieces used by the repairs.
    static std::vector<std::string> conflictingNames(std::string_view output);
    static std::optional<std::string> checksumCachePath(std::string_view output);
    // The path after "Permission denied @ ... - " or "Directory not empty @ ... - ".
    static std::optional<std::string> permissionPath(std::string_view output);
    static bool saysRunningAsRoot(std::string_view output);

    // Outputs longer than this are classified on their last part, where brew prints errors.
    static constexpr std::size_t kMaxClassifiedBytes = 256 * 1024;
};

}  // namespace vt
