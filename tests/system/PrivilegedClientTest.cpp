#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "base/Clock.hpp"
#include "base/Log.hpp"
#include "system/PrivilegedClient.hpp"

namespace vt {
namespace {

using Kind = PrivilegedClientError::Kind;
using Registration = HelperTransport::Registration;

// A helper whose registration, version and replies the test sets. A "hanging" helper holds
// every call until released (or 10 s), as one that stopped answering would.
class FakeHelper final : public UnavailableHelperTransport {
public:
    struct State {
        std::mutex mutex;
        std::condition_variable released;
        bool hang = false;
        Registration registration = Registration::Enabled;
        std::optional<std::string> version = std::string(PrivilegedClient::kExpectedVersion);
        std::optional<std::string> versionAfterRegistering;
        bool needsApproval = false;
        int registrations = 0;
        int drops = 0;
        std::map<std::string, std::string> environment;
    };
    std::shared_ptr<State> state = std::make_shared<State>();

    using UnavailableHelperTransport::executeCommand;

    ~FakeHelper() override { release(); }
    void release() {
        std::scoped_lock lock(state->mutex);
        state->hang = false;
        state->released.notify_all();
    }

    HelperCommandReply executeCommand(const std::string& command, const std::vector<std::string>& arguments,
                                      const std::map<std::string, std::string>& environment) override {
        wait();
        std::scoped_lock lock(state->mutex);
        state->environment = environment;
        return {command + " " + arguments.at(0), "", 0};
    }
    HelperCommandReply executeCommandStreaming(const std::string&, const std::vector<std::string>&,
                                               ProgressHandler progress) override {
        progress("one", false);
        progress("two", true);
        wait();
        progress("late", false);
        return {"one\n", "two\n", 0};
    }
    std::string getVersion() override {
        wait();
        std::scoped_lock lock(state->mutex);
        if (!state->version) throw PrivilegedClientError::connectionFailed("XPC command call failed");
        return *state->version;
    }
    HelperPackageReply installPKG(const std::string&, const std::string&, const std::string&,
                                  const std::string&) override {
        return {false, "installer: The package is damaged", 1};
    }
    HelperReply replaceApp(const std::string&, const std::string&, const std::string&, const std::string&) override {
        return {false, "team identifier differs"};
    }
    HelperDictionaryReply verifyAppSignature(const std::string&) override { return {{}, "not signed"}; }
    HelperDictionaryReply getInstallInfo(const std::string&) override { return {{{"owner", "root"}}, ""}; }
    Registration registration() override {
        std::scoped_lock lock(state->mutex);
        return state->registration;
    }
    void registerDaemon() override {
        std::scoped_lock lock(state->mutex);
        if (state->needsApproval) {
            state->registration = Registration::RequiresApproval;
            throw PrivilegedClientError::requiresApproval();
        }
        ++state->registrations;
        if (state->versionAfterRegistering) state->version = state->versionAfterRegistering;
    }
    void unregisterDaemon() override { throw PrivilegedClientError::unregistrationFailed("not registered"); }
    void dropConnection() override {
        std::scoped_lock lock(state->mutex);
        ++state->drops;
    }

private:
    void wait() {
        std::unique_lock lock(state->mutex);
        state->released.wait_for(lock, std::chrono::seconds(10), [this] { return !state->hang; });
    }
};

class MemoryPreferences final : public HelperPreferences {
public:
    std::map<std::string, std::string> strings;
    std::map<std::string, double> numbers;
    std::optional<std::string> stringValue(const std::string& key) const override {
        auto found = strings.find(key);
        return found == strings.end() ? std::nullopt : std::optional<std::string>(found->second);
    }
    std::optional<double> doubleValue(const std::string& key) const override {
        auto found = numbers.find(key);
        return found == numbers.end() ? std::nullopt : std::optional<double>(found->second);
    }
    void setString(const std::string& key, const std::string& value) override { strings[key] = value; }
    void setDouble(const std::string& key, double value) override { numbers[key] = value; }
};

struct Fixture {
    std::shared_ptr<FakeHelper> helper = std::make_shared<FakeHelper>();
    MemoryPreferences preferences;
    FakeClock clock;
    PrivilegedClient client{helper, preferences, clock};
    FakeHelper::State& state() { return *helper->state; }
};

template <typename Action>
PrivilegedClientError errorOf(Action action) {
    try {
        action();
    } catch (const PrivilegedClientError& error) {
        return error;
    }
    return PrivilegedClientError::operationFailed("(no error)");
}

TEST(PrivilegedClientTest, OperationsKeepTheirTimeLimitsAndReportTheHelpersFailures) {
    Fixture f;
    HelperCommandReply reply = f.client.execute("/usr/local/bin/brew", {"upgrade"}, {{"HOME", "/Users/me"}}, 5);
    EXPECT_EQ(reply.standardOutput, "/usr/local/bin/brew upgrade");
    EXPECT_EQ(f.state().environment.at("HOME"), "/Users/me");

    PrivilegedClientError failure =
        errorOf([&] { f.client.installPKG("/private/tmp/a.pkg", "ab", "TEAM", "/Applications"); });
    EXPECT_EQ(failure.kind(), Kind::InstallerExited);
    EXPECT_EQ(failure.exitCode(), 1);
    EXPECT_EQ(failure.detail(), "installer: The package is damaged");
    failure = errorOf(
        [&] { f.client.replaceApp("/Applications/A.app", "/private/tmp/A.app", "/private/tmp/b/A.app", "TEAM"); });
    EXPECT_EQ(failure.kind(), Kind::OperationFailed);
    EXPECT_EQ(failure.description(), "team identifier differs");
    EXPECT_EQ(errorOf([&] { f.client.verifyAppSignature("/Applications/A.app"); }).description(), "not signed");
    EXPECT_EQ(f.client.installInfo("/Applications/A.app").at("owner"), "root");

    // Without a helper every operation says so, for the callers to take the prompt.
    MemoryPreferences preferences;
    PrivilegedClient absent(std::make_shared<UnavailableHelperTransport>(), preferences, f.clock);
    EXPECT_EQ(errorOf([&] { absent.removeBackup("/private/tmp/b/A.app"); }).kind(), Kind::HelperNotAvailable);
    EXPECT_EQ(errorOf([&] { absent.execute("/usr/bin/true", {}, {}, 1); }).kind(), Kind::HelperNotAvailable);

    // A helper that stops answering: the caller's limit for a command, 3 s for the version.
    f.state().hang = true;
    failure = errorOf([&] { f.client.execute("/usr/local/bin/brew", {"upgrade"}, {{"HOME", "/x"}}, 0.2); });
    EXPECT_EQ(failure.kind(), Kind::Timeout);
    EXPECT_EQ(failure.detail(), "/usr/local/bin/brew");
    EXPECT_EQ(failure.seconds(), 0.2);
    EXPECT_EQ(failure.description(), "/usr/local/bin/brew timed out after 0.2 s");
    std::vector<std::string> lines;
    std::mutex linesMutex;
    failure = errorOf([&] {
        f.client.executeStreaming(
            "/usr/local/bin/brew", {"upgrade"},
            [&](const std::string& line, bool isError) {
                std::scoped_lock lock(linesMutex);
                lines.push_back((isError ? "err:" : "out:") + line);
            },
            0.2);
    });
    EXPECT_EQ(failure.kind(), Kind::Timeout);
    const auto started = std::chrono::steady_clock::now();
    failure = errorOf([&] { f.client.version(); });
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(failure.description(), "Connection failed: Privileged helper is not responding");
    EXPECT_GE(waited, 2.9);
    EXPECT_LT(waited, 6.0);
    f.helper->release();
    // The line that came after the caller gave up went nowhere.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::scoped_lock lock(linesMutex);
    EXPECT_EQ(lines, (std::vector<std::string>{"out:one", "err:two"}));
}

TEST(PrivilegedClientTest, RegistrationChecksTheVersionAndTheApproval) {
    Fixture f;
    {
        LogCapture log;
        f.client.registerHelper();
        EXPECT_TRUE(log.contains("Registering privileged helper daemon..."));
        EXPECT_TRUE(log.contains("Helper daemon registered successfully"));
        EXPECT_TRUE(log.contains("Helper daemon running, version 2.1.6"));
    }
    f.state().version = "2.0";
    PrivilegedClientError mismatch = errorOf([&] { f.client.registerHelper(); });
    EXPECT_EQ(mismatch.kind(), Kind::RegistrationFailed);
    EXPECT_EQ(mismatch.detail(), "Version mismatch: expected Vantreel helper, got 2.0");
    {
        LogCapture log;
        f.state().version.reset();
        f.state().registration = Registration::RequiresApproval;
        f.client.registerHelper();
        EXPECT_TRUE(
            log.contains("Helper registered but not responding yet -- may need user approval in System Settings"));
        f.state().registration = Registration::Enabled;
        f.client.registerHelper();
        EXPECT_TRUE(log.contains("Helper registered but did not respond"));
    }
    LogCapture log;
    f.state().needsApproval = true;
    PrivilegedClientError approval = errorOf([&] { f.client.registerHelper(); });
    EXPECT_EQ(approval.kind(), Kind::RequiresApproval);
    EXPECT_EQ(approval.recoverySuggestion(), "Open System Settings > Login Items and approve Van Treel Helper");
    EXPECT_TRUE(
        log.contains("Failed to register helper daemon: Please approve Van Treel Helper in System Settings > "
                     "Login Items"));
    EXPECT_EQ(errorOf([&] { f.client.unregisterHelper(); }).kind(), Kind::UnregistrationFailed);
    EXPECT_TRUE(log.contains("Unregistering helper"));
    EXPECT_TRUE(log.contains("Failed to unregister helper: Unregistration failed: not registered"));
}

TEST(PrivilegedClientTest, HealthAtLaunchFollowsTheApplicationVersionAndTheHelpersVersion) {
    Fixture f;
    const std::string key = PrivilegedClient::kLastSeenAppVersionKey;
    {
        // First run: the version is remembered, nothing is refreshed.
        LogCapture log;
        f.client.checkHealthAtLaunch("1.0");
        EXPECT_EQ(f.preferences.strings.at(key), "1.0");
        EXPECT_EQ(f.state().registrations, 0);
        EXPECT_TRUE(log.contains("Helper already registered, version 2.1.6 — up to date"));
    }
    {
        LogCapture log;
        f.client.checkHealthAtLaunch("1.1");
        EXPECT_TRUE(log.contains("App version bumped 1.0 → 1.1 — refreshed helper registration silently"));
        EXPECT_EQ(f.state().registrations, 1);
        EXPECT_EQ(f.preferences.strings.at(key), "1.1");
    }
    {
        LogCapture log;
        f.state().registration = Registration::NotRegistered;
        f.client.checkHealthAtLaunch("1.2");
        EXPECT_TRUE(log.contains("App version bumped 1.1 → 1.2, helper not enabled, skipping silent refresh"));
        EXPECT_EQ(f.state().registrations, 1);
        EXPECT_EQ(f.preferences.strings.at(key), "1.2");
    }
    LogCapture log;
    f.state().registration = Registration::Enabled;
    f.state().version = "2.1.5";
    f.client.checkHealthAtLaunch("1.2");
    EXPECT_TRUE(log.contains("Helper version drift on launch: reported=2.1.5, expected=2.1.6 — re-registering"));
    f.client.checkHealth();
    EXPECT_TRUE(log.contains("Helper version drift: reported=2.1.5, expected=2.1.6 — re-registering"));
    f.state().version.reset();
    f.client.checkHealth();
    EXPECT_TRUE(log.contains("Helper registered but unreachable — re-registering"));
    EXPECT_EQ(f.state().registrations, 4);
    EXPECT_EQ(f.state().drops, 4);
}

TEST(PrivilegedClientTest, SelfHealRegistersAnUnresponsiveHelperAtMostOncePerCooldown) {
    Fixture f;
    const std::string key = PrivilegedClient::kLastSelfHealEpochKey;
    const double start = std::chrono::duration<double>(f.clock.now().time_since_epoch()).count();
    EXPECT_TRUE(f.client.selfHealIfUnresponsive());  // it answers: nothing to do
    EXPECT_EQ(f.state().registrations, 0);

    f.state().version.reset();
    {
        LogCapture log;
        EXPECT_FALSE(f.client.selfHealIfUnresponsive());
        EXPECT_TRUE(log.contains("Helper enabled but unresponsive — attempting automatic silent re-registration"));
        EXPECT_TRUE(log.contains("Automatic helper self-heal did not recover — manual Repair banner remains"));
        EXPECT_EQ(f.state().registrations, 1);
        EXPECT_EQ(f.state().drops, 1);
        EXPECT_DOUBLE_EQ(f.preferences.numbers.at(key), start);
        EXPECT_FALSE(f.client.isSelfHealing());
    }
    {
        // Ten minutes later: the cool-down holds.
        LogCapture log;
        f.clock.advance(std::chrono::minutes(10));
        EXPECT_FALSE(f.client.selfHealIfUnresponsive());
        EXPECT_TRUE(
            log.contains("Helper unresponsive but automatic self-heal is in cooldown — leaving the Repair "
                         "banner"));
        EXPECT_FALSE(log.contains("attempting automatic silent re-registration"));
        EXPECT_EQ(f.state().registrations, 1);
        EXPECT_DOUBLE_EQ(f.preferences.numbers.at(key), start);
    }
    // Past the 1800 s: a second attempt, which brings it back.
    LogCapture log;
    f.clock.advance(std::chrono::seconds(1201));
    f.state().versionAfterRegistering = "2.1.6";
    EXPECT_TRUE(f.client.selfHealIfUnresponsive());
    EXPECT_EQ(f.state().registrations, 2);
    EXPECT_DOUBLE_EQ(f.preferences.numbers.at(key), start + 1801);
    EXPECT_FALSE(log.contains("did not recover"));

    // A helper that is not enabled is not the self-heal's business.
    f.state().registration = Registration::NotRegistered;
    f.state().version.reset();
    f.clock.advance(std::chrono::hours(1));
    EXPECT_FALSE(f.client.selfHealIfUnresponsive());
    EXPECT_EQ(f.state().registrations, 2);
}

}  // namespace
}  // namespace vt
