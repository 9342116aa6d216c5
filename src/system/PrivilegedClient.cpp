#include "system/PrivilegedClient.hpp"

#include <atomic>
#include <chrono>
#include <exception>
#include <future>
#include <sstream>
#include <thread>

#include "base/Clock.hpp"
#include "base/Log.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("PrivilegedClient");
    return instance;
}

constexpr const char* kNotResponding = "Privileged helper is not responding";

std::string secondsText(double seconds) {
    std::ostringstream text;
    text << seconds;
    return text.str();
}

// Runs one transport call on a thread of its own and waits for it at most `seconds`. The
// thread keeps the transport alive, so a late reply is harmless.
template <typename Result, typename Call>
Result withLimit(const std::shared_ptr<HelperTransport>& transport, double seconds, Call call,
                 const std::function<PrivilegedClientError()>& onTimeout) {
    auto promise = std::make_shared<std::promise<Result>>();
    std::future<Result> future = promise->get_future();
    std::thread([transport, promise, call]() mutable {
        try {
            promise->set_value(call(*transport));
        } catch (...) {
            promise->set_exception(std::current_exception());
        }
    }).detach();
    if (future.wait_for(std::chrono::duration<double>(seconds)) != std::future_status::ready) throw onTimeout();
    return future.get();
}

}  // namespace

// --- errors ---

PrivilegedClientError::PrivilegedClientError(Kind kind, const std::string& description, std::string detail,
                                             int exitCode, double seconds)
    : std::runtime_error(description),
      kind_(kind),
      detail_(std::move(detail)),
      exitCode_(exitCode),
      seconds_(seconds) {}

PrivilegedClientError PrivilegedClientError::registrationFailed(const std::string& text) {
    return {Kind::RegistrationFailed, "Registration failed: " + text, text};
}

PrivilegedClientError PrivilegedClientError::unregistrationFailed(const std::string& text) {
    return {Kind::UnregistrationFailed, "Unregistration failed: " + text, text};
}

PrivilegedClientError PrivilegedClientError::connectionFailed(const std::string& text) {
    return {Kind::ConnectionFailed, "Connection failed: " + text, text};
}

PrivilegedClientError PrivilegedClientError::operationFailed(const std::string& text) {
    return {Kind::OperationFailed, text, text};
}

PrivilegedClientError PrivilegedClientError::installerExited(int code, const std::string& message) {
    std::string text = "The installer exited with code ";
    text += std::to_string(code);
    text += ": ";
    text += message;
    return {Kind::InstallerExited, text, message, code};
}

PrivilegedClientError PrivilegedClientError::timeout(const std::string& command, double seconds) {
    std::string text = command;
    text += " timed out after ";
    text += secondsText(seconds);
    text += " s";
    return {Kind::Timeout, text, command, 0, seconds};
}

PrivilegedClientError PrivilegedClientError::requiresApproval() {
    return {Kind::RequiresApproval, "Please approve Van Treel Helper in System Settings > Login Items", ""};
}

PrivilegedClientError PrivilegedClientError::helperNotAvailable() {
    return {Kind::HelperNotAvailable, "The privileged helper is not installed", ""};
}

std::optional<std::string> PrivilegedClientError::recoverySuggestion() const {
    switch (kind_) {
        case Kind::ConnectionFailed: return "Check your connection and try again";
        case Kind::RequiresApproval: return "Open System Settings > Login Items and approve Van Treel Helper";
        default: return std::nullopt;
    }
}

// --- the transport of a machine without the helper ---

HelperCommandReply UnavailableHelperTransport::executeCommand(const std::string&, const std::vector<std::string>&) {
    throw PrivilegedClientError::helperNotAvailable();
}
HelperCommandReply UnavailableHelperTransport::executeCommand(const std::string&, const std::vector<std::string>&,
                                                              const std::map<std::string, std::string>&) {
    throw PrivilegedClientError::helperNotAvailable();
}
HelperCommandReply UnavailableHelperTransport::executeCommandStreaming(const std::string&,
                                                                       const std::vector<std::string>&,
                                                                       ProgressHandler) {
    throw PrivilegedClientError::helperNotAvailable();
}
std::int64_t UnavailableHelperTransport::cancelActiveCommands() {
    throw PrivilegedClientError::helperNotAvailable();
}
std::string UnavailableHelperTransport::getVersion() {
    throw PrivilegedClientError::helperNotAvailable();
}
HelperPackageReply UnavailableHelperTransport::installPKG(const std::string&, const std::string&, const std::string&,
                                                          const std::string&) {
    throw PrivilegedClientError::helperNotAvailable();
}
HelperReply UnavailableHelperTransport::replaceApp(const std::string&, const std::string&, const std::string&,
                                                   const std::string&) {
    throw PrivilegedClientError::helperNotAvailable();
}
HelperReply UnavailableHelperTransport::normalizeAppBundlePermissions(const std::vector<std::string>&, std::uint32_t) {
    throw PrivilegedClientError::helperNotAvailable();
}
HelperReply UnavailableHelperTransport::removeQuarantine(const std::string&) {
    throw PrivilegedClientError::helperNotAvailable();
}
HelperReply UnavailableHelperTransport::removeBackup(const std::string&) {
    throw PrivilegedClientError::helperNotAvailable();
}
HelperDictionaryReply UnavailableHelperTransport::verifyAppSignature(const std::string&) {
    throw PrivilegedClientError::helperNotAvailable();
}
HelperDictionaryReply UnavailableHelperTransport::getInstallInfo(const std::string&) {
    throw PrivilegedClientError::helperNotAvailable();
}
void UnavailableHelperTransport::registerDaemon() {
    throw PrivilegedClientError::helperNotAvailable();
}
void UnavailableHelperTransport::unregisterDaemon() {
    throw PrivilegedClientError::helperNotAvailable();
}

// --- the client ---

PrivilegedClient::PrivilegedClient(std::shared_ptr<HelperTransport> transport, HelperPreferences& preferences,
                                   const Clock& clock)
    : transport_(std::move(transport)), preferences_(preferences), clock_(clock) {}

HelperCommandReply PrivilegedClient::execute(const std::string& command, const std::vector<std::string>& arguments,
                                             const std::map<std::string, std::string>& environment,
                                             double timeoutSeconds) {
    return withLimit<HelperCommandReply>(
        transport_, timeoutSeconds,
        [command, arguments, environment](HelperTransport& helper) {
            return environment.empty() ? helper.executeCommand(command, arguments)
                                       : helper.executeCommand(command, arguments, environment);
        },
        [&] { return PrivilegedClientError::timeout(command, timeoutSeconds); });
}

HelperCommandReply PrivilegedClient::executeStreaming(const std::string& command,
                                                      const std::vector<std::string>& arguments,
                                                      HelperTransport::ProgressHandler progress,
                                                      double timeoutSeconds) {
    // Lines that arrive after the caller gave up are dropped, not handed to a caller gone.
    struct Relay {
        std::mutex mutex;
        bool open = true;
        HelperTransport::ProgressHandler handler;
    };
    auto relay = std::make_shared<Relay>();
    relay->handler = std::move(progress);
    HelperTransport::ProgressHandler forward = [relay](const std::string& line, bool isError) {
        std::scoped_lock lock(relay->mutex);
        if (relay->open && relay->handler) relay->handler(line, isError);
    };
    try {
        HelperCommandReply reply = withLimit<HelperCommandReply>(
            transport_, timeoutSeconds,
            [command, arguments, forward](HelperTransport& helper) {
                return helper.executeCommandStreaming(command, arguments, forward);
            },
            [&] { return PrivilegedClientError::timeout(command, timeoutSeconds); });
        std::scoped_lock lock(relay->mutex);
        relay->open = false;
        return reply;
    } catch (...) {
        std::scoped_lock lock(relay->mutex);
        relay->open = false;
        throw;
    }
}

std::int64_t PrivilegedClient::cancelActiveCommands() {
    return withLimit<std::int64_t>(
        transport_, kVersionProbeSeconds, [](HelperTransport& helper) { return helper.cancelActiveCommands(); },
        [] { return PrivilegedClientError::connectionFailed(kNotResponding); });
}

std::string PrivilegedClient::version() {
    return withLimit<std::string>(
        transport_, kVersionProbeSeconds, [](HelperTransport& helper) { return helper.getVersion(); },
        [] { return PrivilegedClientError::connectionFailed(kNotResponding); });
}

void PrivilegedClient::installPKG(const std::string& packagePath, const std::string& expectedSHA256,
                                  const std::string& expectedTeamID, const std::string& unquarantineTarget) {
    HelperPackageReply reply = withLimit<HelperPackageReply>(
        transport_, kOperationSeconds,
        [=](HelperTransport& helper) {
            return helper.installPKG(packagePath, expectedSHA256, expectedTeamID, unquarantineTarget);
        },
        [] { return PrivilegedClientError::timeout("installPKG", kOperationSeconds); });
    if (!reply.success) throw PrivilegedClientError::installerExited(reply.exitStatus, reply.message);
}

namespace {

void requireSuccess(const HelperReply& reply) {
    if (!reply.success) throw PrivilegedClientError::operationFailed(reply.message);
}

}  // namespace

void PrivilegedClient::replaceApp(const std::string& currentAppPath, const std::string& newAppPath,
                                  const std::string& backupPath, const std::string& expectedTeamID) {
    requireSuccess(withLimit<HelperReply>(
        transport_, kOperationSeconds,
        [=](HelperTransport& helper) {
            return helper.replaceApp(currentAppPath, newAppPath, backupPath, expectedTeamID);
        },
        [] { return PrivilegedClientError::timeout("replaceApp", kOperationSeconds); }));
}

void PrivilegedClient::normalizeAppBundlePermissions(const std::vector<std::string>& paths, std::uint32_t ownerUID) {
    requireSuccess(withLimit<HelperReply>(
        transport_, kOperationSeconds,
        [=](HelperTransport& helper) { return helper.normalizeAppBundlePermissions(paths, ownerUID); },
        [] { return PrivilegedClientError::timeout("normalizeAppBundlePermissions", kOperationSeconds); }));
}

void PrivilegedClient::removeQuarantine(const std::string& path) {
    requireSuccess(withLimit<HelperReply>(
        transport_, kOperationSeconds, [=](HelperTransport& helper) { return helper.removeQuarantine(path); },
        [] { return PrivilegedClientError::timeout("removeQuarantine", kOperationSeconds); }));
}

void PrivilegedClient::removeBackup(const std::string& backupPath) {
    requireSuccess(withLimit<HelperReply>(
        transport_, kOperationSeconds, [=](HelperTransport& helper) { return helper.removeBackup(backupPath); },
        [] { return PrivilegedClientError::timeout("removeBackup", kOperationSeconds); }));
}

std::map<std::string, std::string> PrivilegedClient::verifyAppSignature(const std::string& path) {
    HelperDictionaryReply reply = withLimit<HelperDictionaryReply>(
        transport_, kOperationSeconds, [=](HelperTransport& helper) { return helper.verifyAppSignature(path); },
        [] { return PrivilegedClientError::timeout("verifyAppSignature", kOperationSeconds); });
    if (!reply.error.empty()) throw PrivilegedClientError::operationFailed(reply.error);
    return reply.values;
}

std::map<std::string, std::string> PrivilegedClient::installInfo(const std::string& path) {
    HelperDictionaryReply reply = withLimit<HelperDictionaryReply>(
        transport_, kOperationSeconds, [=](HelperTransport& helper) { return helper.getInstallInfo(path); },
        [] { return PrivilegedClientError::timeout("getInstallInfo", kOperationSeconds); });
    if (!reply.error.empty()) throw PrivilegedClientError::operationFailed(reply.error);
    return reply.values;
}

// --- registration and health ---

std::optional<std::string> PrivilegedClient::probeVersion() {
    try {
        return version();
    } catch (const PrivilegedClientError&) {
        return std::nullopt;
    }
}

void PrivilegedClient::registerHelper() {
    logger().info("Registering privileged helper daemon...");
    try {
        transport_->registerDaemon();
    } catch (const PrivilegedClientError& error) {
        std::string line = "Failed to register helper daemon: ";
        line += error.description();
        logger().error(line);
        if (error.kind() == PrivilegedClientError::Kind::RequiresApproval) throw;
        throw PrivilegedClientError::registrationFailed(error.detail().empty() ? error.description() : error.detail());
    }
    logger().info("Helper daemon registered successfully");
    std::optional<std::string> running = probeVersion();
    if (!running) {
        if (transport_->registration() == HelperTransport::Registration::RequiresApproval) {
            logger().warning("Helper registered but not responding yet -- may need user approval in System Settings");
        } else {
            logger().warning("Helper registered but did not respond");
        }
        return;
    }
    logger().info("Helper daemon running, version " + *running);
    if (*running != kExpectedVersion) {
        throw PrivilegedClientError::registrationFailed("Version mismatch: expected Vantreel helper, got " + *running);
    }
}

void PrivilegedClient::unregisterHelper() {
    logger().info("Unregistering helper");
    try {
        transport_->unregisterDaemon();
    } catch (const PrivilegedClientError& error) {
        std::string line = "Failed to unregister helper: ";
        line += error.description();
        logger().error(line);
        throw PrivilegedClientError::unregistrationFailed(error.detail().empty() ? error.description()
                                                                                 : error.detail());
    }
    transport_->dropConnection();
    logger().info("Helper unregistered successfully");
}

void PrivilegedClient::reregister() {
    transport_->dropConnection();
    try {
        registerHelper();
    } catch (const PrivilegedClientError& error) {
        std::string line = "⚠️ PrivilegedClient: ";
        line += error.description();
        logger().warning(line);
    }
}

void PrivilegedClient::checkVersion(bool atLaunch) {
    if (transport_->registration() != HelperTransport::Registration::Enabled) return;
    std::optional<std::string> reported = probeVersion();
    if (!reported) {
        logger().warning("Helper registered but unreachable — re-registering");
        reregister();
    } else if (*reported != kExpectedVersion) {
        std::string line = atLaunch ? "Helper version drift on launch: reported=" : "Helper version drift: reported=";
        line += *reported;
        line += ", expected=";
        line += kExpectedVersion;
        line += " — re-registering";
        logger().warning(line);
        reregister();
    } else {
        logger().info("Helper already registered, version " + *reported + " — up to date");
    }
}

void PrivilegedClient::checkHealthAtLaunch(const std::string& appVersion) {
    std::optional<std::string> lastSeen = preferences_.stringValue(kLastSeenAppVersionKey);
    // A first run has nothing to refresh: it only remembers the version.
    if (lastSeen && *lastSeen != appVersion) {
        std::string bump = "App version bumped ";
        bump += *lastSeen;
        bump += " → ";
        bump += appVersion;
        if (transport_->registration() == HelperTransport::Registration::Enabled) {
            reregister();
            logger().info(bump + " — refreshed helper registration silently");
        } else {
            logger().info(bump + ", helper not enabled, skipping silent refresh");
        }
    }
    if (lastSeen != appVersion) preferences_.setString(kLastSeenAppVersionKey, appVersion);
    checkVersion(true);
}

void PrivilegedClient::checkHealth() {
    checkVersion(false);
}

bool PrivilegedClient::isSelfHealing() const {
    std::scoped_lock lock(mutex_);
    return selfHealing_;
}

bool PrivilegedClient::selfHealIfUnresponsive() {
    if (isSelfHealing()) return false;
    if (transport_->registration() != HelperTransport::Registration::Enabled) return false;
    if (probeVersion()) return true;
    const double now = std::chrono::duration<double>(clock_.now().time_since_epoch()).count();
    std::optional<double> last = preferences_.doubleValue(kLastSelfHealEpochKey);
    if (last && now - *last <= kSelfHealCooldownSeconds) {
        logger().info("Helper unresponsive but automatic self-heal is in cooldown — leaving the Repair banner");
        return false;
    }
    {
        std::scoped_lock lock(mutex_);
        if (selfHealing_) return false;
        selfHealing_ = true;
    }
    preferences_.setDouble(kLastSelfHealEpochKey, now);
    logger().warning("Helper enabled but unresponsive — attempting automatic silent re-registration");
    reregister();
    const bool recovered = probeVersion().has_value();
    if (!recovered) logger().warning("Automatic helper self-heal did not recover — manual Repair banner remains");
    std::scoped_lock lock(mutex_);
    selfHealing_ = false;
    return recovered;
}

}  // namespace vt
