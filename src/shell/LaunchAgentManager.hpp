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
// A failure leaves nothing half-installed: the files written are removed again.
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

    // An interval below one hour counts as one hour; above kMaximumIntervalHours it is
    // refused. Throws AgentError.
    void install(long long intervalHours);
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
    void writeFiles(long long hours);
    void deleteFiles();
    bool run(const std::string& tool, std::vector<std::string> arguments, std::string* output = nullptr,
             std::string* failure = nullptr);

    Options options_;
    CommandRunning& runner_;
};

}  // namespace vt
