#include "base/Clock.hpp"

#include <atomic>

namespace vt {

namespace {
SystemClock systemClock;
std::atomic<Clock*> installedClock{nullptr};
}  // namespace

Clock& Clock::shared() {
    Clock* clock = installedClock.load(std::memory_order_acquire);
    return clock ? *clock : systemClock;
}

void Clock::setShared(Clock* clock) { installedClock.store(clock, std::memory_order_release); }

FakeClock::FakeClock(TimePoint start) : now_(start) {}

Clock::TimePoint FakeClock::now() const {
    std::scoped_lock lock(mutex_);
    return now_;
}

void FakeClock::advance(Duration by) {
    std::scoped_lock lock(mutex_);
    now_ += by;
}

void FakeClock::set(TimePoint to) {
    std::scoped_lock lock(mutex_);
    now_ = to;
}

double secondsBetween(Clock::TimePoint from, Clock::TimePoint to) {
    return std::chrono::duration<double>(to - from).count();
}

}  // namespace vt
