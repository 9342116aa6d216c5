#include "shell/BackgroundScanLauncher.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Log.hpp"
#include "base/Strings.hpp"
#include "core/PackageCoordinator.hpp"
#include "core/ScheduledScanThrottle.hpp"
#include "settings/SettingsManager.hpp"
#include "shell/UserNotifier.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

using namespace std::chrono_literals;

std::optional<std::string> findTool(const std::string& name) {
    const char* path = std::getenv("PATH");
    for (std::string_view folder : split(path ? path : "", ':')) {
        const std::string candidate = std::string(folder) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

// A session bus of the test's own, in a temporary folder.
class PrivateBus {
public:
    explicit PrivateBus(const testing::TempDir& dir) {
        auto daemon = findTool("dbus-daemon");
        if (!daemon) return;
        std::string config = dir.write("bus.conf", R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>session</type><listen>unix:dir=)" + dir.path() + R"(</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*"/><allow receive_sender="*"/><allow own="*"/></policy>
</busconfig>)");
        int out[2];
        if (::pipe(out) != 0) return;
        const std::string configOption = "--config-file=" + config;  // made before the fork
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::execl(daemon->c_str(), daemon->c_str(), configOption.c_str(), "--print-address", "--nofork",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        char buffer[512] = {};
        pollfd readable{out[0], POLLIN, 0};
        if (::poll(&readable, 1, 5000) == 1) {
            ssize_t n = ::read(out[0], buffer, sizeof(buffer) - 1);
            if (n > 0) address_ = std::string(buffer, static_cast<std::size_t>(n));
        }
        ::close(out[0]);
        while (!address_.empty() && address_.back() == '\n') address_.pop_back();
    }
    ~PrivateBus() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& address() const { return address_; }

private:
    pid_t pid_ = -1;
    std::string address_;
};

struct Received {
    std::string title, body;
    std::map<std::string, std::string> hints;
    std::vector<std::string> actions;
};

// The desktop's notification service, as small as it can be: it keeps what it receives.
class NotificationServer {
public:
    explicit NotificationServer(const std::string& address) {
        sd_bus_new(&bus_);
        sd_bus_set_address(bus_, address.c_str());
        sd_bus_set_bus_client(bus_, 1);
        if (sd_bus_start(bus_) < 0) return;
        sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                                 kTable, this);
        if (sd_bus_request_name(bus_, "org.freedesktop.Notifications", 0) < 0) return;
        thread_ = std::thread([this] {
            while (!stop_) {
                if (sd_bus_process(bus_, nullptr) > 0) continue;
                sd_bus_wait(bus_, 50'000);
            }
        });
    }
    ~NotificationServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        sd_bus_flush_close_unref(bus_);
    }
    std::vector<Received> received() {
        std::scoped_lock lock(mutex_);
        return received_;
    }
    // Whether it shows buttons, and the one "the user" presses at once (none when empty).
    void setActions(bool shown, std::string press) {
        std::scoped_lock lock(mutex_);
        actions_ = shown;
        press_ = std::move(press);
    }

private:
    static int notify(sd_bus_message* m, void* self, sd_bus_error*) {
        const char *app = nullptr, *icon = nullptr, *title = nullptr, *body = nullptr;
        uint32_t replaces = 0;
        sd_bus_message_read(m, "susss", &app, &replaces, &icon, &title, &body);
        Received item{title, body, {}, {}};
        char** actions = nullptr;
        sd_bus_message_read_strv(m, &actions);
        for (char** action = actions; action && *action; ++action) {
            item.actions.push_back(*action);
            std::free(*action);
        }
        std::free(static_cast<void*>(actions));
        sd_bus_message_enter_container(m, 'a', "{sv}");
        while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
            const char* key = nullptr;
            sd_bus_message_read(m, "s", &key);
            const char* contents = nullptr;
            sd_bus_message_peek_type(m, nullptr, &contents);
            std::string type = contents;
            sd_bus_message_enter_container(m, 'v', contents);
            if (type == "s") {
                const char* text = nullptr;
                sd_bus_message_read(m, "s", &text);
                item.hints[key] = text;
            } else if (type == "x") {
                int64_t number = 0;
                sd_bus_message_read(m, "x", &number);
                item.hints[key] = std::to_string(number);
            } else {
                sd_bus_message_skip(m, contents);
            }
            sd_bus_message_exit_container(m);
            sd_bus_message_exit_container(m);
        }
        auto* server = static_cast<NotificationServer*>(self);
        std::scoped_lock lock(server->mutex_);
        server->received_.push_back(item);
        const auto id = static_cast<uint32_t>(server->received_.size());
        int status = sd_bus_reply_method_return(m, "u", id);
        if (!server->press_.empty()) {
            sd_bus_emit_signal(server->bus_, "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                               "ActionInvoked", "us", id, server->press_.c_str());
        }
        return status;
    }
    static int capabilities(sd_bus_message* m, void* self, sd_bus_error*) {
        auto* server = static_cast<NotificationServer*>(self);
        std::scoped_lock lock(server->mutex_);
        return server->actions_ ? sd_bus_reply_method_return(m, "as", 2, "body", "actions")
                                : sd_bus_reply_method_return(m, "as", 1, "body");
    }
    static constexpr sd_bus_vtable kTable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("GetCapabilities", "", "as", capabilities, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_SIGNAL("ActionInvoked", "us", 0),
        SD_BUS_VTABLE_END,
    };

    sd_bus* bus_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Received> received_;
    bool actions_ = false;
    std::string press_;
};

class BackgroundScanTest : public ::testing::Test {
protected:
    testing::TempDir dir_;
    DefaultsStore defaults_{dir_.file("prefs.json")};
    NotificationCenter notifications_;
    SettingsManager settings_{defaults_, notifications_};
    FakeClock clock_;

    void storeDate(std::string_view key, std::chrono::minutes ago) {
        defaults_.set(key, toReferenceSeconds(clock_.now() - ago));
    }
};

TEST_F(BackgroundScanTest, ThrottleTakesTheLaterDateAndAtLeastOneHour) {
    ScheduledScanThrottle throttle(defaults_);
    EXPECT_FALSE(throttle.shouldSkip(clock_.now(), 24));  // no date: never skipped
    storeDate(PackageCoordinator::kLastCompletedRefreshDate, 5h);
    storeDate(PackageCoordinator::kBackgroundLastScanDate, 50min);
    EXPECT_EQ(throttle.lastScanDate(), clock_.now() - 50min);
    EXPECT_TRUE(throttle.shouldSkip(clock_.now(), 0));    // 0 hours counts as one
    EXPECT_TRUE(throttle.shouldSkip(clock_.now(), -3));
    EXPECT_TRUE(throttle.shouldSkip(clock_.now(), 2));
    clock_.advance(10min);
    EXPECT_FALSE(throttle.shouldSkip(clock_.now(), 0));  // exactly an hour has passed
    defaults_.set(PackageCoordinator::kBackgroundLastScanDate, "yesterday");  // wrong type: ignored
    EXPECT_EQ(throttle.lastScanDate(), clock_.now() - 5h - 10min);
}

TEST_F(BackgroundScanTest, CountsAreStoredAndRisesAreAnnouncedOnTheSessionBus) {
    PrivateBus bus(dir_);
    if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon is not installed";
    NotificationServer server(bus.address());
    DesktopNotifier notifier(bus.address());
    settings_.setValue("NotifyUpdates", true);
    std::optional<std::size_t> found = 3;
    BackgroundScanLauncher launcher(defaults_, settings_, notifier, [&found] { return found; }, &clock_);

    // The first scan: from nothing to 3.
    ASSERT_EQ(launcher.run(), BackgroundScanLauncher::Outcome::Notified);
    ASSERT_EQ(server.received().size(), 1u);
    Received first = server.received()[0];
    EXPECT_EQ(first.title, "New updates available");
    EXPECT_EQ(first.body, "3 new updates are ready to install.");
    EXPECT_EQ(first.hints["category"], "UPDATES_AVAILABLE");
    EXPECT_EQ(first.hints["x-vantreel-source"], "background_scan");
    EXPECT_EQ(first.hints["x-vantreel-totalCount"], "3");
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(clock_.now().time_since_epoch()).count();
    EXPECT_EQ(first.hints["x-vantreel-identifier"], "background-scan-" + std::to_string(seconds));
    EXPECT_EQ(defaults_.integerValue(BackgroundScanLauncher::kLastOutdatedCount), 3);

    // Within the interval nothing runs.
    found = 9;
    EXPECT_EQ(launcher.run(), BackgroundScanLauncher::Outcome::Skipped);

    // Fewer than last time: stored, not announced. One more: the singular text.
    clock_.advance(25h);
    found = 1;
    EXPECT_EQ(launcher.run(), BackgroundScanLauncher::Outcome::Stored);
    EXPECT_EQ(defaults_.integerValue(BackgroundScanLauncher::kLastOutdatedCount), 1);
    clock_.advance(25h);
    found = 2;
    EXPECT_EQ(launcher.run(), BackgroundScanLauncher::Outcome::Notified);
    ASSERT_EQ(server.received().size(), 2u);
    EXPECT_EQ(server.received()[1].body, "1 new update is ready to install.");

    // A refresh that does not complete keeps the last good count and date.
    clock_.advance(25h);
    found = std::nullopt;
    LogCapture log;
    EXPECT_EQ(launcher.run(), BackgroundScanLauncher::Outcome::NotCompleted);
    EXPECT_TRUE(log.contains("Background scan not saved: the scan did not complete"));
    EXPECT_EQ(defaults_.integerValue(BackgroundScanLauncher::kLastOutdatedCount), 2);
    EXPECT_EQ(ScheduledScanThrottle(defaults_).lastScanDate(), clock_.now() - 25h);

    // A count of the wrong type counts as none; with notifications off nothing is posted.
    defaults_.set(BackgroundScanLauncher::kLastOutdatedCount, "seven");
    settings_.setValue("NotifyUpdates", false);
    found = 4;
    EXPECT_EQ(launcher.run(), BackgroundScanLauncher::Outcome::Stored);
    EXPECT_EQ(server.received().size(), 2u);
    EXPECT_EQ(defaults_.integerValue(BackgroundScanLauncher::kLastOutdatedCount), 4);
}

TEST_F(BackgroundScanTest, AClickOnTheNotificationShowsTheUpdatesWhereTheServiceHasButtons) {
    PrivateBus bus(dir_);
    if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon is not installed";
    NotificationServer server(bus.address());
    settings_.setValue("NotifyUpdates", true);
    std::optional<std::size_t> found = 1;
    int shown = 0;
    auto scanWith = [&](DesktopNotifier& notifier) {
        clock_.advance(25h);
        *found += 1;
        BackgroundScanLauncher launcher(defaults_, settings_, notifier, [&found] { return found; }, &clock_);
        launcher.setShowUpdates([&shown] { ++shown; });
        return launcher.run();
    };

    // Pressed at once: shown, without waiting out the limit.
    server.setActions(true, "default");
    DesktopNotifier patient(bus.address(), 5s, 20s);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(scanWith(patient), BackgroundScanLauncher::Outcome::Notified);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(shown, 1);
    ASSERT_EQ(server.received().size(), 1u);
    EXPECT_EQ(server.received()[0].actions,
              (std::vector<std::string>{"default", "Show updates", "show-updates", "Show updates"}));

    // Never pressed: the process waits no longer than its limit.
    server.setActions(true, "");
    DesktopNotifier brief(bus.address(), 5s, 300ms);
    start = std::chrono::steady_clock::now();
    ASSERT_EQ(scanWith(brief), BackgroundScanLauncher::Outcome::Notified);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(shown, 1);

    // A service without buttons gets none, and nobody waits for a press.
    server.setActions(false, "");
    start = std::chrono::steady_clock::now();
    ASSERT_EQ(scanWith(patient), BackgroundScanLauncher::Outcome::Notified);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    ASSERT_EQ(server.received().size(), 3u);
    EXPECT_TRUE(server.received()[2].actions.empty());
}

TEST_F(BackgroundScanTest, ABusThatDoesNotAnswerTimesOutAndTheCountIsKept) {
    // A socket that accepts connections and never says a word.
    std::string path = dir_.file("silent");
    int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    DesktopNotifier notifier("unix:path=" + path, 300ms);
    settings_.setValue("NotifyUpdates", true);
    BackgroundScanLauncher launcher(defaults_, settings_, notifier, [] { return std::optional<std::size_t>(2); },
                                    &clock_);
    LogCapture log;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(launcher.run(), BackgroundScanLauncher::Outcome::Notified);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(log.contains("Failed to send the background scan notification: desktop notification service"));
    EXPECT_EQ(defaults_.integerValue(BackgroundScanLauncher::kLastOutdatedCount), 2);
    ::close(listener);
}

TEST(ScriptNotifierTest, TextsReachTheNotificationScriptAsArgumentsNeverAsItsSource) {
    testing::TempDir dir;
    const std::string record = dir.file("arguments");
    std::string tool = dir.writeExecutable("osascript", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + record + "'\n");
    ScriptNotifier notifier(nullptr, tool);
    UserNotification notification;
    notification.title = R"(New" & (do shell script "touch pwned") & ")";
    notification.body = "3 new updates are ready to install.";
    notifier.post(notification);
    const std::string arguments = readFile(record).value_or("");
    const std::vector<std::string_view> lines = splitLines(arguments);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[6], notification.title);
    EXPECT_EQ(lines[7], notification.body);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(lines[i].find("pwned"), std::string::npos) << lines[i];

    ScriptNotifier failing(nullptr, dir.writeExecutable("broken", "#!/bin/sh\necho 'not allowed' >&2\nexit 1\n"));
    EXPECT_THROW(failing.post(notification), NotificationError);
}

}  // namespace
}  // namespace vt
