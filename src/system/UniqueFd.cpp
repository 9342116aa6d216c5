#include "system/UniqueFd.hpp"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace vt {

void UniqueFd::reset(int fd) noexcept {
    if (fd_ >= 0) {
        // Retrying close after EINTR could close a descriptor another thread just opened.
        ::close(fd_);
    }
    fd_ = fd;
}

PipeEnds makePipe() {
    int fds[2];
#if defined(__linux__)
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
#else
    // Without pipe2 there is a window before FD_CLOEXEC is set; the spawner closes every
    // inherited descriptor in the child as well (POSIX_SPAWN_CLOEXEC_DEFAULT).
    if (::pipe(fds) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
#endif
    return PipeEnds{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

void setNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        throw std::system_error(errno, std::generic_category(), "fcntl");
    }
}

}  // namespace vt
