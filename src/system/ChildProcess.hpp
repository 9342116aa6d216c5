#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

#include "system/UniqueFd.hpp"

namespace vt {

// One child started with posix_spawn, by absolute path and argument array, as the leader
// of a process group of its own, so that a signal to the group also reaches whatever it
// started. Owns the leader's pid until it is reaped (pid() is -1 afterwards), our ends of
// its pipes, and on Linux a descriptor that becomes readable when the leader exits.
// Reap child if forgotten: the destructor kills the whole group and reaps the leader.
// Used by one thread; signalGroup() may also be called from another thread as long as
// that thread is done before reap() starts.
class ChildProcess {
public:
    struct Options {
        std::string executable;                // absolute path; also the child's argv[0]
        std::vector<std::string> arguments;    // after argv[0]
        std::vector<std::string> environment;  // "NAME=value", the child's whole environment
        std::string workingDirectory;
        bool pipeStandardInput = false;        // otherwise the null device
        int niceIncrement = 0;                 // nice levels below the calling thread (at most 19)
    };

    // Throws std::system_error with the platform's error when the launch fails.
    [[nodiscard]] static ChildProcess spawn(const Options& options);

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&&) = delete;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    pid_t pid() const noexcept { return pid_; }
    UniqueFd& standardInput() noexcept { return stdin_; }     // closed unless piped; non-blocking
    UniqueFd& standardOutput() noexcept { return stdout_; }   // non-blocking
    UniqueFd& standardError() noexcept { return stderr_; }    // non-blocking
    // Readable once the leader has exited; -1 where the platform has no such descriptor.
    int exitNotifier() const noexcept { return exitNotifier_.get(); }

    // Whether the leader has exited, without reaping it (a zombie still pins the group id).
    bool hasExited() const;
    // Waits for the leader and returns its wait status. Once only.
    int reap();
    // SIGTERM, SIGKILL, ... to the group, or to the leader alone when the group is gone.
    void signalGroup(int signal) const noexcept;

    // The termination status as tools report it: the exit code, or the signal number.
    static int terminationStatus(int waitStatus) noexcept;

    // SIGKILL to the group of every child not yet reaped, for a program that ends at once.
    // Safe in a signal handler.
    static void killEveryGroup() noexcept;

private:
    ChildProcess() = default;
    static ChildProcess launch(const Options& options);

    pid_t pid_ = -1;
    UniqueFd stdin_;
    UniqueFd stdout_;
    UniqueFd stderr_;
    UniqueFd exitNotifier_;
};

}  // namespace vt
