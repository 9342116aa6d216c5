#pragma once

#include <chrono>
#include <mutex>

namespace vt {

// The one source of "now" for throttles, time limits of caches and time stamps,
// so that tests can move time without sleeping. Safe to call from any thread.
class Clock {
public:
    using TimePoint = std::chrono::system_clock::time_point;
    using Duration = std::chrono::system_clock::duration;

    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;

    // The process-wide clock: the system clock unless a test installed another.
    static Clock& shared();
    static void setShared(Clock* clock);  // nullptr restores the system clock
};

class SystemClock final : public Clock {
public:
    TimePoint now() const override { return std::chrono::system_clock::now(); }
};

// A clock that only moves when told to.
class FakeClock final : public Clock {
public:
    explicit FakeClock(TimePoint start = TimePoint{} + std::chrono::hours(24 * 365 * 56));
    TimePoint now() const override;
    void advance(Duration by);
    void set(TimePoint to);

private:
    mutable std::mutex mutex_;
    TimePoint now_;
};

// Seconds as a floating-point number, the unit of every time limit we are given.
double secondsBetween(Clock::TimePoint from, Clock::TimePoint to);

}  // namespace vt
