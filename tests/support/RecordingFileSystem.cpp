#include "support/RecordingFileSystem.hpp"

#include <algorithm>

namespace vt::testing {

namespace {

// "/a/b/" and "/a//b" are "/a/b"; the root stays "/".
std::string normalized(const std::string& path) {
    std::string result;
    for (char c : path) {
        if (c == '/' && !result.empty() && result.back() == '/') continue;
        result += c;
    }
    if (result.size() > 1 && result.back() == '/') result.pop_back();
    return result;
}

std::string parentOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return "";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool isInside(const std::string& path, const std::string& folder) {
    if (folder == "/") return path.size() > 1 && path.front() == '/';
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

}  // namespace

void RecordingFileSystem::addFile(const std::string& path, std::string contents, bool executable) {
    const std::string key = normalized(path);
    std::scoped_lock lock(mutex_);
    addDirectoryLocked(parentOf(key));
    nodes_[key] = Node{false, executable, std::move(contents)};
}

void RecordingFileSystem::addDirectory(const std::string& path) {
    std::scoped_lock lock(mutex_);
    addDirectoryLocked(normalized(path));
}

void RecordingFileSystem::addDirectoryLocked(const std::string& path) {
    for (std::string folder = path; !folder.empty(); folder = parentOf(folder)) {
        nodes_[folder].directory = true;
        if (folder == "/") break;
    }
}

void RecordingFileSystem::remove(const std::string& path) {
    const std::string key = normalized(path);
    std::scoped_lock lock(mutex_);
    std::erase_if(nodes_, [&](const auto& node) { return node.first == key || isInside(node.first, key); });
}

void RecordingFileSystem::record(const std::string& operation, const std::string& path) const {
    history_.push_back(operation + ":" + path);
}

std::string RecordingFileSystem::readFile(const std::string& path) const {
    const std::string key = normalized(path);
    std::scoped_lock lock(mutex_);
    record("readFile", path);
    auto node = nodes_.find(key);
    if (node == nodes_.end()) throw FileSystemError::fileNotFound(path);
    if (node->second.directory) throw FileSystemError::invalidPath(path);
    return node->second.contents;
}

std::vector<std::string> RecordingFileSystem::contentsOfDirectory(const std::string& path) const {
    const std::string key = normalized(path);
    std::scoped_lock lock(mutex_);
    record("contentsOfDirectory", path);
    auto folder = nodes_.find(key);
    if (folder == nodes_.end() || !folder->second.directory) throw FileSystemError::directoryNotFound(path);
    std::vector<std::string> names;
    for (const auto& [candidate, node] : nodes_) {
        if (isInside(candidate, key) && parentOf(candidate) == key) names.push_back(candidate.substr(candidate.rfind('/') + 1));
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool RecordingFileSystem::isExecutableFile(const std::string& path) const {
    const std::string key = normalized(path);
    std::scoped_lock lock(mutex_);
    record("isExecutableFile", path);
    auto node = nodes_.find(key);
    return node != nodes_.end() && !node->second.directory && node->second.executable;
}

bool RecordingFileSystem::fileExists(const std::string& path) const {
    const std::string key = normalized(path);
    std::scoped_lock lock(mutex_);
    record("fileExists", path);
    return nodes_.count(key) != 0;
}

bool RecordingFileSystem::directoryExists(const std::string& path) const {
    const std::string key = normalized(path);
    std::scoped_lock lock(mutex_);
    record("directoryExists", path);
    auto node = nodes_.find(key);
    return node != nodes_.end() && node->second.directory;
}

std::vector<std::string> RecordingFileSystem::operationHistory() const {
    std::scoped_lock lock(mutex_);
    return history_;
}

}  // namespace vt::testing
