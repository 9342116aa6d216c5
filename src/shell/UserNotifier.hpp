#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "base/Json.hpp"

namespace vt {

// A notification for the user, in the terms of the system's notification centre.
struct UserNotification {
    std::string identifier;  // unique per request
    std::string title;
    std::string body;
    std::string category;
    Json userInfo = Json::object();
    std::optional<long long> badge;
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
// Each call waits at most `timeout` for the bus to answer.
class DesktopNotifier final : public UserNotifying {
public:
    explicit DesktopNotifier(std::optional<std::string> address = std::nullopt,
                             std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void post(const UserNotification& notification) override;

private:
    std::optional<std::string> address_;
    std::chrono::milliseconds timeout_;
};

// Where nothing can show a notification: it goes to the log.
class LogNotifier final : public UserNotifying {
public:
    void post(const UserNotification& notification) override;
};

// The notifier of this platform and session.
std::unique_ptr<UserNotifying> makeSystemNotifier();

}  // namespace vt
