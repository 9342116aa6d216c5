#include "shell/UserNotifier.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>

#include <unistd.h>

#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Platform.hpp"
#include "system/CommandRunner.hpp"
#include "system/SharedLibrary.hpp"

#if !defined(__APPLE__)
#include <systemd/sd-bus.h>
#endif

namespace vt {

namespace {

const Logger& logger() {
    static const Logger log("UserNotifier");
    return log;
}

[[maybe_unused]] constexpr const char* kOsascript = "/usr/bin/osascript";

}  // namespace

void LogNotifier::post(const UserNotification& notification) {
    logger().info(
        localized("log.notification.logged", {notification.identifier, notification.title, notification.body}));
}

#if !defined(__APPLE__)

namespace {

// libsystemd is opened only when a notification is shown: linked, it and the five libraries it
// loads would be mapped and bound at every start of every command. These pointers, named as the
// functions they stand for, are what the calls below reach.
decltype(&::sd_bus_new) sd_bus_new = nullptr;
decltype(&::sd_bus_set_address) sd_bus_set_address = nullptr;
decltype(&::sd_bus_set_bus_client) sd_bus_set_bus_client = nullptr;
decltype(&::sd_bus_set_method_call_timeout) sd_bus_set_method_call_timeout = nullptr;
decltype(&::sd_bus_start) sd_bus_start = nullptr;
decltype(&::sd_bus_close_unref) sd_bus_close_unref = nullptr;
decltype(&::sd_bus_process) sd_bus_process = nullptr;
decltype(&::sd_bus_wait) sd_bus_wait = nullptr;
decltype(&::sd_bus_call_async) sd_bus_call_async = nullptr;
decltype(&::sd_bus_match_signal) sd_bus_match_signal = nullptr;
decltype(&::sd_bus_slot_unref) sd_bus_slot_unref = nullptr;
decltype(&::sd_bus_message_new_method_call) sd_bus_message_new_method_call = nullptr;
decltype(&::sd_bus_message_unref) sd_bus_message_unref = nullptr;
decltype(&::sd_bus_message_get_error) sd_bus_message_get_error = nullptr;
decltype(&::sd_bus_message_append) sd_bus_message_append = nullptr;
decltype(&::sd_bus_message_append_basic) sd_bus_message_append_basic = nullptr;
decltype(&::sd_bus_message_open_container) sd_bus_message_open_container = nullptr;
decltype(&::sd_bus_message_close_container) sd_bus_message_close_container = nullptr;
decltype(&::sd_bus_message_read) sd_bus_message_read = nullptr;
decltype(&::sd_bus_message_read_strv) sd_bus_message_read_strv = nullptr;

// Why libsystemd cannot be used; empty once every function was found in it.
const std::string& sdBusFailure() {
    static const std::string failure = [] {
        try {
            const SharedLibrary library("libsystemd", 0);
            library.bind("sd_bus_new", sd_bus_new);
            library.bind("sd_bus_set_address", sd_bus_set_address);
            library.bind("sd_bus_set_bus_client", sd_bus_set_bus_client);
            library.bind("sd_bus_set_method_call_timeout", sd_bus_set_method_call_timeout);
            library.bind("sd_bus_start", sd_bus_start);
            library.bind("sd_bus_close_unref", sd_bus_close_unref);
            library.bind("sd_bus_process", sd_bus_process);
            library.bind("sd_bus_wait", sd_bus_wait);
            library.bind("sd_bus_call_async", sd_bus_call_async);
            library.bind("sd_bus_match_signal", sd_bus_match_signal);
            library.bind("sd_bus_slot_unref", sd_bus_slot_unref);
            library.bind("sd_bus_message_new_method_call", sd_bus_message_new_method_call);
            library.bind("sd_bus_message_unref", sd_bus_message_unref);
            library.bind("sd_bus_message_get_error", sd_bus_message_get_error);
            library.bind("sd_bus_message_append", sd_bus_message_append);
            library.bind("sd_bus_message_append_basic", sd_bus_message_append_basic);
            library.bind("sd_bus_message_open_container", sd_bus_message_open_container);
            library.bind("sd_bus_message_close_container", sd_bus_message_close_container);
            library.bind("sd_bus_message_read", sd_bus_message_read);
            library.bind("sd_bus_message_read_strv", sd_bus_message_read_strv);
            return std::string();
        } catch (const SharedLibrary::Unavailable& error) {
            return std::string(error.what());
        }
    }();
    return failure;
}

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
    if (!sdBusFailure().empty()) throw NotificationError("desktop notification service: " + sdBusFailure());
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

// Runs the bus until `done` holds; false when `deadline` passed first.
template <typename Done>
bool processUntil(sd_bus* bus, std::chrono::steady_clock::time_point deadline, Done done) {
    while (!done()) {
        int processed = sd_bus_process(bus, nullptr);
        check(processed, "connection lost");
        if (processed > 0) continue;
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        sd_bus_wait(bus, static_cast<uint64_t>(left.count()));
    }
    return true;
}

// sd-bus waits up to 90 seconds for a silent bus's greeting whatever the call's own limit:
// calls are made asynchronously and the whole exchange bounded here.
void callWithin(sd_bus* bus, sd_bus_message* request, sd_bus_message_handler_t handler, Answer& answer,
                std::chrono::milliseconds timeout) {
    sd_bus_slot* slot = nullptr;
    check(sd_bus_call_async(bus, &slot, request, handler, &answer, 0), "request");
    std::unique_ptr<sd_bus_slot, SlotDeleter> slotHolder(slot);
    if (!processUntil(bus, std::chrono::steady_clock::now() + timeout, [&answer] { return answer.done; })) {
        throw NotificationError("desktop notification service: no answer in time");
    }
    if (!answer.error.empty()) throw NotificationError("desktop notification service: " + answer.error);
}

int receiveCapabilities(sd_bus_message* reply, void* context, sd_bus_error*) {
    auto* answer = static_cast<Answer*>(context);
    answer->done = true;
    char** list = nullptr;
    if (sd_bus_message_get_error(reply) == nullptr && sd_bus_message_read_strv(reply, &list) >= 0 && list) {
        for (char** item = list; *item; ++item) {
            if (std::strcmp(*item, "actions") == 0) answer->id = 1;
            std::free(*item);
        }
        std::free(static_cast<void*>(list));
    }
    return 0;  // an old service without the method: no buttons, the notification still goes
}

// What the user did with a shown notification.
struct Choice {
    uint32_t id = 0;
    bool closed = false;
    std::string action;
};

int receiveAction(sd_bus_message* signal, void* context, sd_bus_error*) {
    auto* choice = static_cast<Choice*>(context);
    uint32_t id = 0;
    const char* key = nullptr;
    if (sd_bus_message_read(signal, "us", &id, &key) >= 0 && id == choice->id && key) choice->action = key;
    return 0;
}

int receiveClosed(sd_bus_message* signal, void* context, sd_bus_error*) {
    auto* choice = static_cast<Choice*>(context);
    uint32_t id = 0;
    if (sd_bus_message_read(signal, "u", &id) >= 0 && id == choice->id) choice->closed = true;
    return 0;
}

bool serviceShowsActions(sd_bus* bus, std::chrono::milliseconds timeout) {
    sd_bus_message* raw = nullptr;
    check(sd_bus_message_new_method_call(bus, &raw, kService, kPath, kService, "GetCapabilities"), "request");
    Message request(raw);
    Answer answer;
    callWithin(bus, request.get(), receiveCapabilities, answer, timeout);
    return answer.id == 1;
}

}  // namespace

DesktopNotifier::DesktopNotifier(std::optional<std::string> address, std::chrono::milliseconds timeout,
                                 std::chrono::milliseconds actionWait)
    : address_(std::move(address)), timeout_(timeout), actionWait_(actionWait) {}

void DesktopNotifier::post(const UserNotification& notification) {
    Bus bus = openBus(address_, timeout_);
    const bool withActions = !notification.actions.empty() && serviceShowsActions(bus.get(), timeout_);
    // Listening starts before the request, so that a choice made at once is not missed.
    Choice choice;
    sd_bus_slot* actionSlot = nullptr;
    sd_bus_slot* closedSlot = nullptr;
    if (withActions) {
        check(sd_bus_match_signal(bus.get(), &actionSlot, nullptr, kPath, kService, "ActionInvoked", receiveAction,
                                  &choice),
              "listening");
        check(sd_bus_match_signal(bus.get(), &closedSlot, nullptr, kPath, kService, "NotificationClosed",
                                  receiveClosed, &choice),
              "listening");
    }
    std::unique_ptr<sd_bus_slot, SlotDeleter> actionHolder(actionSlot), closedHolder(closedSlot);

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
    check(sd_bus_message_open_container(m, 'a', "s"), "actions");
    if (withActions) {
        for (const auto& [key, label] : notification.actions) {
            check(sd_bus_message_append_basic(m, 's', key.c_str()), "actions");
            check(sd_bus_message_append_basic(m, 's', label.c_str()), "actions");
        }
    }
    check(sd_bus_message_close_container(m), "actions");
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

    Answer answer;
    callWithin(bus.get(), m, receiveAnswer, answer, timeout_);
    const uint32_t id = answer.id;
    logger().info(localized("log.notification.shown", {notification.identifier, std::to_string(id)}));
    if (!withActions || !notification.onAction) return;

    choice.id = id;
    const auto deadline = std::chrono::steady_clock::now() + actionWait_;
    processUntil(bus.get(), deadline, [&choice] { return choice.closed || !choice.action.empty(); });
    if (choice.action.empty()) return;  // dismissed, or no choice in time
    logger().info(localized("log.notification.action", {notification.identifier, choice.action}));
    notification.onAction(choice.action);
}

std::unique_ptr<UserNotifying> makeSystemNotifier() {
    if (paths::environmentValue("DBUS_SESSION_BUS_ADDRESS") || paths::environmentValue("XDG_RUNTIME_DIR")) {
        return std::make_unique<DesktopNotifier>();
    }
    return std::make_unique<LogNotifier>();
}

#else

std::unique_ptr<UserNotifying> makeSystemNotifier() {
    if (::access(kOsascript, X_OK) == 0) return std::make_unique<ScriptNotifier>();
    return std::make_unique<LogNotifier>();
}

#endif

ScriptNotifier::ScriptNotifier(CommandRunning* runner, std::string osascript)
    : runner_(runner), osascript_(std::move(osascript)) {}

void ScriptNotifier::post(const UserNotification& notification) {
    CommandRequest request;
    request.command = osascript_;
    // The texts are the script's arguments, never part of its source: nothing in them is run.
    request.arguments = {"-e", "on run argv",
                         "-e", "display notification (item 2 of argv) with title (item 1 of argv) sound name \"default\"",
                         "-e", "end run",
                         notification.title, notification.body};
    request.timeout = 10;
    try {
        (runner_ ? *runner_ : CommandRunner::shared()).execute(request);
    } catch (const CommandError& error) {
        throw NotificationError(std::string("notification centre: ") + error.what());
    }
    logger().info(localized("log.notification.sent", {notification.identifier}));
}

}  // namespace vt
