#pragma once

#include <functional>

namespace vt::cli {

// Turns Ctrl-C, SIGTERM and a closed terminal (SIGHUP) into one call of `onInterrupt` on a
// thread of its own; a second Ctrl-C ends the program at once with status 130. Installed
// unconditionally: a program started in the background inherits SIGINT ignored.
class InterruptWatcher {
public:
    explicit InterruptWatcher(std::function<void()> onInterrupt);
    ~InterruptWatcher();
    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

    bool wasInterrupted() const;
};

}  // namespace vt::cli
