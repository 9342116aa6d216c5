#include "base/ProcessLock.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace vt {

ProcessLock::~ProcessLock() { release(); }

ProcessLock::ProcessLock(ProcessLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

ProcessLock& ProcessLock::operator=(ProcessLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void ProcessLock::release() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

ProcessLock ProcessLock::tryAcquire(const std::string& path, Mode mode) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    if (error) throw ProcessLockError(path, error.message());
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throw ProcessLockError(path, std::strerror(errno));
    int operation = (mode == Mode::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    while (::flock(fd, operation) != 0) {
        if (errno == EINTR) continue;
        int reason = errno;
        ::close(fd);
        if (reason == EWOULDBLOCK) return ProcessLock();
        throw ProcessLockError(path, std::strerror(reason));
    }
    return ProcessLock(fd);
}

ProcessLock ProcessLock::acquire(const std::string& path, Mode mode, std::stop_token stop) {
    // Polling keeps the wait cancellable; a blocked flock() could not be interrupted.
    while (!stop.stop_requested()) {
        ProcessLock lock = tryAcquire(path, mode);
        if (lock.isHeld()) return lock;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return ProcessLock();
}

}  // namespace vt
