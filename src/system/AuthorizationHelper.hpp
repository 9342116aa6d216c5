#pragma once

#include <functional>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

class CommandRunning;
class FileSystemManager;

// What a command run with administrator rights printed (both streams, in order) and its status.
struct AdminCommandResult {
    std::string output;
    int exitCode = 0;
};

// The one-off administrator prompt, used when the privileged helper cannot do the work.
// Only the executables of the allow-list and bundle paths that pass the path rules reach root.
// The command line is wrapped in a shell script that appends its output and its exit status
// to a log in the temporary folder, and ends with status 0, so the prompt program's own
// status only says whether the prompt worked. Failures throw AdminPromptError (Denied when
// the user cancelled). Callable from any thread; each call asks the user once.
class AuthorizationHelper {
public:
    // How the prompt program is called: osascript's "do shell script ... with administrator
    // privileges", or `PROGRAM [-S|-n] /bin/sh -c SCRIPT` for sudo and pkexec (and the fakes
    // of the tests, which take the pkexec form and run the script as the current user).
    // AlreadyRoot asks nobody: the program is the shell, given `-c SCRIPT`.
    enum class PromptStyle { AppleScript, Sudo, Pkexec, AlreadyRoot };

    static constexpr const char* kExitMarker = "__VT_ADMIN_EXIT_CODE__=";
    static constexpr const char* kOsascript = "/usr/bin/osascript";
    static constexpr const char* kSudo = "/usr/bin/sudo";
    static constexpr const char* kPkexec = "/usr/bin/pkexec";
    static constexpr const char* kShell = "/bin/sh";

    struct Options {
        std::string promptProgram;
        PromptStyle style = PromptStyle::Pkexec;
        std::string temporaryFolder;   // where the log goes
        double timeoutSeconds = 1800;  // the user reads the prompt, then the command runs
        // The executables this prompt may run: allowedCommands() unless the caller names its own
        // (tests name their scripts).
        std::vector<std::string> allowedCommands;
        // Asks for the password on the terminal for sudo; nothing when the user gave none.
        std::function<std::optional<std::string>(const std::string& prompt)> askPassword;
    };

    // This machine's prompt: none for root, who runs the commands itself; osascript on a Mac;
    // on Linux sudo when standard input is a terminal, pkexec otherwise.
    static Options systemOptions();

    AuthorizationHelper(CommandRunning& runner, const FileSystemManager& files, Options options);

    // Whether the prompt program exists here.
    bool isAvailable() const;
    const Options& options() const noexcept { return options_; }

    // Runs one allowed executable as root. Throws before any prompt when the command is
    // refused; a command that ran returns its status, whatever it is. `timeoutSeconds`
    // replaces the options' limit for this call.
    AdminCommandResult run(const std::string& command, const std::vector<std::string>& arguments,
                           const std::string& reason, std::stop_token stop = {},
                           std::optional<double> timeoutSeconds = std::nullopt);
    // Removes `destination`, copies the bundle `source` there and clears its quarantine.
    void replaceBundle(const std::string& source, const std::string& destination, const std::string& reason,
                       std::stop_token stop = {});
    // Gives the bundles to `ownerUid` (where that means something) and makes them writable by
    // their owner and readable by everyone.
    void normalizeBundlePermissions(const std::vector<std::string>& bundles, unsigned ownerUid,
                                    const std::string& reason, std::stop_token stop = {});

    // The pieces, each with its exact texts.
    static const std::vector<std::string>& allowedCommands();
    static bool isAllowedCommand(const std::string& path);
    // Absolute, on the allow-list, then present and executable. Throws AdminPromptError
    // (Failed) with the refusal's text.
    void validateCommand(const std::string& path) const;
    // The eight variables a command keeps, with this process's values.
    static std::map<std::string, std::string> keptEnvironment();
    static std::string singleQuoted(std::string_view text);
    static std::string wrapperScript(const std::string& commandLine, const std::string& logPath);
    // Throws AdminPromptError when the log holds no exit status.
    static AdminCommandResult readLog(const std::string& log);
    static std::string promptText(const std::string& reason, bool explainsItself = false);
    static std::string appleScript(const std::string& script, const std::string& prompt);

    // Path rules of privileged file operations: the standardised path, or AdminPromptError.
    static std::string checkedSource(const std::string& path);
    static std::string checkedDestination(const std::string& path);
    static std::string checkedBackup(const std::string& path);
    static std::vector<std::string> allowedDestinationFolders();
    static std::vector<std::string> allowedStagingFolders();

private:
    AdminCommandResult runScript(const std::string& commandLine, const std::string& prompt, std::stop_token stop,
                                 std::optional<double> timeoutSeconds = std::nullopt);

    CommandRunning& runner_;
    const FileSystemManager& files_;
    Options options_;
};

}  // namespace vt
