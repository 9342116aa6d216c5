#include "sources/inventory/FrameworkClassifier.hpp"

#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "system/UniqueFd.hpp"

namespace vt {

namespace {

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Whether the first bytes of a file contain a text. Bounded: an executable is scanned only
// as far as a linker puts the crate paths of its panic messages.
bool fileContains(const std::string& path, std::string_view needle, std::size_t limit) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return false;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    std::string buffer;
    std::size_t total = 0;
    char chunk[64 * 1024];
    while (total < limit) {
        ssize_t got = ::read(fd.get(), chunk, sizeof(chunk));
        if (got <= 0) break;
        total += static_cast<std::size_t>(got);
        // Keep the tail of the previous chunk so a match across the boundary is seen.
        std::size_t keep = std::min(buffer.size(), needle.size());
        buffer.erase(0, buffer.size() - keep);
        buffer.append(chunk, static_cast<std::size_t>(got));
        if (buffer.find(needle) != std::string::npos) return true;
    }
    return false;
}

}  // namespace

AppFramework FrameworkClassifier::inspect(const std::string& bundlePath, const std::string& executable) {
    // Electron apps embed "Electron Framework.framework" (and the helper apps beside it).
    if (isDirectory(bundlePath + "/Contents/Frameworks/Electron Framework.framework")) return AppFramework::Electron;
    // Tauri apps embed no framework: their Rust executable links the "tauri-runtime" crates,
    // whose source paths it carries. Bundles with a Frameworks folder of their own are not
    // Tauri apps, and are not read.
    if (executable.empty() || executable.find('/') != std::string::npos) return AppFramework::Other;
    if (isDirectory(bundlePath + "/Contents/Frameworks")) return AppFramework::Other;
    if (fileContains(bundlePath + "/Contents/MacOS/" + executable, "tauri-runtime", 16 * 1024 * 1024)) {
        return AppFramework::Tauri;
    }
    return AppFramework::Other;
}

AppFramework FrameworkClassifier::classify(const std::string& bundlePath, double modificationDate,
                                           const std::string& executable) {
    {
        std::scoped_lock lock(mutex_);
        auto found = cache_.find(bundlePath);
        if (found != cache_.end() && found->second.modificationDate == modificationDate) return found->second.framework;
    }
    AppFramework framework = inspect(bundlePath, executable);
    std::scoped_lock lock(mutex_);
    cache_[bundlePath] = {modificationDate, framework};
    return framework;
}

}  // namespace vt
