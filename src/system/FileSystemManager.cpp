#include "system/FileSystemManager.hpp"

#include "base/Files.hpp"

#include <algorithm>
#include <cerrno>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "system/UniqueFd.hpp"

namespace vt {

FileSystemError::FileSystemError(Kind kind, std::string path, const std::string& description)
    : std::runtime_error(description), kind_(kind), path_(std::move(path)) {}

FileSystemError FileSystemError::fileNotFound(std::string path) {
    std::string description = "File not found: " + path;
    return FileSystemError(Kind::FileNotFound, std::move(path), description);
}

FileSystemError FileSystemError::directoryNotFound(std::string path) {
    std::string description = "Directory not found: " + path;
    return FileSystemError(Kind::DirectoryNotFound, std::move(path), description);
}

FileSystemError FileSystemError::permissionDenied(std::string path) {
    std::string description = "Permission denied: " + path;
    return FileSystemError(Kind::PermissionDenied, std::move(path), description);
}

FileSystemError FileSystemError::invalidPath(std::string path) {
    std::string description = "Invalid path: " + path;
    return FileSystemError(Kind::InvalidPath, std::move(path), description);
}

FileSystemError FileSystemError::diskFull() { return FileSystemError(Kind::DiskFull, "", "Disk is full"); }

namespace {

bool isUsablePath(const std::string& path) { return !path.empty() && path.find('\0') == std::string::npos; }

FileSystemError errorFor(int error, const std::string& path, bool directory) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return directory ? FileSystemError::directoryNotFound(path) : FileSystemError::fileNotFound(path);
        case EACCES:
        case EPERM:
            return FileSystemError::permissionDenied(path);
        case ENOSPC:
        case EDQUOT:
            return FileSystemError::diskFull();
        default:
            return FileSystemError::invalidPath(path);
    }
}

struct DirectoryCloser {
    void operator()(DIR* directory) const noexcept { ::closedir(directory); }
};

}  // namespace

std::string SystemFileSystemManager::readFile(const std::string& path) const {
    if (!isUsablePath(path)) throw FileSystemError::invalidPath(path);
    FileRead read = readFileChecked(path);
    if (read.contents) return std::move(*read.contents);
    // Devices, FIFOs and files past the limit are not what any caller reads.
    if (read.errorNumber == 0) throw FileSystemError::invalidPath(path);
    throw errorFor(read.errorNumber, path, false);
}

std::vector<std::string> SystemFileSystemManager::contentsOfDirectory(const std::string& path) const {
    if (!isUsablePath(path)) throw FileSystemError::invalidPath(path);
    std::unique_ptr<DIR, DirectoryCloser> directory(::opendir(path.c_str()));
    if (!directory) throw errorFor(errno, path, true);
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(directory.get())) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool SystemFileSystemManager::isExecutableFile(const std::string& path) const {
    struct stat info {};
    if (!isUsablePath(path) || ::stat(path.c_str(), &info) != 0) return false;
    return S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool SystemFileSystemManager::fileExists(const std::string& path) const {
    struct stat info {};
    return isUsablePath(path) && ::stat(path.c_str(), &info) == 0;
}

bool SystemFileSystemManager::directoryExists(const std::string& path) const {
    struct stat info {};
    return isUsablePath(path) && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace vt
