#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/Log.hpp"
#include "managers/BaseManager.hpp"

namespace vt {

class AdminPrompt;
class Clock;

// What the toolchain adapters share: one listing and one outdated check shape (a tool that
// is absent lists nothing and says nothing; a failure leaves what could be read and one
// message), the tool's own variables passed through to it, argument checks, and the
// Homebrew and administrator paths some of them update through.
class ToolchainManager : public BaseManager {
public:
    struct Options {
        std::map<std::string, std::string> environment;  // over the tool's own variables
        std::optional<std::string> home;                  // the user's home folder
        AdminPrompt* adminPrompt = nullptr;               // the system's prompt when null
        NetworkClient* network = nullptr;
        std::optional<std::string> cacheFolder;           // where caches are written
        Clock* clock = nullptr;
        // Where Homebrew's brew may be, first found wins.
        std::vector<std::string> brewCandidates{"/opt/homebrew/bin/brew", "/usr/local/bin/brew",
                                                "/home/linuxbrew/.linuxbrew/bin/brew"};
    };

    ~ToolchainManager() override;

    std::vector<Package> listInstalled(std::stop_token stop) final;
    std::vector<Package> checkOutdated(std::stop_token stop) final;

    // A name, channel or version we may put in an argument list: not empty, no leading "-"
    // that the tool would read as an option, no blank, quote, or control character.
    static bool isSafeArgument(std::string_view value);
    // An executable installed through Homebrew: its real path lies in a Homebrew prefix.
    static bool isHomebrewPath(std::string_view resolvedPath);

protected:
    ToolchainManager(SourceRow row, CommandRunning& runner, const FileSystemManager& files, Options options,
                     std::vector<const char*> variables, std::string logName);

    // The installed items; `message` gets what the user should know about a partial result.
    virtual std::vector<Package> readInstalled(std::stop_token stop, std::optional<std::string>& message) = 0;
    // The installed items with a newer version, from the listing just published.
    virtual std::vector<Package> readOutdated(std::stop_token stop, std::optional<std::string>& message) = 0;

    // The row's executables, its folders under home() (a test's sandbox home too).
    std::optional<std::string> locateExecutable(std::stop_token stop) override;
    std::string home() const;
    std::map<std::string, std::string> environment() const;
    // Runs the tool (or `command` when given) with the tool's environment; any exit status is
    // returned. A runner failure (time limit, missing executable) throws CommandError.
    ShellCommandResult tool(const std::vector<std::string>& arguments, double timeout, std::stop_token stop,
                            const std::string& command = {}) const;
    // Runs an update; a failure throws ToolchainError::commandFailed(failureText + output).
    ShellCommandResult runUpdate(const std::vector<std::string>& arguments, double timeout, std::stop_token stop,
                                 const std::string& failureText, const std::string& command = {}) const;
    // Runs an update, logged; a runner failure or a non-zero exit is handed to `fail` with the
    // tool's words, which throws the adapter's own error.
    ShellCommandResult runUpdate(const std::vector<std::string>& arguments, double timeout, std::stop_token stop,
                                 const std::function<void(const std::string&)>& fail,
                                 const std::string& command = {}) const;
    void requireSafe(const std::string& value) const;
    void requireTool(std::stop_token stop);
    // The brew that owns the tool's executable, when Homebrew installed it.
    std::optional<std::string> owningBrew() const;
    AdminPrompt& adminPrompt();
    const Logger& log() const { return log_; }

    Options options_;

private:
    std::vector<const char*> variables_;
    Logger log_;
    std::mutex adminMutex_;
    std::unique_ptr<AdminPrompt> ownedAdminPrompt_;
};

}  // namespace vt
