#pragma once

#include <map>
#include <mutex>
#include <string>

namespace vt {

enum class AppFramework { Tauri, Electron, Other };

// Which framework a bundle is built on, kept per bundle path with the modification date it
// was decided at and decided again when that date changes. Thread-safe; the lock is never
// held while a file is read.
class FrameworkClassifier {
public:
    // `modificationDate`: the same date the metadata cache compares (any value that changes
    // when the bundle does). `executable`: CFBundleExecutable, when known.
    AppFramework classify(const std::string& bundlePath, double modificationDate, const std::string& executable);

    // Decides without the cache.
    static AppFramework inspect(const std::string& bundlePath, const std::string& executable);

private:
    struct Entry {
        double modificationDate;
        AppFramework framework;
    };
    std::mutex mutex_;
    std::map<std::string, Entry> cache_;
};

}  // namespace vt
