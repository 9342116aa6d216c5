#pragma once

#include <functional>
#include <string>

namespace vt::cli {

// Turns Ctrl-C, SIGTERM and a closed terminal (SIGHUP) into one call of `onInterrupt` on a
// thread of its own; a second Ctrl-C ends the program at once with status 130, killing the
// tools it started. Installed unconditionally: a program started in the background inherits
// SIGINT ignored. Watchers nest: while several live, an interrupt calls each one's callback.
class InterruptWatcher {
public:
    explicit InterruptWatcher(std::function<void()> onInterrupt);
    ~InterruptWatcher();
    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

    bool wasInterrupted() const;
};

// The status of a run a signal stopped, as a shell reports it: 130 for Ctrl-C, 143 for
// SIGTERM, 129 for a closed terminal.
int stoppedExitStatus();

// The file a second Ctrl-C removes as it ends the program: the run's marker, since a run the
// user stopped did not die. Set once, before any watcher.
void removeOnForcedExit(const std::string& path);

}  // namespace vt::cli
