#pragma once

#include <chrono>
#include <stdexcept>
#include <stop_token>
#include <string>

namespace vt {

// The lock file itself cannot be had (a folder that cannot be created, a read-only or
// special file system): not the same as a lock that another process holds.
class ProcessLockError : public std::runtime_error {
public:
    ProcessLockError(std::string path, const std::string& reason)
        : std::runtime_error("Cannot open the lock file " + path + ": " + reason), path_(std::move(path)) {}
    const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
};

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

    // Takes the lock at once or not at all. Both throw ProcessLockError when the file
    // cannot be created or opened.
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
