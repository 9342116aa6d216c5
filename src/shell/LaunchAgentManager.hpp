#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/Json.hpp"
#include "base/Platform.hpp"

namespace vt {

class CommandRunning;

class AgentError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An interval the agent cannot run at: bad input, refused before anything changes.
class AgentIntervalError : public AgentError {
public:
    using AgentError::AgentError;
};

// What is known of the installed agent.
struct AgentStatus {
    bool installed = false;
    std::optional<long long> intervalHours;  // as written in the agent's files
    std::optional<std::string> nextRun;      // as the timer reports it, when it does
    std::vector<std::string> files;
};

// The agent that starts this program with "--background-scan" at a fixed interval, so
// scans go on while nobody runs it. On macOS a launchd property list, loaded with
// launchctl; on Linux a systemd user service and timer, enabled with systemctl --user.
// Installing again rewrites the files and restarts the timer, so a new interval applies.
// A failure leaves nothing half-installed: a first install's files are removed again, and a
// new install over a working agent puts that agent back as it was.
class LaunchAgentManager {
public:
    struct Options {
        CommandRunning* runner = nullptr;  // CommandRunner::shared() when null
        std::string executable;            // the running program when empty
        std::string folder;                // the platform's agent folder when empty
        bool launchd = kBuiltForMac;
        std::string systemctl = "/usr/bin/systemctl";
        std::string launchctl = "/bin/launchctl";
        double timeoutSeconds = 30;
    };

    static constexpr long long kMaximumIntervalHours = 24 * 366;
    static constexpr const char* kLabel = "com.corvanel.Vantreel.agent";
    static constexpr const char* kPropertyListName = "com.corvanel.Vantreel.agent.plist";
    static constexpr const char* kServiceName = "vantreel-scan.service";
    static constexpr const char* kTimerName = "vantreel-scan.timer";

    LaunchAgentManager();
    explicit LaunchAgentManager(Options options);

    // An interval of 0 counts as one hour; below 0 or above kMaximumIntervalHours it is
    // refused with AgentIntervalError, before anything changes. Throws AgentError.
    void install(long long intervalHours);
    // The hours the agent runs every for this interval; throws AgentIntervalError as install does.
    static long long checkedInterval(long long intervalHours);
    // Stops and deletes the agent; nothing to do when it is not installed. Throws AgentError
    // when its files cannot be deleted.
    void remove();
    bool isInstalled() const;
    AgentStatus status();

    const std::string& folder() const noexcept { return options_.folder; }

    // The files' contents, for the executable and interval given.
    static Json propertyList(const std::string& executable, long long intervalHours);
    static std::string serviceUnit(const std::string& executable);
    static std::string timerUnit(long long intervalHours);

private:
    std::vector<std::string> agentFiles() const;
    // Each agent file with its contents for this interval.
    std::vector<std::pair<std::string, std::string>> fileContents(long long hours) const;
    // Writes every file aside, then puts them in place: a failed write replaces none.
    void writeFiles(const std::vector<std::pair<std::string, std::string>>& contents);
    // Each file back as it was (nullopt: absent), as far as the disk allows.
    void restoreFiles(const std::vector<std::pair<std::string, std::optional<std::string>>>& previous);
    void deleteFiles();
    bool run(const std::string& tool, std::vector<std::string> arguments, std::string* output = nullptr,
             std::string* failure = nullptr);

    Options options_;
    CommandRunning& runner_;
};

}  // namespace vt
