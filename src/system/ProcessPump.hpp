#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>
#include <string_view>

namespace vt {

class ChildProcess;

// Drives one running child from the calling thread: feeds its standard input without
// ever blocking, drains both output pipes as data arrives (so a child flooding one pipe
// cannot stall on the other), and waits for the leader to exit. When the deadline passes
// or the stop token fires, it sends SIGTERM to the group, SIGKILL after the grace period
// if the leader is still alive, and SIGKILL once more when the leader is gone, for
// anything of the group that ignored SIGTERM. It never reaps: the leader is left a zombie,
// so its group id cannot be reused until the caller reaps it.
// Throws std::system_error on a failed poll, and whatever a sink throws.
class ProcessPump {
public:
    using Sink = std::function<void(std::string_view bytes)>;
    using TimePoint = std::chrono::steady_clock::time_point;
    enum class Ending { Exited, TimedOut, Stopped };

    static constexpr std::chrono::milliseconds kTerminationGrace{500};

    static Ending run(ChildProcess& child, std::string_view input, const Sink& onStandardOutput,
                      const Sink& onStandardError, std::optional<TimePoint> deadline, std::stop_token stop,
                      std::chrono::milliseconds grace = kTerminationGrace);
};

}  // namespace vt
