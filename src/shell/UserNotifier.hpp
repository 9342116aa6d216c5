#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/Json.hpp"

namespace vt {

class CommandRunning;

// A notification for the user, in the terms of the system's notification centre.
struct UserNotification {
    std::string identifier;  // unique per request
    std::string title;
    std::string body;
    std::string category;
    Json userInfo = Json::object();
    std::optional<long long> badge;
    // Buttons, as key and label. Where the service shows them, the one the user chooses is
    // given to onAction ("default" is a click on the notification itself).
    std::vector<std::pair<std::string, std::string>> actions;
    std::function<void(const std::string& key)> onAction;
};

class NotificationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Shows notifications. Throws NotificationError when one cannot be delivered.
class UserNotifying {
public:
    virtual ~UserNotifying() = default;
    virtual void post(const UserNotification& notification) = 0;
};

// The desktop notification service of the user's session bus: the one named by
// DBUS_SESSION_BUS_ADDRESS, else the bus of XDG_RUNTIME_DIR, else the given address.
// Each call waits at most `timeout` for the bus to answer. A notification with actions, on
// a service that shows them, is then watched for at most `actionWait`: a process started
// only to scan must end, and a choice made later finds nobody listening.
class DesktopNotifier final : public UserNotifying {
public:
    static constexpr std::chrono::milliseconds kActionWait = std::chrono::seconds(30);

    explicit DesktopNotifier(std::optional<std::string> address = std::nullopt,
                             std::chrono::milliseconds timeout = std::chrono::seconds(5),
                             std::chrono::milliseconds actionWait = kActionWait);
    void post(const UserNotification& notification) override;

private:
    std::optional<std::string> address_;
    std::chrono::milliseconds timeout_;
    std::chrono::milliseconds actionWait_;
};

// The macOS notification centre, reached through /usr/bin/osascript (title, body and the
// default sound; no badge, no buttons). Throws NotificationError when the tool fails.
class ScriptNotifier final : public UserNotifying {
public:
    explicit ScriptNotifier(CommandRunning* runner = nullptr, std::string osascript = "/usr/bin/osascript");
    void post(const UserNotification& notification) override;

private:
    CommandRunning* runner_;
    std::string osascript_;
};

// Where nothing can show a notification: it goes to the log.
class LogNotifier final : public UserNotifying {
public:
    void post(const UserNotification& notification) override;
};

// The notifier of this platform and session.
std::unique_ptr<UserNotifying> makeSystemNotifier();

}  // namespace vt
