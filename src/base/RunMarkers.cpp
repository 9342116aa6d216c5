#include "base/RunMarkers.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "base/Files.hpp"
#include "base/Uuid.hpp"

namespace vt {

namespace {

constexpr std::string_view kSuffix = ".run";

bool isMarker(const std::filesystem::path& path) {
    const std::string name = path.filename().string();
    return name.size() > kSuffix.size() && name.ends_with(kSuffix);
}

// Held by a live process when its lock cannot be taken.
bool isHeldByLiveProcess(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;  // gone meanwhile: its run ended normally
    bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

}  // namespace

RunMarkers::RunMarkers(std::string folder) : folder_(std::move(folder)) {}

RunMarkers::~RunMarkers() {
    if (fd_ >= 0) ::close(fd_);
}

std::vector<std::string> RunMarkers::abandoned() const {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder_, error)) {
        if (!isMarker(entry.path()) || entry.path().string() == own_) continue;
        if (!isHeldByLiveProcess(entry.path().string())) found.push_back(entry.path().string());
    }
    return found;
}

void RunMarkers::begin() {
    if (fd_ >= 0) return;
    std::vector<std::string> judged = abandoned();
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    const std::string name = std::to_string(::getpid()) + "-" + Uuid::random().toString();
    // Locked under a temporary name, then renamed: no other process ever sees the marker
    // unlocked and takes it for an abandoned one.
    const std::string temporary = folder_ + "/." + name;
    int fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) throw FileWriteError("Cannot create " + temporary + ": " + std::strerror(errno));
    const std::string marker = folder_ + "/" + name + std::string(kSuffix);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::rename(temporary.c_str(), marker.c_str()) != 0) {
        int reason = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        throw FileWriteError("Cannot create " + marker + ": " + std::strerror(reason));
    }
    fd_ = fd;
    own_ = marker;
    for (const std::string& path : judged) std::filesystem::remove(path, error);
}

void RunMarkers::end() {
    if (fd_ < 0) return;
    std::error_code error;
    std::filesystem::remove(own_, error);
    ::close(fd_);
    fd_ = -1;
    own_.clear();
}

}  // namespace vt
