#include "shell/UserNotifier.hpp"

#include <cstring>
#include <memory>

#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Platform.hpp"

#if !defined(__APPLE__)
#include <systemd/sd-bus.h>
#endif

namespace vt {

namespace {

const Logger& logger() {
    static const Logger log("UserNotifier");
    return log;
}

}  // namespace

void LogNotifier::post(const UserNotification& notification) {
    logger().info("Notification " + notification.identifier + ": " + notification.title + " — " + notification.body);
}

#if !defined(__APPLE__)

namespace {

struct BusDeleter {
    // No flush: on a silent bus it would wait for the greeting.
    void operator()(sd_bus* bus) const noexcept { sd_bus_close_unref(bus); }
};
struct MessageDeleter {
    void operator()(sd_bus_message* message) const noexcept { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusDeleter>;
using Message = std::unique_ptr<sd_bus_message, MessageDeleter>;

// sd-bus reports failures as negative errno values.
void check(int status, const char* what) {
    if (status >= 0) return;
    std::string message = "desktop notification service: ";
    message += what;
    message += ": ";
    message += std::strerror(-status);
    throw NotificationError(message);
}

// The time limit is set before connecting, so that it bounds the greeting too.
Bus openBus(const std::optional<std::string>& given, std::chrono::milliseconds timeout) {
    std::optional<std::string> address = given ? given : paths::environmentValue("DBUS_SESSION_BUS_ADDRESS");
    if (!address) {
        std::optional<std::string> runtime = paths::environmentValue("XDG_RUNTIME_DIR");
        if (!runtime) throw NotificationError("desktop notification service: no session bus");
        address = "unix:path=";
        *address += *runtime;
        *address += "/bus";
    }
    sd_bus* raw = nullptr;
    check(sd_bus_new(&raw), "no bus");
    Bus bus(raw);
    check(sd_bus_set_address(raw, address->c_str()), "bad bus address");
    check(sd_bus_set_bus_client(raw, 1), "bus setup");
    check(sd_bus_set_method_call_timeout(raw, static_cast<uint64_t>(timeout.count()) * 1000), "bus setup");
    check(sd_bus_start(raw), "cannot connect to the session bus");
    return bus;
}

struct SlotDeleter {
    void operator()(sd_bus_slot* slot) const noexcept { sd_bus_slot_unref(slot); }
};

struct Answer {
    bool done = false;
    std::string error;
    uint32_t id = 0;
};

int receiveAnswer(sd_bus_message* reply, void* context, sd_bus_error*) {
    auto* answer = static_cast<Answer*>(context);
    answer->done = true;
    if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
        answer->error = error->message != nullptr ? error->message : "failed";
    } else if (sd_bus_message_read(reply, "u", &answer->id) < 0) {
        answer->error = "unreadable answer";
    }
    return 0;
}

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";

void appendHint(sd_bus_message* message, const char* key, const char* type, const void* value) {
    check(sd_bus_message_open_container(message, 'e', "sv"), "hint");
    check(sd_bus_message_append_basic(message, 's', key), "hint");
    check(sd_bus_message_open_container(message, 'v', type), "hint");
    check(sd_bus_message_append_basic(message, type[0], value), "hint");
    check(sd_bus_message_close_container(message), "hint");
    check(sd_bus_message_close_container(message), "hint");
}

}  // namespace

DesktopNotifier::DesktopNotifier(std::optional<std::string> address, std::chrono::milliseconds timeout)
    : address_(std::move(address)), timeout_(timeout) {}

void DesktopNotifier::post(const UserNotification& notification) {
    Bus bus = openBus(address_, timeout_);
    sd_bus_message* raw = nullptr;
    check(sd_bus_message_new_method_call(bus.get(), &raw, kService, kPath, kService, "Notify"), "request");
    Message request(raw);
    sd_bus_message* m = request.get();
    const char* application = kProductName;
    const uint32_t replaces = 0;
    const char* icon = "";
    check(sd_bus_message_append(m, "susss", application, replaces, icon, notification.title.c_str(),
                                notification.body.c_str()),
          "request");
    check(sd_bus_message_append(m, "as", 0), "request");
    check(sd_bus_message_open_container(m, 'a', "{sv}"), "hints");
    appendHint(m, "category", "s", notification.category.c_str());
    const char* sound = "message-new-instant";
    appendHint(m, "sound-name", "s", sound);
    const char* identifier = notification.identifier.c_str();
    appendHint(m, "x-vantreel-identifier", "s", identifier);
    // The user info travels as "x-vantreel-<key>" hints: texts as strings, numbers as int64.
    for (const auto& [key, value] : notification.userInfo.items()) {
        std::string name = "x-vantreel-" + key;
        if (value.is_string()) {
            appendHint(m, name.c_str(), "s", value.get_ref<const std::string&>().c_str());
        } else if (value.is_number_integer()) {
            int64_t number = value.get<int64_t>();
            appendHint(m, name.c_str(), "x", &number);
        }
    }
    if (notification.badge) {
        int64_t badge = *notification.badge;
        appendHint(m, "x-vantreel-badge", "x", &badge);
    }
    check(sd_bus_message_close_container(m), "hints");
    const int32_t expireDefault = -1;
    check(sd_bus_message_append_basic(m, 'i', &expireDefault), "request");

    // sd-bus waits up to 90 seconds for a silent bus's greeting whatever the call's own
    // limit: the call is made asynchronously and the whole exchange bounded here.
    Answer answer;
    sd_bus_slot* slot = nullptr;
    check(sd_bus_call_async(bus.get(), &slot, m, receiveAnswer, &answer, 0), "request");
    std::unique_ptr<sd_bus_slot, SlotDeleter> slotHolder(slot);
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    while (!answer.done) {
        int processed = sd_bus_process(bus.get(), nullptr);
        check(processed, "connection lost");
        if (processed > 0) continue;
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) throw NotificationError("desktop notification service: no answer in time");
        sd_bus_wait(bus.get(), static_cast<uint64_t>(left.count()));
    }
    if (!answer.error.empty()) throw NotificationError("desktop notification service: " + answer.error);
    const uint32_t id = answer.id;
    std::string message = "Notification ";
    message += notification.identifier;
    message += " shown as ";
    message += std::to_string(id);
    logger().info(message);
}

std::unique_ptr<UserNotifying> makeSystemNotifier() {
    if (paths::environmentValue("DBUS_SESSION_BUS_ADDRESS") || paths::environmentValue("XDG_RUNTIME_DIR")) {
        return std::make_unique<DesktopNotifier>();
    }
    return std::make_unique<LogNotifier>();
}

#else

std::unique_ptr<UserNotifying> makeSystemNotifier() { return std::make_unique<LogNotifier>(); }

#endif

}  // namespace vt
