#include "shell/BackgroundScanScheduler.hpp"

#include <algorithm>
#include <string_view>

#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/NotificationCenter.hpp"
#include "core/ScheduledScanThrottle.hpp"
#include "settings/DefaultsStore.hpp"
#include "settings/SettingsManager.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger log("BackgroundScanScheduler");
    return log;
}

}  // namespace

BackgroundScanScheduler::BackgroundScanScheduler(DefaultsStore& state, SettingsManager& settings,
                                                 NotificationCenter& notifications, Hooks hooks, Options options)
    : state_(state),
      settings_(settings),
      notifications_(notifications),
      hooks_(std::move(hooks)),
      options_(std::move(options)) {}

BackgroundScanScheduler::~BackgroundScanScheduler() { stop(); }

void BackgroundScanScheduler::start() {
    {
        std::scoped_lock lock(mutex_);
        if (running_) return;
        running_ = true;
    }
    const int observation =
        notifications_.addObserver(std::string(kCheckIntervalDidChange), [this](std::string_view) { rearm(); });
    {
        std::scoped_lock lock(mutex_);
        settingsObservation_ = observation;
    }
    arm(delayUntilAllowed(std::chrono::milliseconds(0)));
}

void BackgroundScanScheduler::stop() {
    std::list<Timer> timers;
    int observation = -1;
    {
        std::scoped_lock lock(mutex_);
        running_ = false;
        ++scheduleGeneration_;
        timers.swap(timers_);
        std::swap(observation, settingsObservation_);
    }
    if (observation >= 0) notifications_.removeObserver(observation);
    for (Timer& timer : timers) timer.thread.request_stop();
    timers.clear();  // joins them, a tick in progress included
}

void BackgroundScanScheduler::rearm() { arm(delayUntilAllowed(std::chrono::milliseconds(0))); }

unsigned long long BackgroundScanScheduler::generation() const {
    std::scoped_lock lock(mutex_);
    return scheduleGeneration_;
}

void BackgroundScanScheduler::arm(std::chrono::milliseconds delay) {
    std::scoped_lock lock(mutex_);
    if (!running_) return;
    const unsigned long long generation = ++scheduleGeneration_;
    for (auto it = timers_.begin(); it != timers_.end();) {
        if (*it->done) {
            it = timers_.erase(it);  // finished: joins at once
            continue;
        }
        it->thread.request_stop();  // an older generation: its wait ends, and its tick is void
        ++it;
    }
    auto done = std::make_shared<bool>(false);
    timers_.push_back(Timer{std::jthread([this, generation, delay, done](std::stop_token stop) {
                                if (sleep(delay, stop)) fire(generation);
                                std::scoped_lock finished(mutex_);
                                *done = true;
                            }),
                            done});
}

bool BackgroundScanScheduler::sleep(std::chrono::milliseconds delay, std::stop_token stop) {
    if (options_.sleep) return options_.sleep(delay, stop);
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, stop, delay, [] { return false; });
    return !stop.stop_requested();
}

void BackgroundScanScheduler::fire(unsigned long long generation) {
    auto current = [this, generation] {
        std::scoped_lock lock(mutex_);
        return running_ && generation == scheduleGeneration_;
    };
    if (!current()) return;
    Tick tick = Tick::Scanned;
    std::chrono::milliseconds next = kBusyDelay;
    if (hooks_.isBusy && hooks_.isBusy()) {
        tick = Tick::Busy;
    } else {
        // Another process of ours (the agent, a `scan`) may have scanned since.
        state_.reload();
        Clock& clock = options_.clock ? *options_.clock : Clock::shared();
        if (!options_.scanAtEachTick &&
            ScheduledScanThrottle(state_).shouldSkip(clock.now(), settings_.checkIntervalHours())) {
            logger().info(localized("log.background.interval_not_elapsed"));
            tick = Tick::Throttled;
        } else if (hooks_.scan) {
            hooks_.scan();
        }
        next = delayUntilAllowed(kMinimumDelay);
    }
    if (hooks_.ticked) hooks_.ticked(tick);
    // Re-armed during the tick (a settings change): that timer stands.
    if (current()) arm(options_.every ? *options_.every : next);
}

std::chrono::milliseconds BackgroundScanScheduler::delayUntilAllowed(std::chrono::milliseconds minimum) const {
    if (options_.every) return *options_.every;
    std::optional<Clock::TimePoint> last = ScheduledScanThrottle(state_).lastScanDate();
    if (!last) return minimum;
    Clock& clock = options_.clock ? *options_.clock : Clock::shared();
    const auto interval = std::chrono::hours(std::max(settings_.checkIntervalHours(), 1));
    const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(*last + interval - clock.now());
    return std::clamp(remaining, minimum, std::max(minimum, kMaximumDelay));
}

}  // namespace vt
