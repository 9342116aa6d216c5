#include "shell/BackgroundScanScheduler.hpp"

#include <condition_variable>
#include <mutex>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "base/Json.hpp"
#include "base/Log.hpp"
#include "base/NotificationCenter.hpp"
#include "core/PackageCoordinator.hpp"
#include "settings/DefaultsStore.hpp"
#include "settings/SettingsManager.hpp"
#include "support/Eventually.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

using namespace std::chrono_literals;
using Tick = BackgroundScanScheduler::Tick;

// Timers that wake only when the test says, whether or not they were cancelled meanwhile:
// the case of a timer that had already woken when it was re-armed.
class GatedTimers {
public:
    bool sleep(std::chrono::milliseconds delay) {
        std::unique_lock lock(mutex_);
        const std::size_t index = delays_.size();
        delays_.push_back(delay);
        changed_.notify_all();
        changed_.wait(lock, [&] { return closing_ || released_.count(index) > 0; });
        return !closing_;
    }
    void release(std::size_t index) {
        std::scoped_lock lock(mutex_);
        released_.insert(index);
        changed_.notify_all();
    }
    void close() {
        std::scoped_lock lock(mutex_);
        closing_ = true;
        changed_.notify_all();
    }
    std::vector<std::chrono::milliseconds> delays() {
        std::scoped_lock lock(mutex_);
        return delays_;
    }
    bool armed(std::size_t count) {
        return testing::eventually([&] { return delays().size() >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::chrono::milliseconds> delays_;
    std::set<std::size_t> released_;
    bool closing_ = false;
};

class BackgroundScanSchedulerTest : public ::testing::Test {
protected:
    testing::TempDir dir_;
    DefaultsStore defaults_{dir_.file("prefs.json")};
    NotificationCenter notifications_;
    SettingsManager settings_{defaults_, notifications_};
    FakeClock clock_;
    GatedTimers timers_;
    std::mutex mutex_;
    std::vector<Tick> ticks_;
    int scans_ = 0;
    bool busy_ = false;

    std::unique_ptr<BackgroundScanScheduler> makeScheduler() {
        BackgroundScanScheduler::Hooks hooks;
        hooks.isBusy = [this] {
            std::scoped_lock lock(mutex_);
            return busy_;
        };
        // A scan that completes stores its date, as the refresh pipeline does.
        hooks.scan = [this] {
            defaults_.set(PackageCoordinator::kLastCompletedRefreshDate, toReferenceSeconds(clock_.now()));
            std::scoped_lock lock(mutex_);
            ++scans_;
        };
        hooks.ticked = [this](Tick tick) {
            std::scoped_lock lock(mutex_);
            ticks_.push_back(tick);
        };
        BackgroundScanScheduler::Options options;
        options.clock = &clock_;
        options.sleep = [this](std::chrono::milliseconds delay, std::stop_token) { return timers_.sleep(delay); };
        return std::make_unique<BackgroundScanScheduler>(defaults_, settings_, notifications_, hooks, options);
    }
    std::vector<Tick> ticks() {
        std::scoped_lock lock(mutex_);
        return ticks_;
    }
    void setBusy(bool busy) {
        std::scoped_lock lock(mutex_);
        busy_ = busy;
    }
    void finish(BackgroundScanScheduler& scheduler) {
        timers_.close();
        scheduler.stop();
    }
};

TEST_F(BackgroundScanSchedulerTest, ARestartedTimerMakesTheOldOnesTickVoid) {
    auto scheduler = makeScheduler();
    scheduler->start();
    ASSERT_TRUE(timers_.armed(1));
    EXPECT_EQ(timers_.delays()[0], 0ms);  // nothing stored: the first tick comes at once
    const auto first = scheduler->generation();
    scheduler->rearm();
    ASSERT_TRUE(timers_.armed(2));
    EXPECT_GT(scheduler->generation(), first);

    timers_.release(0);  // the old timer wakes after all
    timers_.release(1);
    ASSERT_TRUE(timers_.armed(3));  // the current one scanned and re-armed
    finish(*scheduler);
    EXPECT_EQ(scans_, 1);
    EXPECT_EQ(ticks(), std::vector<Tick>{Tick::Scanned});
    EXPECT_EQ(timers_.delays().size(), 3u);  // the void tick armed nothing
    // After a completed scan the next look comes at the latest a quarter of an hour later.
    EXPECT_EQ(timers_.delays()[2], BackgroundScanScheduler::kMaximumDelay);
}

TEST_F(BackgroundScanSchedulerTest, TicksObeyTheSharedThrottleAndWaitForBusyCoordinators) {
    settings_.setValue("CheckInterval", 1);
    defaults_.set(PackageCoordinator::kBackgroundLastScanDate, toReferenceSeconds(clock_.now() - 50min));
    auto scheduler = makeScheduler();
    LogCapture log;
    scheduler->start();
    ASSERT_TRUE(timers_.armed(1));
    EXPECT_EQ(timers_.delays()[0], 10min);  // until the agent's scan is an hour old

    // Woken early: the throttle still says no.
    timers_.release(0);
    ASSERT_TRUE(timers_.armed(2));
    EXPECT_EQ(ticks(), std::vector<Tick>{Tick::Throttled});
    EXPECT_TRUE(log.contains("Background scan skipped: the automatic scan interval has not elapsed"));
    EXPECT_EQ(timers_.delays()[1], 10min);

    // An update running: no scan, a minute later again.
    clock_.advance(15min);
    setBusy(true);
    timers_.release(1);
    ASSERT_TRUE(timers_.armed(3));
    EXPECT_EQ(timers_.delays()[2], BackgroundScanScheduler::kBusyDelay);
    setBusy(false);
    // Another process scanned meanwhile (written behind this process's back): still skipped.
    DefaultsStore other(defaults_.path());
    other.set(PackageCoordinator::kLastCompletedRefreshDate, toReferenceSeconds(clock_.now() - 1min));
    timers_.release(2);
    ASSERT_TRUE(timers_.armed(4));
    EXPECT_EQ(ticks().back(), Tick::Throttled);
    EXPECT_EQ(timers_.delays()[3], BackgroundScanScheduler::kMaximumDelay);

    // A new interval in the settings re-arms at once, and its tick scans once it is due.
    const auto before = scheduler->generation();
    clock_.advance(2h);
    settings_.setValue("CheckInterval", 2);
    ASSERT_TRUE(timers_.armed(5));
    EXPECT_GT(scheduler->generation(), before);
    timers_.release(3);  // the timer the new interval replaced
    timers_.release(4);
    ASSERT_TRUE(timers_.armed(6));
    finish(*scheduler);
    EXPECT_EQ(scans_, 1);
    EXPECT_EQ(ticks(), (std::vector<Tick>{Tick::Throttled, Tick::Busy, Tick::Throttled, Tick::Scanned}));
}

}  // namespace
}  // namespace vt
