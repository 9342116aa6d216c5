#include "base/Files.hpp"

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <random>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vt {

namespace {

std::string temporarySibling(const std::string& path) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    return path + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(random() % 1000000000);
}

[[noreturn]] void fail(const std::string& what, const std::string& path, int error) {
    throw FileWriteError(what + " " + path + ": " + std::strerror(error));
}

}  // namespace

void writeFileAtomically(const std::string& path, std::string_view contents, unsigned permissions) {
    const std::string temporary = temporarySibling(path);
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, permissions);
    if (fd < 0) fail("Cannot create", temporary, errno);
    const char* data = contents.data();
    std::size_t left = contents.size();
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            int error = errno;
            ::close(fd);
            ::unlink(temporary.c_str());
            fail("Cannot write", temporary, error);
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    // The umask may have narrowed the mode given to open.
    ::fchmod(fd, permissions);
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        fail("Cannot flush", temporary, error);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        fail("Cannot replace", path, error);
    }
}

void removeStaleTemporaries(const std::string& folder) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        std::string name = entry.path().filename().string();
        auto marker = name.find(".tmp-");
        if (marker == std::string::npos) continue;
        pid_t pid = static_cast<pid_t>(std::atoi(name.c_str() + marker + 5));
        if (pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM)) continue;  // its writer still runs
        std::filesystem::remove(entry.path(), error);
    }
}

FileRead readFileChecked(const std::string& path, std::size_t maxBytes) {
    // Without O_NONBLOCK, opening a FIFO would wait for a writer that may never come.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const bool missing = errno == ENOENT || errno == ENOTDIR;
        return {std::nullopt, missing ? FileRead::Failure::Missing : FileRead::Failure::Unreadable, std::strerror(errno),
                errno};
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0) return {std::nullopt, FileRead::Failure::Unreadable, std::strerror(errno), errno};
    // Devices, FIFOs and sockets never end or never answer: only files are read.
    if (!S_ISREG(info.st_mode)) return {std::nullopt, FileRead::Failure::NotRegular, "not a regular file"};
    if (static_cast<unsigned long long>(info.st_size) > maxBytes) {
        return {std::nullopt, FileRead::Failure::TooLarge, "larger than " + std::to_string(maxBytes) + " bytes"};
    }
    std::string contents;
    contents.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[1 << 16];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n > 0) {
            // A file that grows while it is read (or reports no size, as /proc does) stops here.
            if (contents.size() + static_cast<std::size_t>(n) > maxBytes) {
                return {std::nullopt, FileRead::Failure::TooLarge, "larger than " + std::to_string(maxBytes) + " bytes"};
            }
            contents.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            return {std::nullopt, FileRead::Failure::Unreadable, std::strerror(errno), errno};
        }
    }
    return {std::move(contents), FileRead::Failure::None, {}};
}

std::optional<std::string> readFile(const std::string& path, std::size_t maxBytes) {
    return readFileChecked(path, maxBytes).contents;
}

}  // namespace vt
