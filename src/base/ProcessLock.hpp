#pragma once

#include <chrono>
#include <stop_token>
#include <string>

namespace vt {

// An advisory lock on a file (flock), held by an open descriptor: it dies with the process,
// so a crash never leaves a stale lock. Exclusive for one writer, or shared by readers.
class ProcessLock {
public:
    enum class Mode { Exclusive, Shared };

    ProcessLock() = default;
    ~ProcessLock();
    ProcessLock(ProcessLock&& other) noexcept;
    ProcessLock& operator=(ProcessLock&& other) noexcept;
    ProcessLock(const ProcessLock&) = delete;
    ProcessLock& operator=(const ProcessLock&) = delete;

    // Takes the lock at once or not at all.
    static ProcessLock tryAcquire(const std::string& path, Mode mode);
    // Waits until it is free; an unlocked lock comes back when the token is stopped.
    static ProcessLock acquire(const std::string& path, Mode mode, std::stop_token stop = {});

    bool isHeld() const noexcept { return fd_ >= 0; }
    void release();

private:
    explicit ProcessLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

}  // namespace vt
