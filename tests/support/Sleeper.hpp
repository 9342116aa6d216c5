#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>

namespace vt::testing {

// A real process that waits: `program` (a copy of /bin/sleep, placed where the test wants a
// running program) run for 30 seconds, killed and reaped however the test ends.
class Sleeper {
public:
    explicit Sleeper(const std::string& program) {
        std::string copy = program;
        std::string seconds = "30";
        char* argv[] = {copy.data(), seconds.data(), nullptr};
        char* envp[] = {nullptr};
        if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv, envp) != 0) pid_ = -1;
    }
    ~Sleeper() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        reap();
    }
    Sleeper(const Sleeper&) = delete;
    Sleeper& operator=(const Sleeper&) = delete;
    pid_t pid() const { return pid_; }
    void reap() {
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

}  // namespace vt::testing
