#pragma once

#include <utility>

namespace vt {

// Owns one file descriptor and closes it when it goes; -1 means "owns nothing".
// Move-only. Not thread-safe: one owner at a time.
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { close(); }

    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    bool isOpen() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return isOpen(); }

    [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept;
    void close() noexcept { reset(); }

private:
    int fd_ = -1;
};

struct PipeEnds {
    UniqueFd readEnd;
    UniqueFd writeEnd;
};

// A pipe whose two ends are close-on-exec from birth, so a child started by another
// thread at the same moment cannot inherit them. Throws std::system_error.
PipeEnds makePipe();

// Throws std::system_error.
void setNonBlocking(int fd);

}  // namespace vt
