#include "system/RunningProcesses.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#ifdef __APPLE__
#include <libproc.h>
#include <mach-o/dyld.h>
#include <sys/proc.h>
#include <sys/proc_info.h>
#else
#include <dirent.h>
#endif

#include "base/Files.hpp"

namespace vt {

namespace {

bool isInside(const std::string& path, std::string folder) {
    if (!folder.ends_with('/')) folder += '/';
    return path.starts_with(folder);
}

#ifdef __APPLE__

std::optional<std::string> programOf(pid_t pid) {
    char path[PROC_PIDPATHINFO_MAXSIZE];
    if (::proc_pidpath(pid, path, sizeof path) <= 0) return std::nullopt;
    return std::string(path);
}

std::vector<pid_t> allProcesses() {
    int count = ::proc_listallpids(nullptr, 0);
    if (count <= 0) return {};
    std::vector<pid_t> pids(static_cast<std::size_t>(count) + 64);  // room for the ones started meanwhile
    count = ::proc_listallpids(pids.data(), static_cast<int>(pids.size() * sizeof(pid_t)));
    pids.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    return pids;
}

#else

std::optional<std::string> programOf(pid_t pid) {
    std::error_code error;
    std::filesystem::path target = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
    if (error || target.empty()) return std::nullopt;
    return target.string();
}

std::vector<pid_t> allProcesses() {
    std::vector<pid_t> pids;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return pids;
    while (dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (pid > 0 && *end == '\0') pids.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(proc);
    return pids;
}

#endif

}  // namespace

std::optional<std::string> ownLaunchPath() {
#ifdef __APPLE__
    char buffer[4096];
    std::uint32_t size = sizeof buffer;
    if (_NSGetExecutablePath(buffer, &size) != 0) return std::nullopt;
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(buffer, error);
    return error ? std::string(buffer) : absolute.lexically_normal().string();
#else
    return programOf(::getpid());
#endif
}

std::optional<std::string> ownExecutablePath() {
    std::optional<std::string> launched = ownLaunchPath();
    if (!launched) return std::nullopt;
    std::error_code error;
    std::filesystem::path resolved = std::filesystem::canonical(*launched, error);
    return error ? launched : resolved.string();
}

std::vector<RunningProcess> processesInside(const std::string& folder) {
    // Every program lies inside the root: that is never a bundle.
    if (folder.empty() || folder == "/") return {};
    std::error_code error;
    std::string bundle = std::filesystem::weakly_canonical(folder, error).string();
    if (error) bundle = folder;
    std::vector<RunningProcess> found;
    const pid_t self = ::getpid();
    for (pid_t pid : allProcesses()) {
        if (pid == self) continue;
        std::optional<std::string> program = programOf(pid);
        if (program && isInside(*program, bundle)) found.push_back({pid, *program});
    }
    return found;
}

bool isProcessRunning(pid_t pid) {
    // Another user's process we may not signal still runs.
    if (::kill(pid, 0) != 0 && errno != EPERM) return false;
#ifdef __APPLE__
    proc_bsdinfo info{};
    if (::proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, static_cast<int>(sizeof info)) != static_cast<int>(sizeof info)) {
        return false;
    }
    return info.pbi_status != SZOMB;
#else
    std::optional<std::string> status = readFile("/proc/" + std::to_string(pid) + "/stat");
    if (!status) return false;
    std::size_t close = status->rfind(')');
    return !(close != std::string::npos && close + 2 < status->size() && (*status)[close + 2] == 'Z');
#endif
}

}  // namespace vt
