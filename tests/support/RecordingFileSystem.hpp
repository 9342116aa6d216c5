#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "system/FileSystemManager.hpp"

namespace vt::testing {

// A file system held in memory that records every question asked of it, as
// "readFile:<path>", "contentsOfDirectory:<path>", "isExecutableFile:<path>",
// "fileExists:<path>" and "directoryExists:<path>". Adding a file adds its folders.
// Thread-safe.
class RecordingFileSystem final : public FileSystemManager {
public:
    void addFile(const std::string& path, std::string contents = {}, bool executable = false);
    void addExecutable(const std::string& path, std::string contents = {}) { addFile(path, std::move(contents), true); }
    void addDirectory(const std::string& path);
    void remove(const std::string& path);  // a file, or a folder with all it holds

    std::string readFile(const std::string& path) const override;
    std::vector<std::string> contentsOfDirectory(const std::string& path) const override;
    bool isExecutableFile(const std::string& path) const override;
    bool fileExists(const std::string& path) const override;
    bool directoryExists(const std::string& path) const override;

    std::vector<std::string> operationHistory() const;

private:
    struct Node {
        bool directory = false;
        bool executable = false;
        std::string contents;
    };

    void record(const std::string& operation, const std::string& path) const;
    void addDirectoryLocked(const std::string& path);

    mutable std::mutex mutex_;
    std::map<std::string, Node> nodes_;  // by normalized absolute path
    mutable std::vector<std::string> history_;
};

}  // namespace vt::testing
