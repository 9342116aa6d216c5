#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace vt {

class FileSystemError : public std::runtime_error {
public:
    enum class Kind { FileNotFound, DirectoryNotFound, PermissionDenied, InvalidPath, DiskFull };

    static FileSystemError fileNotFound(std::string path);
    static FileSystemError directoryNotFound(std::string path);
    static FileSystemError permissionDenied(std::string path);
    static FileSystemError invalidPath(std::string path);
    static FileSystemError diskFull();

    Kind kind() const noexcept { return kind_; }
    const std::string& path() const noexcept { return path_; }  // empty for diskFull
    std::string description() const { return what(); }

private:
    FileSystemError(Kind kind, std::string path, const std::string& description);
    Kind kind_;
    std::string path_;
};

// The few file-system questions the system asks, behind an interface so that tests can
// answer them from memory (RecordingFileSystem). Implementations are safe to call from
// any thread.
class FileSystemManager {
public:
    virtual ~FileSystemManager() = default;

    // The whole file. Throws FileSystemError.
    virtual std::string readFile(const std::string& path) const = 0;
    // The names (not paths) in a folder, sorted, hidden ones included. Throws FileSystemError.
    virtual std::vector<std::string> contentsOfDirectory(const std::string& path) const = 0;
    // A regular file (after symbolic links) that we may execute.
    virtual bool isExecutableFile(const std::string& path) const = 0;
    // Anything at all at the path (after symbolic links).
    virtual bool fileExists(const std::string& path) const = 0;
    virtual bool directoryExists(const std::string& path) const = 0;
};

// Answers from the real file system.
class SystemFileSystemManager final : public FileSystemManager {
public:
    std::string readFile(const std::string& path) const override;
    std::vector<std::string> contentsOfDirectory(const std::string& path) const override;
    bool isExecutableFile(const std::string& path) const override;
    bool fileExists(const std::string& path) const override;
    bool directoryExists(const std::string& path) const override;
};

}  // namespace vt
