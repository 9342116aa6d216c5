#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vt {

class Clock;

class PrivilegedClientError : public std::runtime_error {
public:
    enum class Kind {
        RegistrationFailed,
        UnregistrationFailed,
        ConnectionFailed,
        OperationFailed,
        InstallerExited,
        Timeout,
        RequiresApproval,
        HelperNotAvailable
    };

    static PrivilegedClientError registrationFailed(const std::string& text);
    static PrivilegedClientError unregistrationFailed(const std::string& text);
    static PrivilegedClientError connectionFailed(const std::string& text);
    static PrivilegedClientError operationFailed(const std::string& text);
    static PrivilegedClientError installerExited(int code, const std::string& message);
    static PrivilegedClientError timeout(const std::string& command, double seconds);
    static PrivilegedClientError requiresApproval();
    static PrivilegedClientError helperNotAvailable();

    Kind kind() const noexcept { return kind_; }
    std::string description() const { return what(); }
    std::optional<std::string> recoverySuggestion() const;
    // The payload: the text, the installer's message or the timed-out command.
    const std::string& detail() const noexcept { return detail_; }
    int exitCode() const noexcept { return exitCode_; }
    double seconds() const noexcept { return seconds_; }

private:
    PrivilegedClientError(Kind kind, const std::string& description, std::string detail, int exitCode = 0,
                          double seconds = 0);
    Kind kind_;
    std::string detail_;
    int exitCode_;
    double seconds_;
};

// The replies of the helper's operations.
struct HelperCommandReply {
    std::string standardOutput;
    std::string standardError;
    std::int32_t exitStatus = 0;
};
struct HelperPackageReply {
    bool success = false;
    std::string message;
    std::int32_t exitStatus = 0;
};
struct HelperReply {
    bool success = false;
    std::string message;
};
struct HelperDictionaryReply {
    std::map<std::string, std::string> values;
    std::string error;
};

// How the helper is reached: its twelve operations, in the order the helper declares them,
// and its registration with the system. Each call blocks until the one reply; a transport
// throws PrivilegedClientError when the helper cannot be reached or the call cannot be made.
class HelperTransport {
public:
    enum class Registration { NotRegistered, RequiresApproval, Enabled };
    using ProgressHandler = std::function<void(const std::string& line, bool isError)>;

    virtual ~HelperTransport() = default;

    virtual HelperCommandReply executeCommand(const std::string& command,
                                              const std::vector<std::string>& arguments) = 0;
    virtual HelperCommandReply executeCommand(const std::string& command, const std::vector<std::string>& arguments,
                                              const std::map<std::string, std::string>& environment) = 0;
    virtual HelperCommandReply executeCommandStreaming(const std::string& command,
                                                       const std::vector<std::string>& arguments,
                                                       ProgressHandler progress) = 0;
    virtual std::int64_t cancelActiveCommands() = 0;
    virtual std::string getVersion() = 0;
    virtual HelperPackageReply installPKG(const std::string& packagePath, const std::string& expectedSHA256,
                                          const std::string& expectedTeamID, const std::string& unquarantineTarget) = 0;
    virtual HelperReply replaceApp(const std::string& currentAppPath, const std::string& newAppPath,
                                   const std::string& backupPath, const std::string& expectedTeamID) = 0;
    virtual HelperReply normalizeAppBundlePermissions(const std::vector<std::string>& paths,
                                                      std::uint32_t ownerUID) = 0;
    virtual HelperReply removeQuarantine(const std::string& path) = 0;
    virtual HelperReply removeBackup(const std::string& backupPath) = 0;
    virtual HelperDictionaryReply verifyAppSignature(const std::string& path) = 0;
    virtual HelperDictionaryReply getInstallInfo(const std::string& path) = 0;

    // The service-management side.
    virtual Registration registration() = 0;
    virtual void registerDaemon() = 0;    // throws requiresApproval or registrationFailed
    virtual void unregisterDaemon() = 0;  // throws unregistrationFailed
    // Forgets the connection; the next call makes a new one.
    virtual void dropConnection() = 0;
};

// No helper daemon ships yet: every operation reports helperNotAvailable, so every caller
// takes the administrator prompt.
class UnavailableHelperTransport : public HelperTransport {
public:
    HelperCommandReply executeCommand(const std::string&, const std::vector<std::string>&) override;
    HelperCommandReply executeCommand(const std::string&, const std::vector<std::string>&,
                                      const std::map<std::string, std::string>&) override;
    HelperCommandReply executeCommandStreaming(const std::string&, const std::vector<std::string>&,
                                               ProgressHandler) override;
    std::int64_t cancelActiveCommands() override;
    std::string getVersion() override;
    HelperPackageReply installPKG(const std::string&, const std::string&, const std::string&,
                                  const std::string&) override;
    HelperReply replaceApp(const std::string&, const std::string&, const std::string&, const std::string&) override;
    HelperReply normalizeAppBundlePermissions(const std::vector<std::string>&, std::uint32_t) override;
    HelperReply removeQuarantine(const std::string&) override;
    HelperReply removeBackup(const std::string&) override;
    HelperDictionaryReply verifyAppSignature(const std::string&) override;
    HelperDictionaryReply getInstallInfo(const std::string&) override;
    Registration registration() override { return Registration::NotRegistered; }
    void registerDaemon() override;
    void unregisterDaemon() override;
    void dropConnection() override {}
};

// Where the client keeps its two preferences (the user defaults).
class HelperPreferences {
public:
    virtual ~HelperPreferences() = default;
    virtual std::optional<std::string> stringValue(const std::string& key) const = 0;
    virtual std::optional<double> doubleValue(const std::string& key) const = 0;
    virtual void setString(const std::string& key, const std::string& value) = 0;
    virtual void setDouble(const std::string& key, double value) = 0;
};

// The client of the privileged helper: each operation with its time limit, and the health of
// its registration (a helper of another version or one that stopped answering is registered
// again, at most once per cool-down). Callable from any thread; the helper may run several
// commands at once. A call that passes its limit throws while the transport's call finishes
// on its own thread, and whatever it reports later goes nowhere.
class PrivilegedClient {
public:
    static constexpr const char* kExpectedVersion = "2.1.6";
    static constexpr const char* kPlistName = "com.corvanel.Vantreel.Helper.plist";
    static constexpr const char* kMachServiceName = "com.corvanel.Vantreel.Helper";
    static constexpr double kVersionProbeSeconds = 3;
    static constexpr double kSelfHealCooldownSeconds = 1800;
    // The file operations have no limit of their own; a helper silent this long is stuck.
    static constexpr double kOperationSeconds = 600;
    static constexpr const char* kLastSeenAppVersionKey = "Vantreel.PrivilegedClient.lastSeenAppVersion";
    static constexpr const char* kLastSelfHealEpochKey = "Vantreel.PrivilegedClient.lastSelfHealEpoch";

    PrivilegedClient(std::shared_ptr<HelperTransport> transport, HelperPreferences& preferences, const Clock& clock);

    // The twelve operations. Failures throw PrivilegedClientError.
    HelperCommandReply execute(const std::string& command, const std::vector<std::string>& arguments,
                               const std::map<std::string, std::string>& environment, double timeoutSeconds);
    HelperCommandReply executeStreaming(const std::string& command, const std::vector<std::string>& arguments,
                                        HelperTransport::ProgressHandler progress, double timeoutSeconds);
    std::int64_t cancelActiveCommands();
    std::string version();  // within the 3 s probe limit
    // The installer's failure is installerExited(status, message).
    void installPKG(const std::string& packagePath, const std::string& expectedSHA256,
                    const std::string& expectedTeamID, const std::string& unquarantineTarget);
    // A helper that answers "no" throws operationFailed with its message.
    void replaceApp(const std::string& currentAppPath, const std::string& newAppPath, const std::string& backupPath,
                    const std::string& expectedTeamID);
    void normalizeAppBundlePermissions(const std::vector<std::string>& paths, std::uint32_t ownerUID);
    void removeQuarantine(const std::string& path);
    void removeBackup(const std::string& backupPath);
    std::map<std::string, std::string> verifyAppSignature(const std::string& path);
    std::map<std::string, std::string> installInfo(const std::string& path);

    // Registration: throws requiresApproval or registrationFailed; then the version is checked.
    void registerHelper();
    void unregisterHelper();
    // At launch: a new application version refreshes an enabled helper's registration, then a
    // helper of another version or one that does not answer is registered again.
    void checkHealthAtLaunch(const std::string& appVersion);
    // On use: the same version check, without the application-version step.
    void checkHealth();
    // An enabled helper that does not answer is registered again, unless that was tried less
    // than the cool-down ago. True when the helper answers afterwards.
    bool selfHealIfUnresponsive();
    bool isSelfHealing() const;

private:
    std::optional<std::string> probeVersion();
    void reregister();
    void checkVersion(bool atLaunch);

    std::shared_ptr<HelperTransport> transport_;
    HelperPreferences& preferences_;
    const Clock& clock_;
    mutable std::mutex mutex_;
    bool selfHealing_ = false;
};

}  // namespace vt
