#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>

#include "base/Clock.hpp"

namespace vt {

class DefaultsStore;
class NotificationCenter;
class SettingsManager;

// The timer of a running program: at each tick, unless a scan or an update is running, it
// asks the shared throttle and starts an automatic scan when the interval has passed, then
// re-arms itself. Every re-arm starts a new generation; a timer that wakes with an older
// generation does nothing, so a restart never leaves two timers scanning. Changes of the
// check interval in this process re-arm it at once.
class BackgroundScanScheduler {
public:
    enum class Tick { Busy, Throttled, Scanned };

    struct Hooks {
        std::function<bool()> isBusy;       // a scan or an update is running
        std::function<void()> scan;         // an automatic refresh; returns when it has ended
        std::function<void(Tick)> ticked;   // after each tick of the current generation
    };

    struct Options {
        // A fixed delay between ticks; without it, the time until the throttle lets a scan
        // through, between kMinimumDelay and kMaximumDelay (the first tick may come at once).
        std::optional<std::chrono::milliseconds> every;
        // Each tick scans unless something runs, whatever the throttle says: `every` is then
        // the scan interval itself (a monitor the user set an interval for).
        bool scanAtEachTick = false;
        Clock* clock = nullptr;  // Clock::shared() when null
        // How a timer waits: true when its time came, false when it was stopped.
        std::function<bool(std::chrono::milliseconds, std::stop_token)> sleep;
    };

    // The maximum keeps a scan made by another process (the agent, another window) from
    // delaying ours by a whole interval; the minimum keeps a failing scan from looping.
    static constexpr std::chrono::milliseconds kMinimumDelay = std::chrono::minutes(1);
    static constexpr std::chrono::milliseconds kMaximumDelay = std::chrono::minutes(15);
    static constexpr std::chrono::milliseconds kBusyDelay = std::chrono::minutes(1);

    // `state`: where the last scans are noted (the program's own notes, not the settings).
    BackgroundScanScheduler(DefaultsStore& state, SettingsManager& settings, NotificationCenter& notifications,
                            Hooks hooks, Options options);
    ~BackgroundScanScheduler();
    BackgroundScanScheduler(const BackgroundScanScheduler&) = delete;
    BackgroundScanScheduler& operator=(const BackgroundScanScheduler&) = delete;

    // Observes the settings and arms the timer.
    void start();
    // Cancels the timer and the observation; waits for a tick in progress (stop the scan first).
    void stop();
    // Throws the armed timer away and arms a new one from now.
    void rearm();
    unsigned long long generation() const;

private:
    struct Timer {
        std::jthread thread;
        std::shared_ptr<bool> done;  // written under mutex_
    };

    void arm(std::chrono::milliseconds delay);
    void fire(unsigned long long generation);
    std::chrono::milliseconds delayUntilAllowed(std::chrono::milliseconds minimum) const;
    bool sleep(std::chrono::milliseconds delay, std::stop_token stop);

    DefaultsStore& state_;
    SettingsManager& settings_;
    NotificationCenter& notifications_;
    Hooks hooks_;
    Options options_;

    mutable std::mutex mutex_;
    std::condition_variable_any wake_;
    unsigned long long scheduleGeneration_ = 0;
    bool running_ = false;
    std::list<Timer> timers_;
    int settingsObservation_ = -1;
};

}  // namespace vt
