#include "base/Files.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vt {

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path, int error) {
    throw FileWriteError(what + " " + path + ": " + std::strerror(error));
}

// A new file beside `path`, named for this process so that a writer killed mid-write leaves
// a temporary removeStaleTemporaries recognises. The counter only has to avoid this
// process's other temporaries; O_EXCL steps over a dead process's leftovers of the same pid.
int createTemporarySibling(const std::string& path, unsigned permissions, std::string& temporary) {
    static std::atomic<unsigned long> counter{0};
    for (int attempt = 0;; ++attempt) {
        temporary = path + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, permissions);
        if (fd >= 0) return fd;
        if (errno != EEXIST || attempt == 100) fail("Cannot write", path, errno);
    }
}

// Whether the file already holds exactly these bytes with this mode: rewriting it would
// change nothing but cost a flush to disk.
bool alreadyHolds(const std::string& path, std::string_view contents, unsigned permissions) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    struct stat info {};
    bool same = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 07777) == permissions &&
                static_cast<std::size_t>(info.st_size) == contents.size();
    char buffer[65536];
    std::size_t offset = 0;
    while (same && offset < contents.size()) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || offset + static_cast<std::size_t>(got) > contents.size() ||
            std::memcmp(buffer, contents.data() + offset, static_cast<std::size_t>(got)) != 0) {
            same = false;
            break;
        }
        offset += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return same;
}

// A file written whole to its temporary, not yet flushed nor renamed.
struct StagedFile {
    std::string path;
    std::string temporary;
    int fd = -1;
};

StagedFile stage(const std::string& path, std::string_view contents, unsigned permissions) {
    StagedFile staged{path, {}, -1};
    staged.fd = createTemporarySibling(path, permissions, staged.temporary);
    const char* data = contents.data();
    std::size_t left = contents.size();
    while (left > 0) {
        ssize_t written = ::write(staged.fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            int error = errno;
            ::close(staged.fd);
            ::unlink(staged.temporary.c_str());
            fail("Cannot write", staged.path, error);
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    // The umask may have narrowed the mode given to open.
    ::fchmod(staged.fd, permissions);
    return staged;
}

// Closes and renames a staged file whose flush gave `flushError` (0: flushed).
void commit(const StagedFile& staged, int flushError) {
    if (::close(staged.fd) != 0 && flushError == 0) flushError = errno;
    if (flushError != 0) {
        ::unlink(staged.temporary.c_str());
        fail("Cannot flush", staged.path, flushError);
    }
    if (::rename(staged.temporary.c_str(), staged.path.c_str()) != 0) {
        int error = errno;
        ::unlink(staged.temporary.c_str());
        fail("Cannot replace", staged.path, error);
    }
}

int flush(int fd) { return ::fsync(fd) == 0 ? 0 : errno; }

}  // namespace

void writeFileAtomically(const std::string& path, std::string_view contents, unsigned permissions,
                         Durability durability) {
    if (alreadyHolds(path, contents, permissions)) return;
    StagedFile staged = stage(path, contents, permissions);
    commit(staged, durability == Durability::Flushed ? flush(staged.fd) : 0);
}

std::vector<std::optional<std::string>> writeFilesAtomically(const std::vector<FileToWrite>& files,
                                                              unsigned permissions) {
    std::vector<std::optional<std::string>> errors(files.size());
    std::vector<std::optional<StagedFile>> staged(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        try {
            if (!alreadyHolds(files[i].path, files[i].contents, permissions)) {
                staged[i] = stage(files[i].path, files[i].contents, permissions);
            }
        } catch (const FileWriteError& error) {
            errors[i] = error.what();
        }
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (!staged[i]) continue;
        try {
            commit(*staged[i], 0);
        } catch (const FileWriteError& error) {
            errors[i] = error.what();
        }
    }
    return errors;
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
